#include "pbx/alarm_dispatch.h"

#include "platform/awaitable.h"

namespace kelvarix {

asio::awaitable<bool> AlarmDispatcher::SendAlarmToPBX(MessageRef record) {
    if (const MessageRef acked = queue_.first_acknowledged_of_event(record->m_EventId)) {
        logger_.WriteSystemLog("Alarm has already been acknowledged by TermId '" +
                               acked->m_AckedByTerminalId + "', threw message " +
                               DescribeMessage(*acked));
        co_return false;
    }
    std::string line = BuildSALine(*record);
    // A held-back alarm sent again after a lost link is queued already: it
    // keeps its place and its age.
    if (!queue_.contains(*record)) {
        record->m_InsertedIntoQueueTimeStamp = clock_.now();
        record->m_InsertedIntoQueueMonotonic = clock_.monotonic();
        queue_.append(record);
    }
    queue_.set_in_doubt(*record, true);
    const bool accepted = co_await link_.SendCommand(std::move(line)) == kReplyAck;
    queue_.set_in_doubt(*record, false);
    logger_.WriteSystemLog(std::string("Alarm to PBX (") + (accepted ? "success" : "failed") +
                           ") " + DescribeMessage(*record));
    co_return accepted;
}

}  // namespace kelvarix
