#include "report.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kelvarix::alarmsim {
namespace {

// Scripts read these lines; every figure must land under its own key.
Report sample() {
    // expected, replies, sent, failed, buffered, other, matched, doubled, unexpected
    const ReplyCounts counts{10, 11, 6, 3, 1, 1, 8, 2, 0};
    return Report{Mode::load, 10, counts, 2, 0.5, {8, 12.3, 80.5, 140.0}, ""};
}

TEST(Report, TextAndJsonPutEachFigureUnderItsKey) {
    std::ostringstream text;
    print_text(text, sample());
    EXPECT_EQ(text.str(),
              "mode: load\n"
              "lines: 10\n"
              "replies: 11 sent=6 failed=3 buffered=1 other=1\n"
              "missing: 2\n"
              "doubled: 2\n"
              "unexpected: 0\n"
              "elapsed_s: 0.500000\n"
              "rate_per_s: 16.0\n"  // matched replies, not all replies, per second
              "latency_us: p50=12.3 p99=80.5 max=140.0\n");

    Report r = sample();
    r.error = "lost \"it\"\n";
    std::ostringstream out;
    print_json(out, r);
    const std::string json = out.str();
    EXPECT_EQ(json.find('\n'), json.size() - 1);
    for (const char* part :
         {"\"mode\":\"load\"", "\"missing\":2", "\"rate_per_s\":16.0", "\"p99_us\":80.5",
          "\"exit\":2", "\"error\":\"lost \\\"it\\\"\\u000a\""}) {
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
    }
}

TEST(ExitStatus, ConnectionFirstThenAnyWrongReply) {
    Report r;
    EXPECT_EQ(exit_status(r), kExitOk);
    r.missing = 1;
    EXPECT_EQ(exit_status(r), kExitRepliesWrong);
    r.error = "the gateway closed the connection";
    EXPECT_EQ(exit_status(r), kExitConnection);
    for (std::size_t ReplyCounts::*field :
         {&ReplyCounts::doubled, &ReplyCounts::unexpected, &ReplyCounts::other}) {
        Report wrong;
        wrong.counts.*field = 1;
        EXPECT_EQ(exit_status(wrong), kExitRepliesWrong);
    }
}

}  // namespace
}  // namespace kelvarix::alarmsim
