#pragma once
// Layout of the log lines. Pure text functions, so the exact layouts can be
// checked without files or clocks.
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace kelvarix {

enum TrafficTag : int {
    TagSystem = 0,
    TagToATAS = 1,
    TagFromATAS = 2,
    TagToOrvane = 3,
    TagFromOrvane = 4,
};

// The 16-character tag of a direction ("[KVX -> ATAS]   " ...).
std::string_view TrafficTagText(TrafficTag tag);

std::string FormatDate(const LocalTime& t);            // YYYY-MM-DD
std::string FormatTime(const LocalTime& t);            // HH:NN:SS
std::string FormatFileTimeStamp(const LocalTime& t);   // YY-MM-DD HH:NN:SS + blank

// One system-log file line, CR LF included. A text that begins with "-"
// stands alone, without its time stamp.
std::string SystemFileLine(const LocalTime& t, std::string_view text);
// The window-list form of a system-log line.
std::string SystemListLine(const LocalTime& t, std::string_view text);

// Appends the text with characters below 32 as "<code>", so CR shows as <13>.
void AppendEscapedTraffic(std::string& out, std::string_view text);

// Splits a line into window-list pieces of at most 118 characters; every
// piece after the first starts with `indent` blanks.
constexpr std::size_t kListWidth = 118;
std::vector<std::string> FoldForList(std::string_view line, std::size_t indent);

}  // namespace kelvarix
