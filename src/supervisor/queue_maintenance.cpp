#include "supervisor/queue_maintenance.h"

#include <algorithm>

#include "platform/awaitable.h"
#include "platform/files.h"

namespace kelvarix {

asio::awaitable<void> QueueMaintenance::SendBufferedMessages() {
    // Stops when the link drops: the rest stays buffered for the next
    // connected tick instead of timing out one by one on a dead link.
    while (!buffered_.empty() && link_.Connected()) {
        const MessageRef oldest = buffered_.front();
        const bool accepted = co_await dispatcher_.SendAlarmToPBX(oldest);
        // A link that went down before the PBX answered may have lost the
        // alarm: it stays first in line and goes again on the next link.
        // A refusal, or silence on a live link, is the PBX's answer.
        if (!accepted && !link_.Connected()) break;
        buffered_.remove(oldest);  // by identity: the intake may have dropped it meanwhile
    }
}

asio::awaitable<void> QueueMaintenance::ProcessMessageStates() {
    std::uint64_t cursor = 0;
    while (const MessageRef entry = queue_.next_actionable_after(cursor)) {
        switch (entry->m_MessageState) {
            case MessageState::Acknowledged:
                co_await ReportAcknowledged(entry);
                break;
            case MessageState::AcknowledgedElsewhere:
            case MessageState::AcknowledgedAgain:
            case MessageState::AckedByAlarmServer:
                co_await DeleteFromPbx(entry);
                break;
            default:
                break;
        }
    }
}

std::string QueueMaintenance::ScadaLine(const cMessage& entry) {
    return entry.m_Tag + '\t' + entry.m_AlarmId + '\t' + entry.m_EventId + '\t' +
           entry.m_AckedByTerminalId + "\r\n";
}

asio::awaitable<void> QueueMaintenance::ReportAcknowledged(const MessageRef& entry) {
    if (settings_.SendMCA) {
        // A refusal still means the PBX heard the report; only silence fails.
        // (Built apart from the co_await: GCC 12 cannot keep an
        // initializer list alive across a suspension.)
        std::string command = AtasCommand("MCA", {entry->m_Destination, entry->m_TerminalId});
        const auto result = co_await link_.SendCommand(std::move(command));
        const std::string_view lead =
            result != kReplyNone ? "Sent MCA to PBX " : "Failed to send MCA to PBX ";
        logger_.WriteSystemLog(std::string(lead) + DescribeMessage(*entry));
    }
    queue_.set_state(*entry, MessageState::AckReported);
    if (!settings_.SCADAAckFile.empty()) AppendScadaLine(*entry);
}

void QueueMaintenance::AppendScadaLine(const cMessage& entry) {
    std::string error;
    if (AppendToFile(settings_.SCADAAckFile, ScadaLine(entry), &error)) {
        scada_failing_ = false;
        return;
    }
    // Once per run of failures: a full disk must not flood the log.
    if (scada_failing_) return;
    scada_failing_ = true;
    logger_.WriteSystemLog("Could not append to SCADA acknowledgement file " +
                           settings_.SCADAAckFile + " (" + error + ")");
}

asio::awaitable<void> QueueMaintenance::DeleteFromPbx(const MessageRef& entry) {
    std::string command = AtasCommand("DA", {entry->m_AlarmId, entry->m_Destination});
    const auto result = co_await link_.SendCommand(std::move(command));
    const std::string_view lead =
        result != kReplyNone ? "Deleted message from PBX " : "Failed to delete message from PBX ";
    logger_.WriteSystemLog(std::string(lead) + DescribeMessage(*entry));
    queue_.set_state(*entry, MessageState::Deleted);
}

void QueueMaintenance::CleanQueue() {
    // A negative age limit behaves as 0; limits above 32767 s are honoured.
    const std::chrono::seconds max_age(std::max(settings_.QueueDeleteTime, 0));
    for (const MessageRef& entry : queue_.take_due(clock_.monotonic(), max_age)) {
        logger_.WriteSystemLog("Removed old or deleted message from queue " +
                               DescribeMessage(*entry));
    }
}

}  // namespace kelvarix
