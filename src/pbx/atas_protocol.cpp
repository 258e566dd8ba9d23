#include "pbx/atas_protocol.h"

#include "queue/message.h"

namespace kelvarix {

std::string ToUpperAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

std::string TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

std::int16_t MatchReply(std::string_view line, const ReplySlots& slots) {
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const std::string& expected = slots[i];
        if (expected.empty() || line.size() < expected.size()) continue;
        if (ToUpperAscii(line.substr(0, expected.size())) == expected) {
            return static_cast<std::int16_t>(i + 1);
        }
    }
    return kReplyNone;
}

std::string AtasValue(std::string_view value) {
    std::string out(value);
    for (char& c : out) {
        if (c == kTAB || c == kCR || c == kLF) c = ' ';
    }
    return out;
}

std::string AtasCommand(std::string_view keyword, std::initializer_list<std::string_view> fields) {
    std::string line(keyword);
    for (const std::string_view field : fields) {
        line += kTAB;
        line += AtasValue(field);
    }
    line += kCR;
    return line;
}

std::string BuildSALine(const cMessage& record) {
    if (record.m_TerminalId.empty()) {
        return AtasCommand("SA", {record.m_AlarmId, record.m_Destination, record.m_Message});
    }
    return AtasCommand("SA", {record.m_AlarmId, record.m_Destination, record.m_Message,
                              record.m_TerminalId});
}

}  // namespace kelvarix
