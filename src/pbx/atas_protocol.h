#pragma once
// The ATAS line format: commands are a keyword and TAB-separated fields ended
// by CR; the PBX's lines end with CR and carry a keyword in field 0.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvarix {

struct cMessage;

inline constexpr char kCR = '\r';
inline constexpr char kLF = '\n';
inline constexpr char kTAB = '\t';

// Replies a waiting command accepts, in slots 1 to 4 ("" takes no part).
using ReplySlots = std::array<std::string, 4>;
inline constexpr std::int16_t kReplyNone = 0;
inline constexpr std::int16_t kReplyAck = 1;
inline constexpr std::int16_t kReplyNack = 2;

// Slot number (1..4) whose text is a case-blind prefix of the line, or 0.
// The slots hold upper-case texts.
std::int16_t MatchReply(std::string_view line, const ReplySlots& slots);

std::string ToUpperAscii(std::string_view text);
std::string TrimBlanks(std::string_view text);  // spaces only, both ends

// A value that goes into a command line must not split it: TAB, CR and LF
// inside it become blanks.
std::string AtasValue(std::string_view value);

// A command line: the keyword, then each field after a TAB, then CR.
std::string AtasCommand(std::string_view keyword,
                        std::initializer_list<std::string_view> fields = {});

// The alarm command for a record; the terminal field is present only when the
// record names a terminal.
std::string BuildSALine(const cMessage& record);

}  // namespace kelvarix
