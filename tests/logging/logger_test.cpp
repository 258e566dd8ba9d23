#include "logging/logger.h"

#include <gtest/gtest.h>

#include "logging/log_cleanup.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using namespace std::string_literals;

// A system line goes to the day's .Log with date and time (a text that begins
// with "-" stands alone there), a traffic line to its .Dbg with its control
// characters made visible, and both to the list.
TEST(Logger, SystemAndTrafficLinesGoToTheDayFilesAndTheList) {
    test::TempDir folder;
    ManualClock clock;
    clock.set({2009, 1, 2, 3, 4, 5});
    WindowList window;
    Logger logger{clock, window, folder.path("")};
    logger.WriteSystemLog("Kelvarix was started");
    logger.WriteSystemLog("-----");
    logger.WriteSystemLog("");  // keeps the time stamp and its trailing blank
    // "<" and ">" of the text stay, 8-bit characters are copied.
    logger.WriteTrafficLog("RESET\t\r\n\0\x1f<13> \xe9"s, TagToATAS);
    logger.WriteTrafficLog("1|0|E|A1", TagToOrvane);
    // Folded in the list only: 118 characters a line, continuations under the text.
    logger.WriteTrafficLog(std::string(200, 'a'), TagFromOrvane);
    logger.WriteTrafficLog("only on screen", TagSystem);
    EXPECT_EQ(folder.read("2009-01-02.Log"),
              "09-01-02 03:04:05 Kelvarix was started\r\n-----\r\n09-01-02 03:04:05 \r\n");
    EXPECT_EQ(folder.read("2009-01-02.Dbg"),
              "03:04:05 [KVX -> ATAS]    RESET<9><13><10><0><31><13> \xe9\r\n"
              "03:04:05 [KVX -> ORVANE]  1|0|E|A1\r\n"
              "03:04:05 [KVX <- ORVANE]  " +
                  std::string(200, 'a') + "\r\n");
    ASSERT_EQ(window.Lines().size(), 9u);  // 3 + 1 + 1 + 3 pieces + 1
    EXPECT_EQ(window.Lines()[0], "03:04:05 [SYSTEM]         Kelvarix was started");
    EXPECT_EQ(window.Lines()[1], "03:04:05 [SYSTEM]         -----");
    EXPECT_EQ(window.Lines()[5], "03:04:05 [KVX <- ORVANE]  " + std::string(92, 'a'));
    EXPECT_EQ(window.Lines()[6], std::string(26, ' ') + std::string(92, 'a'));
    EXPECT_EQ(window.Lines()[7], std::string(26, ' ') + std::string(16, 'a'));
    EXPECT_EQ(window.Lines()[8], "03:04:05 [SYSTEM]         only on screen");
}

TEST(LogCleanup, AgeInThirtyDayMonthsAndPatternsWithQuestionMarks) {
    // Across a year end; ages within a year: the supervisor's cleanup test.
    EXPECT_EQ(LogFileAgeDays({2012, 1, 5}, 2011, 12, 31), 9);
    // Names that match, in any case: the supervisor's cleanup test.
    for (const char* name : {"2012-03-14.Log.bak", "2012-3-14.Log", "2012-03-14.Dbg"}) {
        EXPECT_FALSE(MatchesPattern(name, "????-??-??.log")) << name;
    }
    EXPECT_TRUE(MatchesPattern("anything.txt", "*.TXT"));
}

}  // namespace
}  // namespace kelvarix
