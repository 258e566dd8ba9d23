#pragma once
// Alarm records for tests, built as the intake would build them from a line.
#include <memory>
#include <string>

#include "queue/message.h"

namespace kelvarix::test {

inline MessageRef MakeRecord(std::string alarm, std::string event = "E",
                             std::string destination = "2001", std::string terminal = "",
                             std::string tag = "T") {
    auto record = std::make_shared<cMessage>();
    record->m_AlarmId = std::move(alarm);
    record->m_EventId = std::move(event);
    record->m_Destination = std::move(destination);
    record->m_TerminalId = std::move(terminal);
    record->m_Tag = std::move(tag);
    return record;
}

}  // namespace kelvarix::test
