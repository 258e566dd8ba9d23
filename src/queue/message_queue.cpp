#include "queue/message_queue.h"

#include <algorithm>

#include "platform/code_page.h"

namespace kelvarix {

// ---- MessageQueue ----------------------------------------------------------

MessageQueue::~MessageQueue() {
    for (Entry& entry : entries_) {
        if (entry.message) {
            entry.message->m_QueueSequence = 0;
        }
    }
}

MessageQueue::Entry* MessageQueue::locate(std::uint64_t sequence) {
    if (sequence < front_sequence_ || sequence >= next_sequence_) {
        return nullptr;
    }
    Entry& entry = entries_[sequence - front_sequence_];
    return entry.message ? &entry : nullptr;
}

const MessageQueue::Entry* MessageQueue::locate(std::uint64_t sequence) const {
    return const_cast<MessageQueue*>(this)->locate(sequence);
}

MessageQueue::Entry* MessageQueue::entry_of(const cMessage& message) {
    Entry* entry = locate(message.m_QueueSequence);
    return entry && entry->message.get() == &message ? entry : nullptr;
}

const MessageQueue::Entry* MessageQueue::entry_of(const cMessage& message) const {
    return const_cast<MessageQueue*>(this)->entry_of(message);
}

bool MessageQueue::contains(const cMessage& message) const { return entry_of(message) != nullptr; }

bool MessageQueue::append(MessageRef message) {
    if (!message || entry_of(*message)) {
        return false;
    }
    const std::uint64_t sequence = next_sequence_++;
    Entry& entry = entries_.emplace_back();
    entry.message = std::move(message);
    entry.sequence = sequence;
    cMessage& record = *entry.message;
    record.m_QueueSequence = sequence;
    link(entry, kAlarmId, record.m_AlarmId);
    link(entry, kEventId, record.m_EventId);
    link(entry, kTag, ToUpperWindows1252(record.m_Tag));
    ++count_;
    ++state_counts_[entry.state];
    sync_state(entry);
    if (observer_) observer_->RecordChanged(entry.message);
    return true;
}

void MessageQueue::link(Entry& entry, Key key, std::string_view text) {
    Index& index = indexes_[key];
    auto it = index.find(text);
    if (it == index.end()) {
        it = index.emplace(std::string(text), Bucket{}).first;
    }
    Bucket& bucket = it->second;
    Link& link = entry.links[key];
    link.node = &*it;
    link.prev = bucket.tail;
    link.next = nullptr;
    if (bucket.tail) {
        bucket.tail->links[key].next = &entry;
    } else {
        bucket.head = &entry;
    }
    bucket.tail = &entry;
}

void MessageQueue::unlink(Entry& entry, Key key) {
    Link& link = entry.links[key];
    Bucket& bucket = link.node->second;
    if (link.prev) {
        link.prev->links[key].next = link.next;
    } else {
        bucket.head = link.next;
    }
    if (link.next) {
        link.next->links[key].prev = link.prev;
    } else {
        bucket.tail = link.prev;
    }
    if (!bucket.head) {
        Index& index = indexes_[key];
        index.erase(index.find(link.node->first));
    }
    link = Link{};
}

// Brings the sets and the event's counter in line with the record's state.
void MessageQueue::sync_state(Entry& entry) {
    const std::int16_t was = entry.state;
    const std::int16_t now = entry.message->m_MessageState;
    if (was == now) {
        return;
    }
    --state_counts_[was];
    ++state_counts_[now];
    Bucket& event = entry.links[kEventId].node->second;
    if (was != MessageState::Pending) {
        --event.acknowledged;
    }
    if (now != MessageState::Pending) {
        ++event.acknowledged;
    }
    if (NeedsPbxAction(was)) {
        actionable_.erase(entry.sequence);
    }
    if (NeedsPbxAction(now)) {
        actionable_.insert(entry.sequence);
    }
    if (was == MessageState::Deleted) {
        deleted_.erase(entry.sequence);
    }
    if (now == MessageState::Deleted) {
        deleted_.insert(entry.sequence);
    }
    entry.state = now;
}

void MessageQueue::remove(Entry& entry) {
    if (entry.state != MessageState::Pending) {
        --entry.links[kEventId].node->second.acknowledged;
    }
    if (NeedsPbxAction(entry.state)) {
        actionable_.erase(entry.sequence);
    }
    if (entry.state == MessageState::Deleted) {
        deleted_.erase(entry.sequence);
    }
    for (std::size_t key = 0; key < kKeyCount; ++key) {
        unlink(entry, static_cast<Key>(key));
    }
    --state_counts_[entry.state];
    entry.message->m_QueueSequence = 0;
    const MessageRef removed = std::move(entry.message);
    entry.message.reset();
    --count_;
    while (!entries_.empty() && !entries_.front().message) {
        entries_.pop_front();
        ++front_sequence_;
    }
    if (observer_) observer_->RecordChanged(removed);
}

void MessageQueue::set_state(cMessage& message, std::int16_t state) {
    message.m_MessageState = state;
    if (Entry* entry = entry_of(message)) {
        sync_state(*entry);
        if (observer_) observer_->RecordChanged(entry->message);
    }
}

void MessageQueue::set_in_doubt(cMessage& message, bool in_doubt) {
    message.m_InDoubt = in_doubt;
    if (Entry* entry = entry_of(message); entry && observer_) {
        observer_->RecordChanged(entry->message);
    }
}

MessageRef MessageQueue::first_with_alarm_id(std::string_view alarm_id) const {
    const Index& index = indexes_[kAlarmId];
    const auto it = index.find(alarm_id);
    return it == index.end() ? nullptr : it->second.head->message;
}

MessageRef MessageQueue::first_acknowledged_of_event(std::string_view event_id) const {
    const Index& index = indexes_[kEventId];
    const auto it = index.find(event_id);
    if (it == index.end() || it->second.acknowledged == 0) {
        return nullptr;
    }
    // Acknowledgements move a whole event at once, so the walk ends early.
    for (const Entry* entry = it->second.head; entry; entry = entry->links[kEventId].next) {
        if (entry->message->m_MessageState != MessageState::Pending) {
            return entry->message;
        }
    }
    return nullptr;
}

std::vector<MessageRef> MessageQueue::collect(Key key, std::string_view text) const {
    std::vector<MessageRef> found;
    const Index& index = indexes_[key];
    const auto it = index.find(text);
    if (it != index.end()) {
        for (const Entry* entry = it->second.head; entry; entry = entry->links[key].next) {
            found.push_back(entry->message);
        }
    }
    return found;
}

std::vector<MessageRef> MessageQueue::entries_of_event(std::string_view event_id) const {
    return collect(kEventId, event_id);
}

std::vector<MessageRef> MessageQueue::entries_with_tag(std::string_view tag) const {
    return collect(kTag, ToUpperWindows1252(tag));
}

MessageRef MessageQueue::next_actionable_after(std::uint64_t& cursor) {
    auto it = actionable_.upper_bound(cursor);
    while (it != actionable_.end()) {
        const std::uint64_t sequence = *it;
        Entry* entry = locate(sequence);
        if (entry && NeedsPbxAction(entry->message->m_MessageState)) {
            cursor = sequence;
            return entry->message;
        }
        // The field was written past set_state: catch up and pass it by.
        if (entry) {
            sync_state(*entry);
        }
        actionable_.erase(sequence);
        it = actionable_.upper_bound(sequence);
    }
    return nullptr;
}

std::vector<MessageRef> MessageQueue::take_due(std::chrono::steady_clock::time_point now,
                                               std::chrono::seconds max_age) {
    // Beyond a century every age means "never" (or "always"); the clamp keeps
    // the arithmetic below from overflowing.
    constexpr std::chrono::seconds kCentury = std::chrono::hours(24 * 365 * 100);
    const auto limit = now - std::clamp(max_age, -kCentury, kCentury);

    std::vector<MessageRef> due;
    // Entries are appended in time order, so the aged ones form a prefix.
    while (!entries_.empty() && entries_.front().message->m_InsertedIntoQueueMonotonic < limit) {
        due.push_back(entries_.front().message);
        remove(entries_.front());
    }
    // Every Deleted entry left lies after that prefix.
    while (!deleted_.empty()) {
        const std::uint64_t sequence = *deleted_.begin();
        Entry* entry = locate(sequence);
        if (!entry || entry->message->m_MessageState != MessageState::Deleted) {
            if (entry) {
                sync_state(*entry);  // the field was written past set_state
            }
            deleted_.erase(sequence);
        } else {
            due.push_back(entry->message);
            remove(*entry);
        }
    }
    return due;
}

std::vector<MessageRef> MessageQueue::snapshot() const {
    std::vector<MessageRef> all;
    all.reserve(count_);
    for (const Entry& entry : entries_) {
        if (entry.message) {
            all.push_back(entry.message);
        }
    }
    return all;
}

// ---- BufferedMessages ------------------------------------------------------

BufferedMessages::~BufferedMessages() {
    for (MessageRef& slot : slots_) {
        if (slot) {
            slot->m_BufferSequence = 0;
        }
    }
}

MessageRef* BufferedMessages::slot_of(const cMessage& message) {
    const std::uint64_t sequence = message.m_BufferSequence;
    if (sequence < front_sequence_ || sequence >= next_sequence_) {
        return nullptr;
    }
    MessageRef& slot = slots_[sequence - front_sequence_];
    return slot.get() == &message ? &slot : nullptr;
}

bool BufferedMessages::push_back(MessageRef message) {
    if (!message || slot_of(*message)) {
        return false;
    }
    message->m_BufferSequence = next_sequence_++;
    slots_.push_back(std::move(message));
    ++count_;
    if (observer_) observer_->RecordChanged(slots_.back());
    return true;
}

MessageRef BufferedMessages::front() const { return slots_.empty() ? nullptr : slots_.front(); }

MessageRef BufferedMessages::pop_front() {
    if (slots_.empty()) {
        return nullptr;
    }
    MessageRef oldest = slots_.front();
    release(slots_.front());
    return oldest;
}

bool BufferedMessages::remove(const MessageRef& message) {
    if (!message) {
        return false;
    }
    MessageRef* slot = slot_of(*message);
    if (!slot) {
        return false;
    }
    release(*slot);
    return true;
}

void BufferedMessages::release(MessageRef& slot) {
    slot->m_BufferSequence = 0;
    const MessageRef released = std::move(slot);
    slot.reset();
    --count_;
    while (!slots_.empty() && !slots_.front()) {
        slots_.pop_front();
        ++front_sequence_;
    }
    if (observer_) observer_->RecordChanged(released);
}

}  // namespace kelvarix
