#include "logging/logger.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "logging/log_cleanup.h"
#include "logging/log_format.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

namespace fs = std::filesystem;

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

TEST(TrafficLogLayout, FoldingAt118WithIndent) {
    const std::string prefix(26, 'p');
    auto lengths = [&](std::size_t text_length) {
        std::vector<std::size_t> result;
        for (const std::string& piece : FoldForList(prefix + std::string(text_length, 'x'), 26)) {
            result.push_back(piece.size());
        }
        return result;
    };
    EXPECT_EQ(lengths(92), (std::vector<std::size_t>{118}));
    EXPECT_EQ(lengths(93), (std::vector<std::size_t>{118, 27}));

    const auto pieces = FoldForList(prefix + std::string(92, 'x') + "LAST", 26);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1], std::string(26, ' ') + "LAST");
}

class LoggerTest : public ::testing::Test {
  protected:
    bool Exists(const std::string& name) const { return fs::exists(folder_.path(name)); }

    test::TempDir folder_;
    ManualClock clock_;  // 2012-03-14 09:05:07
    WindowList window_;
    Logger logger_{clock_, window_, folder_.path("")};
};

TEST_F(LoggerTest, SystemAndTrafficLinesGoToTheDayFilesAndTheList) {
    logger_.WriteSystemLog("Kelvarix was started");
    logger_.WriteTrafficLog("RESET\r", TagToATAS);
    logger_.WriteTrafficLog("1|0|E|A1", TagToOrvane);
    logger_.WriteTrafficLog(std::string(200, 'a'), TagFromOrvane);  // folded in the list only
    logger_.WriteTrafficLog("only on screen", TagSystem);
    EXPECT_EQ(folder_.read("2012-03-14.Log"), "12-03-14 09:05:07 Kelvarix was started\r\n");
    EXPECT_EQ(folder_.read("2012-03-14.Dbg"),
              "09:05:07 [KVX -> ATAS]    RESET<13>\r\n"
              "09:05:07 [KVX -> ORVANE]  1|0|E|A1\r\n"
              "09:05:07 [KVX <- ORVANE]  " +
                  std::string(200, 'a') + "\r\n");
    ASSERT_EQ(window_.Lines().size(), 7u);  // 1 + 1 + 1 + 3 pieces + 1
    EXPECT_EQ(window_.Lines()[0], "09:05:07 [SYSTEM]         Kelvarix was started");
    EXPECT_EQ(window_.Lines()[1], "09:05:07 [KVX -> ATAS]    RESET<13>");
    EXPECT_EQ(window_.Lines()[6], "09:05:07 [SYSTEM]         only on screen");
}

TEST(LogCleanup, AgeInThirtyDayMonthsAndPatternsWithQuestionMarks) {
    // Across a year end; ages within a year are checked by the cleanup below.
    EXPECT_EQ(LogFileAgeDays({2012, 1, 5}, 2011, 12, 31), 9);
    // Names that match, in any case, are removed by the cleanup below.
    for (const char* name : {"2012-03-14.Log.bak", "2012-3-14.Log", "2012-03-14.Dbg"}) {
        EXPECT_FALSE(MatchesPattern(name, "????-??-??.log")) << name;
    }
    EXPECT_TRUE(MatchesPattern("anything.txt", "*.TXT"));
}

TEST_F(LoggerTest, CleanupRemovesBothFilesOfOldDaysOnly) {
    clock_.set({2012, 3, 15, 12, 0, 0});
    for (const char* name : {"2012-02-14.Log", "2012-02-14.Dbg", "2012-02-15.Log",
                             "2012-01-01.dbg",  // traffic file without its system file
                             "ABCD-01-01.log", "2012-01-011.log"}) {
        folder_.write(name, "x");
    }
    fs::create_directory(folder_.path("2011-01-01.Log"));  // only ordinary files are listed
    fs::permissions(folder_.path("2012-02-14.Dbg"), fs::perms::owner_read);

    LogFileCleanup("????-??-??.log", 30, clock_, logger_);
    LogFileCleanup("????-??-??.dbg", 30, clock_, logger_);
    for (const char* gone : {"2012-02-14.Log", "2012-02-14.Dbg", "2012-01-01.dbg"}) {
        EXPECT_FALSE(Exists(gone)) << gone;
    }
    for (const char* kept :
         {"2012-02-15.Log", "ABCD-01-01.log", "2012-01-011.log", "2011-01-01.Log"}) {
        EXPECT_TRUE(Exists(kept)) << kept;
    }
    const std::string log = folder_.read("2012-03-15.Log");
    for (const char* day : {"2012-02-14", "2012-01-01"}) {
        EXPECT_NE(log.find("Performed Log File Cleanup (killed " + folder_.path(day) + ".LOG)"),
                  std::string::npos)
            << log;
    }
    for (const char* day : {"2012-02-15", "2011-01-01"})
        EXPECT_EQ(log.find(day), std::string::npos);

    // Today's files stay at 0 days; a negative limit takes them too.
    folder_.write("2012-03-15.Dbg", "x");
    LogFileCleanup("????-??-??.dbg", 0, clock_, logger_);
    EXPECT_TRUE(Exists("2012-03-15.Dbg"));
    LogFileCleanup("????-??-??.dbg", -1, clock_, logger_);
    EXPECT_FALSE(Exists("2012-03-15.Dbg"));
}

}  // namespace
}  // namespace kelvarix
