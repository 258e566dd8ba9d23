#pragma once
// The two collections of alarm records.
//
// MessageQueue holds the alarms forwarded to the PBX, oldest first, until the
// clean-up removes them. Every lookup the gateway makes goes through an index,
// so the cost does not grow with the queue: hash indexes by alarm id, by event
// and by upper-cased tag (each keeping its entries oldest first), an ordered
// set of the entries the supervisor must act on, and one of the entries
// waiting for removal.
//
// BufferedMessages holds the alarms that wait for the PBX link.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "queue/message.h"

namespace kelvarix {

// Told of every change the collections make to a record they hold: it
// enters or leaves one, or its state or in-doubt mark changes.
class RecordObserver {
public:
    virtual ~RecordObserver() = default;
    virtual void RecordChanged(const MessageRef& record) = 0;
};

class MessageQueue {
public:
    MessageQueue() = default;
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Appends at the end. The caller has stamped m_InsertedIntoQueueTimeStamp
    // and m_InsertedIntoQueueMonotonic; the monotonic stamps of successive
    // appends must not decrease. Returns false, changing nothing, for a null
    // reference or a record that is already queued here. The record's ids and
    // tag are indexed as they are now; they are not to change while queued.
    bool append(MessageRef message);

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    bool contains(const cMessage& message) const;
    // Entries by state; states no entry has had may be missing.
    const std::map<std::int16_t, std::size_t>& state_counts() const { return state_counts_; }

    // Oldest entry with exactly this m_AlarmId, or null.
    MessageRef first_with_alarm_id(std::string_view alarm_id) const;
    // Oldest entry with exactly this m_EventId whose state is not Pending, or null.
    MessageRef first_acknowledged_of_event(std::string_view event_id) const;
    // Entries with exactly this m_EventId, oldest first.
    std::vector<MessageRef> entries_of_event(std::string_view event_id) const;
    // Entries whose m_Tag equals `tag` when both are upper-cased (Windows-1252), oldest first.
    std::vector<MessageRef> entries_with_tag(std::string_view tag) const;

    // Sets m_MessageState. Every state change of a queued record goes through
    // here; for a record that is not queued here it only sets the field.
    void set_state(cMessage& message, std::int16_t state);
    // Sets m_InDoubt, in the same way.
    void set_in_doubt(cMessage& message, bool in_doubt);
    void set_observer(RecordObserver* observer) { observer_ = observer; }

    // The supervisor's walk: the oldest entry after `cursor` whose state needs
    // a PBX action (NeedsPbxAction), or null at the end; advances `cursor` to
    // it. Start with cursor 0. The cursor stays valid while the caller waits
    // between calls: entries appended meanwhile are reached, and each entry is
    // judged by its state at the moment the walk gets to it.
    MessageRef next_actionable_after(std::uint64_t& cursor);

    // Removes and returns, in queue order, every entry in state Deleted or
    // whose m_InsertedIntoQueueMonotonic + max_age lies strictly before `now`.
    std::vector<MessageRef> take_due(std::chrono::steady_clock::time_point now,
                                     std::chrono::seconds max_age);

    // All entries in queue order. Walks the whole queue: tests and diagnostics only.
    std::vector<MessageRef> snapshot() const;

private:
    struct Entry;
    struct Bucket {
        Entry* head = nullptr;
        Entry* tail = nullptr;
        std::size_t acknowledged = 0;  // entries not Pending (event index only)
    };
    // Transparent, so lookups by string_view build no key. Deliberately not
    // noexcept: libstdc++ then keeps each hash in its node, which spares
    // rehashing keys when walking a bucket or erasing (same node size).
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>{}(text);
        }
    };
    using Index = std::unordered_map<std::string, Bucket, TextHash, std::equal_to<>>;
    using IndexNode = Index::value_type;
    enum Key : std::size_t { kAlarmId, kEventId, kTag, kKeyCount };
    struct Link {
        Entry* prev = nullptr;
        Entry* next = nullptr;
        IndexNode* node = nullptr;  // stable across rehashing, unlike iterators
    };
    struct Entry {
        MessageRef message;  // null once removed, until the slot reaches the front
        std::uint64_t sequence = 0;
        std::int16_t state = MessageState::Pending;  // the state the sets and counters reflect
        std::array<Link, kKeyCount> links{};
    };

    Entry* locate(std::uint64_t sequence);
    const Entry* locate(std::uint64_t sequence) const;
    Entry* entry_of(const cMessage& message);
    const Entry* entry_of(const cMessage& message) const;
    void link(Entry& entry, Key key, std::string_view text);
    void unlink(Entry& entry, Key key);
    void sync_state(Entry& entry);
    void remove(Entry& entry);
    std::vector<MessageRef> collect(Key key, std::string_view text) const;

    // Slot i holds sequence front_sequence_ + i; removed entries leave an
    // empty slot, dropped once it reaches the front, so the front is always live.
    std::deque<Entry> entries_;
    std::uint64_t front_sequence_ = 1;
    std::uint64_t next_sequence_ = 1;
    std::size_t count_ = 0;
    std::map<std::int16_t, std::size_t> state_counts_;
    std::array<Index, kKeyCount> indexes_;
    std::set<std::uint64_t> actionable_;  // sequences of entries with NeedsPbxAction
    std::set<std::uint64_t> deleted_;     // sequences of entries in state Deleted
    RecordObserver* observer_ = nullptr;
};

class BufferedMessages {
public:
    BufferedMessages() = default;
    ~BufferedMessages();
    BufferedMessages(const BufferedMessages&) = delete;
    BufferedMessages& operator=(const BufferedMessages&) = delete;

    // Appends at the end; false, changing nothing, for a null reference or a
    // record that is already buffered here.
    bool push_back(MessageRef message);
    // The oldest record, or null when empty.
    MessageRef front() const;
    // Removes the oldest record and returns it (null when empty).
    MessageRef pop_front();
    // Removes this very record wherever it stands; false when it is not here
    // (for instance dropped from the front while it was being dispatched).
    bool remove(const MessageRef& message);

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    void set_observer(RecordObserver* observer) { observer_ = observer; }

private:
    MessageRef* slot_of(const cMessage& message);
    void release(MessageRef& slot);

    // Same slot scheme as MessageQueue: slot i holds sequence front_sequence_ + i.
    std::deque<MessageRef> slots_;
    std::uint64_t front_sequence_ = 1;
    std::uint64_t next_sequence_ = 1;
    std::size_t count_ = 0;
    RecordObserver* observer_ = nullptr;
};

}  // namespace kelvarix
