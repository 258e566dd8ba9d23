#include "logging/logger.h"

#include <gtest/gtest.h>

#include "logging/log_cleanup.h"
#include "logging/log_format.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

const LocalTime kTime{2012, 3, 14, 9, 5, 7};

// The ordinary line is checked through the logger.
TEST(SystemLogLayout, SeparatorAndEmptyTexts) {
    // A text that begins with "-" stands alone in the file, not in the list.
    EXPECT_EQ(SystemFileLine(kTime, "-----"), "-----\r\n");
    EXPECT_EQ(SystemListLine(kTime, "-----"), "09:05:07 [SYSTEM]         -----");
    // The empty text keeps the time stamp and its trailing blank.
    EXPECT_EQ(SystemFileLine({2009, 1, 2, 3, 4, 5}, ""), "09-01-02 03:04:05 \r\n");
}

TEST(TrafficLogLayout, ControlCharactersBecomeVisible) {
    EXPECT_EQ(EscapeTraffic("a\tb\r\n"), "a<9>b<13><10>");
    EXPECT_EQ(EscapeTraffic(std::string("x\0y", 3)), "x<0>y");
    EXPECT_EQ(EscapeTraffic("\x1f<13>"), "<31><13>");  // < and > of the text stay
    EXPECT_EQ(EscapeTraffic("\xe9 ok"), "\xe9 ok");    // 8-bit characters are copied
}

TEST(Logger, SystemAndTrafficLinesGoToTheDayFilesAndTheList) {
    test::TempDir folder;
    ManualClock clock;  // 2012-03-14 09:05:07
    WindowList window;
    Logger logger{clock, window, folder.path("")};
    logger.WriteSystemLog("Kelvarix was started");
    logger.WriteTrafficLog("RESET\r", TagToATAS);
    logger.WriteTrafficLog("1|0|E|A1", TagToOrvane);
    // Folded in the list only: 118 characters a line, continuations under the text.
    logger.WriteTrafficLog(std::string(200, 'a'), TagFromOrvane);
    logger.WriteTrafficLog("only on screen", TagSystem);
    EXPECT_EQ(folder.read("2012-03-14.Log"), "12-03-14 09:05:07 Kelvarix was started\r\n");
    EXPECT_EQ(folder.read("2012-03-14.Dbg"),
              "09:05:07 [KVX -> ATAS]    RESET<13>\r\n"
              "09:05:07 [KVX -> ORVANE]  1|0|E|A1\r\n"
              "09:05:07 [KVX <- ORVANE]  " +
                  std::string(200, 'a') + "\r\n");
    ASSERT_EQ(window.Lines().size(), 7u);  // 1 + 1 + 1 + 3 pieces + 1
    EXPECT_EQ(window.Lines()[0], "09:05:07 [SYSTEM]         Kelvarix was started");
    EXPECT_EQ(window.Lines()[1], "09:05:07 [KVX -> ATAS]    RESET<13>");
    EXPECT_EQ(window.Lines()[3], "09:05:07 [KVX <- ORVANE]  " + std::string(92, 'a'));
    EXPECT_EQ(window.Lines()[4], std::string(26, ' ') + std::string(92, 'a'));
    EXPECT_EQ(window.Lines()[5], std::string(26, ' ') + std::string(16, 'a'));
    EXPECT_EQ(window.Lines()[6], "09:05:07 [SYSTEM]         only on screen");
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
