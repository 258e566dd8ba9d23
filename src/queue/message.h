#pragma once
// One alarm from the alarm server, from its arrival until the queue lets go
// of it. Held by reference: the intake, BufferedMessages and MessageQueue may
// all refer to the same record.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"

namespace kelvarix {

// Values of cMessage::m_MessageState. Logs and operators refer to them by number.
namespace MessageState {
inline constexpr std::int16_t Pending = 0;                // not acknowledged yet
inline constexpr std::int16_t Acknowledged = 1;           // by the terminal it was meant for: MCA due
inline constexpr std::int16_t AcknowledgedElsewhere = 2;  // its event was acknowledged elsewhere: DA due
inline constexpr std::int16_t AckReported = 3;            // MCA handled; leaves by age only
inline constexpr std::int16_t AcknowledgedAgain = 4;      // acknowledged again after the report: DA due
inline constexpr std::int16_t AckedByAlarmServer = 5;     // the alarm server acknowledged its tag: DA due
inline constexpr std::int16_t Deleted = 100;              // DA sent; the next clean-up removes it
}  // namespace MessageState

// States on which the supervisor sends MCA or DA.
constexpr bool NeedsPbxAction(std::int16_t state) {
    return state == MessageState::Acknowledged || state == MessageState::AcknowledgedElsewhere ||
           state == MessageState::AcknowledgedAgain || state == MessageState::AckedByAlarmServer;
}

struct cMessage {
    // Change it through MessageQueue::set_state while the record is queued,
    // so the queue knows which entries need the supervisor.
    std::int16_t m_MessageState = MessageState::Pending;
    std::string m_Tag;
    std::int16_t m_Status = 0;
    std::int16_t m_System = 0;
    std::string m_EventId;
    std::string m_AlarmId;
    std::string m_Destination;
    std::string m_TerminalId;
    std::string m_Message;
    std::string m_AckedByTerminalId;
    LocalTime m_InsertedIntoQueueTimeStamp{};

    // Moment of queueing on the monotonic clock. Ages are measured on it, so
    // setting the system clock neither empties the queue nor freezes it.
    std::chrono::steady_clock::time_point m_InsertedIntoQueueMonotonic{};

    // True from the moment its SA is due until the PBX has answered (or the
    // dispatch has given up): a record still in doubt when the process ended
    // may have reached the PBX, and goes to it again after a restart.
    bool m_InDoubt = false;

    // Bookkeeping of the collections holding the record (0: not held).
    // Written only by MessageQueue and BufferedMessages.
    std::uint64_t m_QueueSequence = 0;
    std::uint64_t m_BufferSequence = 0;

    // Bookkeeping of the alarm store (0: not stored). Written only by it.
    struct StoreMarks {
        std::uint64_t key = 0;              // its row
        std::uint64_t queue_position = 0;   // its place in the stored queue
        std::uint64_t buffer_position = 0;  // its place among the stored held-back alarms
        std::uint64_t round = 0;            // the write round that has it on its list
    } m_Store;
};

using MessageRef = std::shared_ptr<cMessage>;

// "(AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, TermId: )":
// the tail of every log line about a record.
std::string DescribeMessage(const cMessage& message);

}  // namespace kelvarix
