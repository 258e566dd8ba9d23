#include "alarm_line.h"

#include <gtest/gtest.h>

namespace kelvarix::alarmsim {
namespace {

TEST(ParseReply, ReadsTheThreeFormsAndNothingElse) {
    struct Case {
        std::string line;
        ReplyKind kind;
        std::string id;
    };
    const Case cases[] = {
        {"sent (4711)", ReplyKind::sent, "4711"},
        {"failed (4711)", ReplyKind::failed, "4711"},
        {"buffered (4711)", ReplyKind::buffered, "4711"},
        {"sent ()", ReplyKind::sent, ""},                  // empty alarm id field
        {"failed (a(b)c))", ReplyKind::failed, "a(b)c)"},  // up to the last parenthesis
        {"sent (4711)\r", ReplyKind::other, ""},           // the gateway must not add a CR
        {"Sent (4711)", ReplyKind::other, ""},
        {"sent (4711) ", ReplyKind::other, ""},
    };
    for (const auto& c : cases) {
        const Reply reply = parse_reply(c.line);
        EXPECT_EQ(reply.kind, c.kind) << '"' << c.line << '"';
        EXPECT_EQ(reply.id, c.id) << '"' << c.line << '"';
    }
}

// The tool reads the status field on its own, so that it checks the
// gateway's reading rather than sharing it.
TEST(GatewayStatus, ReadsTheFieldLikeTheGateway) {
    const std::pair<std::string, int> cases[] = {
        {"1 2", 12},  {"2.5", 2},   {"3.5", 4},    // blanks skipped, halves to even
        {"2x", 2},    {"&h1F", 31}, {"&O17", 15},  // what follows is ignored
        {"32768", 0}, {"abc", 0},                  // beyond 16 bits, or no number
    };
    for (const auto& [field, status] : cases) {
        EXPECT_EQ(gateway_status(field), status) << '"' << field << '"';
    }
}

TEST(ReplyIds, OneReplyPerLineOfStatusZeroToThreeWithTheIdentifierAsTheGatewaySeesIt) {
    using Ids = std::vector<std::string>;
    const std::pair<std::string, Ids> cases[] = {
        {"0|0|E|A0\n3|0|E|A3\n2|0|E|A2\n", {"A0", "A3", "A2"}},
        {"5|0|E|A5\n-1|0|E|A\n4|0|E|A4\n\n   \n\r\n", {}},  // other statuses, blank lines
        {"x|0|E|AX\n40000|0|E|AB\n", {"AX", "AB"}},         // statuses read as 0
        {"1|0|E|A1\n1|0|E|A2", {"A1"}},                     // a line without LF waits
        {"1|0|E| A\r1 |x\r\n", {" A1 "}},                   // every CR is removed
        {"1|0|E\n", {""}},                                  // a missing field is empty
    };
    for (const auto& [text, ids] : cases) EXPECT_EQ(reply_ids(text), ids) << text;
}

}  // namespace
}  // namespace kelvarix::alarmsim
