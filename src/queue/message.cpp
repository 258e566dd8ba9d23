#include "queue/message.h"

#include <string_view>

namespace kelvarix {

std::string DescribeMessage(const cMessage& message) {
    static constexpr std::string_view kAlarmId = "(AlarmId: ";
    static constexpr std::string_view kEventId = ", EventId: ";
    static constexpr std::string_view kTag = ", Tag: ";
    static constexpr std::string_view kDestination = ", Destination: ";
    static constexpr std::string_view kTermId = ", TermId: ";
    static constexpr std::string_view kEnd = ")";

    std::string text;
    text.reserve(kAlarmId.size() + kEventId.size() + kTag.size() + kDestination.size() +
                 kTermId.size() + kEnd.size() + message.m_AlarmId.size() +
                 message.m_EventId.size() + message.m_Tag.size() + message.m_Destination.size() +
                 message.m_TerminalId.size());
    text += kAlarmId;
    text += message.m_AlarmId;
    text += kEventId;
    text += message.m_EventId;
    text += kTag;
    text += message.m_Tag;
    text += kDestination;
    text += message.m_Destination;
    text += kTermId;
    text += message.m_TerminalId;
    text += kEnd;
    return text;
}

}  // namespace kelvarix
