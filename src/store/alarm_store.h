#pragma once
// The optional durable alarm store: every queue entry and held-back alarm is
// kept in a SQLite file, so that a restart finds them where they were.
//
// The collections report each change of a record. The store gathers the
// changed records and writes them on a thread of its own, all the changes
// gathered meanwhile in one transaction, while the event thread goes on.
// Replies to the alarm server wait (WhenStored) until the changes made before
// them are on the disk. A store that cannot be written costs durability, never
// an alarm: the records stay in memory, replies go out as without a store, and
// the next change tries again.
#include <asio/any_io_executor.hpp>
#include <asio/thread_pool.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "logging/logger.h"
#include "platform/clock.h"
#include "queue/message_queue.h"
#include "store/store_file.h"

namespace kelvarix {

// The store's file: a relative AlarmStore setting is taken in the program folder.
std::string StorePath(const std::string& app_path, const std::string& setting);

class AlarmStore final : public RecordObserver {
public:
    // Where lines for the operator go besides the system log (the service's
    // event log); may be empty.
    using OperatorLog = std::function<void(std::string_view)>;

    AlarmStore(asio::any_io_executor executor, std::string path, Logger& logger,
               const Clock& clock, MessageQueue& queue, BufferedMessages& buffered);
    ~AlarmStore() override;  // lets a write under way finish
    AlarmStore(const AlarmStore&) = delete;
    AlarmStore& operator=(const AlarmStore&) = delete;

    // Reads the store into the empty collections, then follows their changes.
    // A file that cannot be read is set aside and an empty store begun; one
    // that another program holds locked is left alone, and this run keeps
    // its alarms in memory only.
    void Load(OperatorLog operator_log = {});

    void RecordChanged(const MessageRef& record) override;
    // Runs `then` once every change made so far is on the disk, or its write
    // has failed; in the order of the calls.
    void WhenStored(std::function<void()> then);
    // Writes that failed since the start (for the metrics).
    std::uint64_t WriteFailures() const { return write_failures_; }

private:
    struct Outcome {
        std::string error;      // "" when written
        std::string set_aside;  // the name an unread file was given before a new store began
    };
    struct Waiter {
        std::uint64_t changes;
        std::function<void()> then;
    };

    std::string ReadRows(std::vector<AlarmRow>& rows, bool is_new);
    void Mark(const MessageRef& record);
    void Flush();
    void GivePlaces(const std::vector<MessageRef>& records);
    Outcome WriteOnThread(const std::vector<AlarmRow>& rows, const LocalTime& now);
    void Written(const Outcome& outcome);
    void StartEmpty(const std::string& error);
    void Tell(const std::string& text);

    asio::any_io_executor executor_;
    const std::string path_;
    Logger& logger_;
    const Clock& clock_;
    MessageQueue& queue_;
    BufferedMessages& buffered_;
    OperatorLog operator_log_;

    StoreFile file_;        // the writer thread's once loading is done
    bool adopted_ = false;  // the file at path_ is ours (the writer thread's once loaded)
    asio::thread_pool writer_{1};

    std::vector<MessageRef> pending_;    // changed since the last write began
    std::vector<MessageRef> in_flight_;  // in the write under way
    std::uint64_t round_ = 1;            // the round pending_ belongs to
    std::uint64_t changes_ = 0;          // changes reported so far
    std::uint64_t settled_ = 0;          // changes written, or whose write failed
    std::uint64_t in_flight_changes_ = 0;
    std::uint64_t next_key_ = 1;
    std::uint64_t next_position_ = 1;
    bool writing_ = false;
    bool flush_posted_ = false;
    bool failing_ = false;
    std::uint64_t write_failures_ = 0;
    std::deque<Waiter> waiting_;
};

}  // namespace kelvarix
