#pragma once
// The gateway's side of the line protocol, as far as the tool needs it: which
// of the lines we send it answers, with which identifier, and how to read the
// replies it sends back.
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix::alarmsim {

// The status as the gateway reads field 0: blanks and tabs skipped, the
// leading decimal (or &H / &O) number taken, rounded half to even; anything
// unreadable or outside the 16-bit range counts as 0.
int gateway_status(std::string_view field);

// The identifiers (field 3) of the replies the gateway owes for `text`, one
// per LF-terminated line of status 0 to 3, in order. Text after the last LF
// is not a line yet and owes nothing.
std::vector<std::string> reply_ids(std::string_view text);

enum class ReplyKind { sent, failed, buffered, other };

struct Reply {
    ReplyKind kind = ReplyKind::other;
    std::string_view id;  // empty for other; may be empty for the others too
};

// Reads one reply line (without its LF). Anything but the three exact forms,
// a stray CR included, is `other`.
Reply parse_reply(std::string_view line);

}  // namespace kelvarix::alarmsim
