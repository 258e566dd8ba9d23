#include "alarm_server/intake.h"

#include "platform/awaitable.h"
#include "queue/conversions.h"
#include "queue/get_field.h"

namespace kelvarix {

namespace {
constexpr std::string_view kSent = "sent (";
constexpr std::string_view kFailed = "failed (";
constexpr std::string_view kBuffered = "buffered (";
constexpr std::string_view kBar = "|";
}  // namespace

std::string_view AlarmIntake::OrvaneReceiveBuffer() const {
    return std::string_view(buffer_).substr(read_pos_);
}

void AlarmIntake::ClearReceiveBuffer() {
    buffer_.clear();
    read_pos_ = 0;
    discarding_ = false;
    read_paused_ = false;  // the new connection is read from the start
}

void AlarmIntake::Winsock_Orvane_Data_DataArrival(std::string_view data) {
    logger_.WriteTrafficLog(data, TagFromOrvane);
    buffer_.reserve(buffer_.size() + data.size());
    for (char c : data) {
        if (c == '\r') continue;
        if (discarding_) {
            if (c == '\n') discarding_ = false;
            continue;
        }
        buffer_ += c;
    }
    // Text after the last LF may not grow without end: an overlong line is
    // thrown away, and so is the rest of it up to its LF.
    const auto last_lf = buffer_.rfind('\n');
    const std::size_t tail =
        (last_lf == std::string::npos || last_lf + 1 < read_pos_) ? read_pos_ : last_lf + 1;
    if (buffer_.size() - tail > kMaxLineBuffer) {
        logger_.WriteSystemLog("Orvane receive buffer overflow, threw " +
                               std::to_string(buffer_.size() - tail) +
                               " characters without LF");
        buffer_.resize(tail);
        discarding_ = true;
    }
    if (!processing_ && OrvaneReceiveBuffer().find('\n') != std::string_view::npos) {
        processing_ = true;
        asio::co_spawn(executor_, ProcessLines(), asio::detached);
    }
    if (!read_paused_ && OrvaneReceiveBuffer().size() > kMaxBacklog && read_control_) {
        read_paused_ = true;
        read_control_(true);
        logger_.WriteSystemLog("Orvane receive backlog over " + std::to_string(kMaxBacklog) +
                               " characters, stopped reading until it is handled");
    }
}

asio::awaitable<void> AlarmIntake::ProcessLines() {
    for (;;) {
        const auto lf = buffer_.find('\n', read_pos_);
        if (lf == std::string::npos) break;
        // Take the line out before handling it: a new connection may empty
        // the buffer while the line waits for the PBX.
        std::string line = buffer_.substr(read_pos_, lf - read_pos_);
        read_pos_ = lf + 1;
        if (read_pos_ >= buffer_.size() / 2) {
            buffer_.erase(0, read_pos_);
            read_pos_ = 0;
        }
        if (read_paused_ && OrvaneReceiveBuffer().size() <= kResumeBacklog) {
            read_paused_ = false;
            read_control_(false);
            logger_.WriteSystemLog("Orvane receive backlog handled, reading again");
        }
        co_await HandleLine(line);
    }
    processing_ = false;
}

void AlarmIntake::Reply(std::string_view word, std::string_view alarm_id) {
    // The reply goes to the connection that is current now, also when the
    // line came on one that has since been replaced: the alarm server that
    // reconnected learns the outcome of what it sent before, and the alarm
    // id in the reply tells it which line is meant.
    if (word == kSent) {
        ++counts_.replies_sent;
    } else if (word == kFailed) {
        ++counts_.replies_failed;
    } else {
        ++counts_.replies_buffered;
    }
    std::string reply(word);
    reply += alarm_id;
    reply += ")\n";
    reply_(reply);
}

asio::awaitable<void> AlarmIntake::HandleLine(std::string_view raw_line) {
    const std::string line = TrimSpaces(raw_line);
    if (line.empty()) co_return;

    if (!buffered_.empty() &&
        buffered_.size() >= static_cast<std::size_t>(std::max(settings_.MaxBufferedMessages, 0))) {
        logger_.WriteSystemLog("Buffered limit exceeded (ATAS not connected?), threw message " +
                               DescribeMessage(*buffered_.front()));
        buffered_.pop_front();
    }

    auto record = std::make_shared<cMessage>();
    record->m_Status = ToInt16OrZero(GetField(line, 0, kBar));
    record->m_System = ToInt16OrZero(GetField(line, 1, kBar));
    record->m_EventId = GetField(line, 2, kBar);
    record->m_AlarmId = GetField(line, 3, kBar);
    record->m_Destination = GetField(line, 4, kBar);
    record->m_TerminalId = GetField(line, 5, kBar);
    record->m_Message = GetField(line, 6, kBar);
    record->m_Tag = GetField(line, 7, kBar);

    if (record->m_Status == 2) {
        ++counts_.acknowledgements;
    } else if (record->m_Status >= 0 && record->m_Status <= 3) {
        ++counts_.alarms;
    }
    switch (record->m_Status) {
        case 0:
            Reply(kBuffered, record->m_AlarmId);
            logger_.WriteSystemLog("Status was Inactive, threw message " +
                                   DescribeMessage(*record));
            break;
        case 1:
        case 3:
            co_await HandleAlarm(record);
            break;
        case 2:
            HandleAlarmServerAck(record);
            break;
        default:
            break;
    }
}

asio::awaitable<void> AlarmIntake::HandleAlarm(const MessageRef& record) {
    // An alarm never goes out into an unfinished login or set-up: it waits
    // for the set-up, and is handled as with the link down if that fails.
    if (pbx_.Connected() && co_await pbx_.WaitUntilUsable()) {
        const bool sent = co_await pbx_.SendAlarmToPBX(record);
        Reply(sent ? kSent : kFailed, record->m_AlarmId);
        co_return;
    }
    if (settings_.BufferWhenDisconnected) {
        buffered_.push_back(record);
        Reply(kBuffered, record->m_AlarmId);
        logger_.WriteSystemLog("PBX not connected, buffered message " + DescribeMessage(*record));
    } else {
        Reply(kFailed, record->m_AlarmId);
        logger_.WriteSystemLog("PBX not connected, threw message " + DescribeMessage(*record));
    }
}

void AlarmIntake::HandleAlarmServerAck(const MessageRef& record) {
    if (!pbx_.Connected()) {
        Reply(kFailed, record->m_AlarmId);
        logger_.WriteSystemLog("PBX not connected, threw ack message " + DescribeMessage(*record));
        return;
    }
    bool found = false;
    for (const MessageRef& entry : queue_.entries_with_tag(record->m_Tag)) {
        if (entry->m_MessageState == MessageState::AckReported) continue;
        queue_.set_state(*entry, MessageState::AckedByAlarmServer);
        logger_.WriteSystemLog("Found message to ack " + DescribeMessage(*record));
        found = true;
    }
    if (!found) {
        logger_.WriteSystemLog("Did not find any message in queue to ack " +
                               DescribeMessage(*record));
    }
    Reply(kSent, record->m_AlarmId);
}

}  // namespace kelvarix
