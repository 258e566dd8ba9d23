#include "store/alarm_store.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <filesystem>
#include <utility>

namespace kelvarix {

std::string StorePath(const std::string& app_path, const std::string& setting) {
    return std::filesystem::path(setting).has_root_path() ? setting : app_path + setting;
}

AlarmStore::AlarmStore(asio::any_io_executor executor, std::string path, Logger& logger,
                       const Clock& clock, MessageQueue& queue, BufferedMessages& buffered)
    : executor_(std::move(executor)),
      path_(std::move(path)),
      logger_(logger),
      clock_(clock),
      queue_(queue),
      buffered_(buffered) {}

AlarmStore::~AlarmStore() {
    writer_.join();
    queue_.set_observer(nullptr);
    buffered_.set_observer(nullptr);
}

void AlarmStore::Tell(const std::string& text) {
    logger_.WriteSystemLog(text);
    if (operator_log_) operator_log_(text);
}

void AlarmStore::Load(OperatorLog operator_log) {
    operator_log_ = std::move(operator_log);
    std::error_code missing;
    const bool is_new = std::filesystem::file_size(path_, missing) == 0 || missing;
    std::vector<AlarmRow> rows;
    const std::string error = ReadRows(rows, is_new);
    if (error.empty()) {
        adopted_ = true;
    } else if (file_.Locked()) {
        // Setting aside a file that another program has open would not keep
        // that program from writing to the new store's files by their names.
        file_.Close();
        Tell("Alarm store " + path_ + " could not be read (" + error +
             "), left as it is; alarms are kept in memory only until the next start");
        return;
    } else if (is_new) {  // nothing there to keep: a full disk, say
        file_.Close();
        adopted_ = failing_ = true;
        Tell("Alarm store " + path_ + " could not be written (" + error +
             "), alarms are kept in memory until it can");
    } else {
        file_.Close();
        StartEmpty(error);
    }
    RestoredAlarms restored = Restore(std::move(rows), {clock_.wall(), clock_.monotonic()});
    next_key_ = restored.next_key;
    next_position_ = restored.next_position;
    for (const MessageRef& record : restored.queue) queue_.append(record);
    for (const MessageRef& record : restored.held_back) buffered_.push_back(record);
    // From here on every change is written; the alarms in doubt join the
    // held-back ones, and so reach the PBX once its session is set up.
    queue_.set_observer(this);
    buffered_.set_observer(this);
    for (const MessageRef& record : restored.resend) buffered_.push_back(record);
    for (const MessageRef& record : restored.in_doubt) {
        logger_.WriteSystemLog("Alarm in doubt after restart, sending it again " +
                               DescribeMessage(*record));
    }
    logger_.WriteSystemLog("Alarm store " + path_ + " loaded: " +
                           std::to_string(restored.queue.size()) + " queued, " +
                           std::to_string(restored.held_back.size()) + " held back, " +
                           std::to_string(restored.in_doubt.size()) + " in doubt");
}

std::string AlarmStore::ReadRows(std::vector<AlarmRow>& rows, bool is_new) {
    std::string error = file_.Open(path_);
    if (error.empty()) error = file_.Load(rows);
    if (error.empty() || file_.Locked() || is_new) return error;
    // A disk gone read-only: the store is read all the same, and written
    // again once the disk takes writes.
    rows.clear();
    if (file_.Open(path_, /*read_only=*/true).empty() && file_.Load(rows).empty()) return "";
    rows.clear();
    return error;
}

// Keeps what the unreadable file holds under another name, for the operator.
void AlarmStore::StartEmpty(const std::string& error) {
    std::string aside_error;
    const std::string aside = SetAside(path_, clock_.now(), aside_error);
    if (aside.empty()) {
        failing_ = true;
        Tell("Alarm store " + path_ + " could not be read (" + error + ") nor set aside (" +
             aside_error + "), alarms are kept in memory only until it can be");
        return;
    }
    Tell("Alarm store " + path_ + " could not be read (" + error + "), set aside as " + aside +
         ", starting with an empty store");
    adopted_ = true;
    if (const std::string open_error = file_.Open(path_); !open_error.empty()) {
        failing_ = true;
        Tell("Alarm store " + path_ + " could not be written (" + open_error +
             "), alarms are kept in memory until it can");
    }
}

void AlarmStore::RecordChanged(const MessageRef& record) {
    ++changes_;
    Mark(record);
    if (!flush_posted_ && !writing_) {
        flush_posted_ = true;
        asio::post(executor_, [this] {
            flush_posted_ = false;
            Flush();
        });
    }
}

void AlarmStore::Mark(const MessageRef& record) {
    if (record->m_Store.round == round_) return;
    record->m_Store.round = round_;
    pending_.push_back(record);
}

void AlarmStore::WhenStored(std::function<void()> then) {
    if (settled_ == changes_ && waiting_.empty()) {
        then();
        return;
    }
    waiting_.push_back({changes_, std::move(then)});
}

// Keys and places for records new to the store or to a collection. New places
// follow the collections' own order, whatever order the changes came in.
void AlarmStore::GivePlaces(const std::vector<MessageRef>& records) {
    std::vector<std::pair<std::uint64_t, std::uint64_t*>> queue_places, buffer_places;
    for (const MessageRef& record : records) {
        cMessage::StoreMarks& marks = record->m_Store;
        if (marks.key == 0 && (record->m_QueueSequence != 0 || record->m_BufferSequence != 0)) {
            marks.key = next_key_++;
        }
        if (record->m_QueueSequence == 0) {
            marks.queue_position = 0;
        } else if (marks.queue_position == 0) {
            queue_places.emplace_back(record->m_QueueSequence, &marks.queue_position);
        }
        if (record->m_BufferSequence == 0) {
            marks.buffer_position = 0;
        } else if (marks.buffer_position == 0) {
            buffer_places.emplace_back(record->m_BufferSequence, &marks.buffer_position);
        }
    }
    for (auto* places : {&queue_places, &buffer_places}) {
        std::sort(places->begin(), places->end());
        for (auto& [sequence, position] : *places) *position = next_position_++;
    }
}

void AlarmStore::Flush() {
    if (writing_ || pending_.empty()) return;
    in_flight_ = std::move(pending_);
    pending_.clear();
    ++round_;
    GivePlaces(in_flight_);
    std::vector<AlarmRow> rows;
    rows.reserve(in_flight_.size());
    const ClockReading now{clock_.wall(), clock_.monotonic()};
    for (const MessageRef& record : in_flight_) {
        if (record->m_Store.key != 0) rows.push_back(RowOf(*record, now));
    }
    writing_ = true;
    in_flight_changes_ = changes_;
    asio::post(writer_, [this, rows = std::move(rows), local = clock_.now(),
                         work = asio::make_work_guard(executor_)] {
        Outcome outcome = WriteOnThread(rows, local);
        asio::post(executor_, [this, outcome = std::move(outcome)] { Written(outcome); });
    });
}

// On the writer thread. After a failure the file is opened anew, so that a
// disk that was read-only and is writable again is written again.
AlarmStore::Outcome AlarmStore::WriteOnThread(const std::vector<AlarmRow>& rows,
                                              const LocalTime& now) {
    Outcome outcome;
    if (!file_.IsOpen()) {
        if (!adopted_) {
            // The file at the path was never read: keep it, and begin anew.
            outcome.set_aside = SetAside(path_, now, outcome.error);
            if (outcome.set_aside.empty()) return outcome;
            adopted_ = true;
        }
        if (outcome.error = file_.Open(path_); !outcome.error.empty()) return outcome;
    }
    outcome.error = file_.Write(rows);
    return outcome;
}

void AlarmStore::Written(const Outcome& outcome) {
    writing_ = false;
    settled_ = in_flight_changes_;
    if (!outcome.set_aside.empty()) {
        Tell("Alarm store " + path_ + " set aside as " + outcome.set_aside +
             ", starting with an empty store");
    }
    if (outcome.error.empty()) {
        if (failing_) Tell("Alarm store " + path_ + " is written again");
        failing_ = false;
    } else {
        ++write_failures_;
        if (!failing_) {
            Tell("Alarm store " + path_ + " could not be written (" + outcome.error +
                 "), alarms are kept in memory until it can");
        }
        failing_ = true;
        // Written with the next change.
        for (const MessageRef& record : in_flight_) Mark(record);
    }
    in_flight_.clear();
    while (!waiting_.empty() && waiting_.front().changes <= settled_) {
        const auto then = std::move(waiting_.front().then);
        waiting_.pop_front();
        then();
    }
    if (changes_ > settled_) Flush();
}

}  // namespace kelvarix
