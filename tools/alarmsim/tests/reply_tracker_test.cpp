#include "reply_tracker.h"

#include <gtest/gtest.h>

namespace kelvarix::alarmsim {
namespace {

using std::chrono::microseconds;

const Clock::time_point t0{};

TEST(ReplyTracker, MatchesByIdentifierAndTellsMissingDoubledUnexpectedAndUnreadable) {
    ReplyTracker tracker;
    tracker.expect("A1", t0);
    tracker.expect("A1", t0 + microseconds(100));  // a repeated identifier: oldest line first
    tracker.expect("A2", t0);
    tracker.expect("A3", t0 + microseconds(20));

    EXPECT_EQ(tracker.on_reply("buffered (A3)", t0 + microseconds(50)), ReplyMatch::matched);
    EXPECT_EQ(tracker.on_reply("sent (A1)", t0 + microseconds(150)), ReplyMatch::matched);
    EXPECT_EQ(tracker.on_reply("sent (A1)", t0 + microseconds(160)), ReplyMatch::matched);
    EXPECT_EQ(tracker.on_reply("failed (A1)", t0), ReplyMatch::doubled);
    EXPECT_EQ(tracker.on_reply("sent (A9)", t0), ReplyMatch::unexpected);
    // A garbled reply for A2 does not settle A2.
    EXPECT_EQ(tracker.on_reply("sent (A2)\r", t0), ReplyMatch::unreadable);

    EXPECT_EQ(tracker.outstanding(), 1u);  // A2 is missing
    const ReplyCounts& c = tracker.counts();
    // Kinds count every readable reply, matched or not.
    EXPECT_EQ(std::tie(c.expected, c.replies, c.matched, c.doubled, c.unexpected, c.other, c.sent,
                       c.failed, c.buffered),
              std::tuple(4, 6, 3, 1, 1, 1, 3, 1, 1));
    EXPECT_EQ(tracker.latencies_ns(), (std::vector<std::int64_t>{30'000, 150'000, 60'000}));

    // Once answered, a new line with the same identifier is owed a reply again.
    tracker.expect("A1", t0);
    EXPECT_EQ(tracker.on_reply("sent (A1)", t0), ReplyMatch::matched);
}

TEST(Percentiles, NearestRankOnAKnownSet) {
    std::vector<std::int64_t> hundred;
    for (std::int64_t v = 100; v >= 1; --v) hundred.push_back(v * 1000);  // unsorted on purpose
    EXPECT_EQ(percentile(hundred, 50), 50'000);
    EXPECT_EQ(percentile(hundred, 99), 99'000);
    EXPECT_EQ(percentile({7, 3}, 50), 3);
    EXPECT_EQ(percentile({7, 3}, 99), 7);
    EXPECT_EQ(percentile({}, 50), 0);
    EXPECT_EQ(summarize(hundred).p99_us, 99.0);
}

}  // namespace
}  // namespace kelvarix::alarmsim
