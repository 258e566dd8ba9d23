#include "logging/log_format.h"

#include <array>
#include <cstdio>

namespace kelvarix {

std::string_view TrafficTagText(TrafficTag tag) {
    static constexpr std::array<std::string_view, 5> kTags = {
        "[SYSTEM]        ", "[KVX -> ATAS]   ", "[KVX <- ATAS]   ", "[KVX -> ORVANE] ",
        "[KVX <- ORVANE] "};
    const auto index = static_cast<std::size_t>(tag);
    return index < kTags.size() ? kTags[index] : kTags[0];
}

namespace {
void AppendTwoDigits(std::string& out, int value) {
    out += static_cast<char>('0' + (value / 10) % 10);
    out += static_cast<char>('0' + value % 10);
}
}  // namespace

std::string FormatDate(const LocalTime& t) {
    std::string out;
    out.reserve(10);
    AppendTwoDigits(out, t.year / 100);
    AppendTwoDigits(out, t.year % 100);
    out += '-';
    AppendTwoDigits(out, t.month);
    out += '-';
    AppendTwoDigits(out, t.day);
    return out;
}

std::string FormatTime(const LocalTime& t) {
    std::string out;
    out.reserve(8);
    AppendTwoDigits(out, t.hour);
    out += ':';
    AppendTwoDigits(out, t.minute);
    out += ':';
    AppendTwoDigits(out, t.second);
    return out;
}

std::string FormatFileTimeStamp(const LocalTime& t) {
    return FormatDate(t).substr(2) + ' ' + FormatTime(t) + ' ';
}

std::string SystemFileLine(const LocalTime& t, std::string_view text) {
    std::string line;
    if (text.empty() || text.front() != '-') line = FormatFileTimeStamp(t);
    line += text;
    line += "\r\n";
    return line;
}

std::string SystemListLine(const LocalTime& t, std::string_view text) {
    std::string line = FormatTime(t);
    line += ' ';
    line += TrafficTagText(TagSystem);
    line += ' ';
    line += text;
    return line;
}

void AppendEscapedTraffic(std::string& out, std::string_view text) {
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32) {
            out += '<';
            if (code >= 10) out += static_cast<char>('0' + code / 10);
            out += static_cast<char>('0' + code % 10);
            out += '>';
        } else {
            out += c;
        }
    }
}

std::vector<std::string> FoldForList(std::string_view line, std::size_t indent) {
    std::vector<std::string> pieces;
    if (line.empty()) return pieces;
    // Every continuation carries `indent` blanks, leaving this much room for text.
    const std::size_t room = indent < kListWidth ? kListWidth - indent : 1;
    const std::size_t first = std::min(line.size(), kListWidth);
    pieces.emplace_back(line.substr(0, first));
    line.remove_prefix(first);
    while (!line.empty()) {
        const std::size_t take = std::min(line.size(), room);
        std::string piece(indent, ' ');
        piece += line.substr(0, take);
        pieces.push_back(std::move(piece));
        line.remove_prefix(take);
    }
    return pieces;
}

}  // namespace kelvarix
