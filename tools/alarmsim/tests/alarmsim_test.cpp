// The simulator's parts without I/O that the end-to-end runs cannot judge:
// how it reads the gateway's lines and replies, how it tells a wrong reply
// from a right one, and the report scripts read. The plain forms (one alarm,
// a load of them, all answered "sent") run end to end on every test run.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "alarm_line.h"
#include "load_alarms.h"
#include "reply_tracker.h"
#include "report.h"

namespace kelvarix::alarmsim {
namespace {

// The tool reads the status field on its own, so that it checks the
// gateway's reading rather than sharing it.
TEST(GatewayStatus, ReadsTheFieldLikeTheGateway) {
    const std::pair<std::string, int> cases[] = {
        {"1 2", 12},  {"2.5", 2},   {"2x", 2},  {"&h1F", 31},  // blanks skipped, halves to even
        {"&O17", 15}, {"32768", 0}, {"abc", 0},                // beyond 16 bits, or no number
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
        {"1|0|E|A1\n1|0|E|A2", {"A1"}},                     // a line without LF waits
        {"1|0|E| A\r1 |x\r\n", {" A1 "}},                   // every CR is removed
        {"1|0|E\n", {""}},                                  // a missing field is empty
    };
    for (const auto& [text, ids] : cases) EXPECT_EQ(reply_ids(text), ids) << text;
}

TEST(LoadAlarms, IdsCountUpWhileAShareRepeatsEarlierEvents) {
    std::string id;  // the line's form is judged by the gateway in the end-to-end load run
    LoadAlarms alarms("2001", 20, 0.25);
    std::set<std::string> raised;
    int repeats = 0;
    for (int n = 1; n <= 1000; ++n) {
        const std::string line = alarms.next(id), event = line.substr(4, line.find('|', 4) - 4);
        EXPECT_EQ(id, "A" + std::to_string(n));
        if (event != "E" + std::to_string(n)) {
            ++repeats;
            EXPECT_TRUE(raised.count(event)) << "alarm " << n << " repeats an unraised " << event;
        }
        raised.insert(event);
    }
    EXPECT_EQ(repeats, 250);
}

using std::chrono::microseconds;

const Clock::time_point t0{};

TEST(ReplyTracker, MatchesByIdentifierAndTellsMissingDoubledUnexpectedAndUnreadable) {
    ReplyTracker tracker;
    tracker.expect("A1", t0);
    tracker.expect("A1", t0 + microseconds(100));  // a repeated identifier: oldest line first
    tracker.expect("A2", t0);
    tracker.expect("a(b)c)", t0 + microseconds(20));  // the id ends at the last parenthesis
    tracker.expect("", t0);  // a line without an alarm id is answered "buffered ()"

    EXPECT_EQ(tracker.on_reply("buffered (a(b)c))", t0 + microseconds(50)), ReplyMatch::matched);
    EXPECT_EQ(tracker.on_reply("sent (A1)", t0 + microseconds(100)), ReplyMatch::matched);
    EXPECT_EQ(tracker.on_reply("sent (A1)", t0 + microseconds(150)), ReplyMatch::matched);
    EXPECT_EQ(tracker.on_reply("failed (A1)", t0), ReplyMatch::doubled);
    EXPECT_EQ(tracker.on_reply("sent (A9)", t0), ReplyMatch::unexpected);
    // A garbled reply for A2 does not settle A2; the gateway must not add a CR.
    EXPECT_EQ(tracker.on_reply("sent (A2)\r", t0), ReplyMatch::unreadable);
    EXPECT_EQ(tracker.on_reply("Sent (A2)", t0), ReplyMatch::unreadable);
    EXPECT_EQ(tracker.on_reply("buffered ()", t0 + microseconds(400)), ReplyMatch::matched);
    EXPECT_EQ(tracker.outstanding(), 1u);  // A2 is missing
    const ReplyCounts& c = tracker.counts();
    // Kinds count every readable reply, matched or not.
    EXPECT_EQ(std::tie(c.expected, c.replies, c.matched, c.doubled, c.unexpected, c.other, c.sent,
                       c.failed, c.buffered),
              std::tuple(5, 8, 4, 1, 1, 2, 3, 1, 2));
    EXPECT_EQ(tracker.latencies_ns(),
              (std::vector<std::int64_t>{30'000, 100'000, 50'000, 400'000}));

    // Once answered, a new line with the same identifier is owed a reply again.
    tracker.expect("A1", t0);
    EXPECT_EQ(tracker.on_reply("sent (A1)", t0), ReplyMatch::matched);
}

// Scripts read these lines; every figure must land under its own key, the
// latencies as nearest-rank percentiles (of a set given unsorted).
TEST(Report, TextAndJsonPutEachFigureUnderItsKey) {
    std::vector<std::int64_t> latencies_ns;
    for (std::int64_t v = 100; v >= 1; --v) latencies_ns.push_back(v * 1000);
    EXPECT_EQ(summarize({}).max_us, 0.0);  // no replies at all
    // expected, replies, sent, failed, buffered, other, matched, doubled, unexpected
    const ReplyCounts counts{10, 11, 6, 3, 1, 1, 8, 2, 0};
    const Report r{Mode::load, 10, counts, 2, 0.5, summarize(latencies_ns), "lost \"it\"\n"};
    std::ostringstream text, json;
    print_text(text, r);
    print_json(json, r);
    EXPECT_EQ(text.str(),
              "mode: load\nlines: 10\nreplies: 11 sent=6 failed=3 buffered=1 other=1\n"
              "missing: 2\ndoubled: 2\nunexpected: 0\nelapsed_s: 0.500000\n"
              "rate_per_s: 16.0\n"  // matched replies, not all replies, per second
              "latency_us: p50=50.0 p99=99.0 max=100.0\n");
    EXPECT_EQ(json.str().find('\n'), json.str().size() - 1);
    for (const char* part : {"\"missing\":2", "\"rate_per_s\":16.0", "\"p99_us\":99.0",
                             "\"exit\":2", "\"error\":\"lost \\\"it\\\"\\u000a\""}) {
        EXPECT_NE(json.str().find(part), std::string::npos) << part << " in " << json.str();
    }
}

// A lost connection comes first: see Report.
TEST(ExitStatus, AnyWrongReplyFailsTheRun) {
    Report ok, missing, doubled, unexpected, other;
    missing.missing = 1;
    doubled.counts.doubled = unexpected.counts.unexpected = other.counts.other = 1;
    EXPECT_EQ(exit_status(ok), kExitOk);
    for (const Report& wrong : {missing, doubled, unexpected, other})
        EXPECT_EQ(exit_status(wrong), kExitRepliesWrong);
}

}  // namespace
}  // namespace kelvarix::alarmsim
