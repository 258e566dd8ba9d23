#include "alarm_line.h"

#include <gtest/gtest.h>

namespace kelvarix::alarmsim {
namespace {

struct ReplyCase {
    std::string line;
    ReplyKind kind;
    std::string id;
};

TEST(ParseReply, ReadsTheThreeFormsAndNothingElse) {
    const ReplyCase cases[] = {
        {"sent (4711)", ReplyKind::sent, "4711"},
        {"failed (4711)", ReplyKind::failed, "4711"},
        {"buffered (4711)", ReplyKind::buffered, "4711"},
        {"sent ()", ReplyKind::sent, ""},                // empty alarm id field
        {"sent ( 42 )", ReplyKind::sent, " 42 "},        // blanks are part of the id
        {"failed (a(b)c))", ReplyKind::failed, "a(b)c)"},  // up to the last parenthesis
        {"sent (4711)\r", ReplyKind::other, ""},         // the gateway must not add a CR
        {"sent 4711", ReplyKind::other, ""},
        {"Sent (4711)", ReplyKind::other, ""},
        {"sent (", ReplyKind::other, ""},
        {"sent (4711) ", ReplyKind::other, ""},
        {"", ReplyKind::other, ""},
    };
    for (const auto& c : cases) {
        const Reply reply = parse_reply(c.line);
        EXPECT_EQ(reply.kind, c.kind) << '"' << c.line << '"';
        EXPECT_EQ(reply.id, c.id) << '"' << c.line << '"';
    }
}

TEST(GatewayStatus, ReadsTheFieldLikeTheGateway) {
    const std::pair<std::string, int> cases[] = {
        {"1", 1},        {"3", 3},         {" 2 ", 2},     {"1 2", 12},  // blanks anywhere are skipped
        {"2.5", 2},      {"1.5", 2},       {"3.5", 4},     {"0.5", 0},   // half to even
        {"-0.6", -1},    {"+3", 3},        {"1e0", 1},     {"2x", 2},
        {"&H3", 3},      {"&h1F", 31},     {"&O17", 15},   {"&X1", 0},
        {"32767", 32767}, {"32768", 0},    {"-32768", -32768}, {"-32769", 0},
        {"abc", 0},      {"", 0},          {".", 0},       {"1e999", 0},
    };
    for (const auto& [field, status] : cases) EXPECT_EQ(gateway_status(field), status) << '"' << field << '"';
}

TEST(ReplyIds, OneReplyPerLineOfStatusZeroToThree) {
    using Ids = std::vector<std::string>;
    EXPECT_EQ(reply_ids("1|0|88|4711|2001||Fire|FIRE-2\n"), Ids{"4711"});
    EXPECT_EQ(reply_ids("0|0|E|A0|||x|T\n3|0|E|A3|||x|T\n2|0|E|A2|||x|T\n"), (Ids{"A0", "A3", "A2"}));
    // No reply for other statuses, nor for blank lines.
    EXPECT_EQ(reply_ids("5|0|E|A5|||x|T\n-1|0|E|A|||x|T\n4|0|E|A4\n"), Ids{});
    EXPECT_EQ(reply_ids("\n   \n\r\n"), Ids{});
    // Statuses the gateway reads as 0 (letters, out of range) are answered.
    EXPECT_EQ(reply_ids("x|0|E|AX\n40000|0|E|AB\n"), (Ids{"AX", "AB"}));
    // A line without LF is not handled yet.
    EXPECT_EQ(reply_ids("1|0|E|A1|||x|T\n1|0|E|A2"), Ids{"A1"});
}

TEST(ReplyIds, TakesTheIdentifierAsTheGatewaySeesIt) {
    using Ids = std::vector<std::string>;
    EXPECT_EQ(reply_ids("1|0|E| A 1 |2001|||T\n"), Ids{" A 1 "});  // inner blanks stay
    EXPECT_EQ(reply_ids("  1|0|E|A1  \n"), Ids{"A1"});              // the line is trimmed first
    EXPECT_EQ(reply_ids("1|0|E|A\r1|||x|T\r\n"), Ids{"A1"});        // every CR is removed
    EXPECT_EQ(reply_ids("1|0|E\n"), Ids{""});                       // missing field 3 is empty
    EXPECT_EQ(reply_ids("1\n"), Ids{""});
    EXPECT_EQ(reply_ids("1|0|E|A1|2|3|4|5|6|7\n"), Ids{"A1"});
}

}  // namespace
}  // namespace kelvarix::alarmsim
