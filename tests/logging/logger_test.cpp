#include "logging/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "logging/log_cleanup.h"
#include "platform/files.h"

namespace kelvarix {
namespace {

namespace fs = std::filesystem;

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("kelvarix-logger-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                   "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(folder_);
    }
    std::string Folder() const { return folder_.string() + "/"; }
    std::string Read(const std::string& name) const {
        std::ifstream in(folder_ / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Touch(const std::string& name) const { std::ofstream(folder_ / name) << "x"; }

    fs::path folder_;
    ManualClock clock_;
    WindowList window_;
};

TEST_F(LoggerTest, SystemLineGoesToTheDayFileAndTheList) {
    Logger logger(clock_, window_, Folder());
    logger.WriteSystemLog("Kelvarix was started");
    EXPECT_EQ(Read("2012-03-14.Log"), "12-03-14 09:05:07 Kelvarix was started\r\n");
    ASSERT_EQ(window_.Lines().size(), 1u);
    EXPECT_EQ(window_.Lines().back(), "09:05:07 [SYSTEM]         Kelvarix was started");
}

TEST_F(LoggerTest, TrafficLineIsEscapedInTheFileAndFoldedInTheList) {
    Logger logger(clock_, window_, Folder());
    logger.WriteTrafficLog("RESET\r", TagToATAS);
    EXPECT_EQ(Read("2012-03-14.Dbg"), "09:05:07 [KVX -> ATAS]    RESET<13>\r\n");

    const std::string long_text(200, 'a');
    logger.WriteTrafficLog(long_text, TagFromOrvane);
    const std::string file = Read("2012-03-14.Dbg");
    EXPECT_NE(file.find("09:05:07 [KVX <- ORVANE]  " + long_text + "\r\n"), std::string::npos);
    EXPECT_EQ(window_.Lines().size(), 4u);  // one line, then three pieces
}

TEST_F(LoggerTest, TagSystemNeverReachesTheFile) {
    Logger logger(clock_, window_, Folder());
    logger.WriteTrafficLog("only on screen", TagSystem);
    EXPECT_FALSE(FileExists(Folder() + "2012-03-14.Dbg"));
    EXPECT_EQ(window_.Lines().size(), 1u);
}

TEST_F(LoggerTest, ListKeepsTheNewest300Lines) {
    Logger logger(clock_, window_, Folder());
    for (int i = 1; i <= 301; ++i) logger.WriteSystemLog("line " + std::to_string(i));
    ASSERT_EQ(window_.Lines().size(), 300u);
    EXPECT_NE(window_.Lines().front().find("line 2"), std::string::npos);
    EXPECT_NE(window_.Lines().back().find("line 301"), std::string::npos);
}

TEST_F(LoggerTest, MissingFolderStillFillsTheList) {
    Logger logger(clock_, window_, Folder() + "gone/");
    logger.WriteSystemLog("still shown");
    logger.WriteTrafficLog("HB\r", TagToATAS);
    EXPECT_EQ(window_.Lines().size(), 2u);
}

TEST(LogCleanupAge, ThirtyDayMonthsAndYearEnds) {
    EXPECT_EQ(LogFileAgeDays({2012, 3, 15}, 2012, 2, 14), 31);
    EXPECT_EQ(LogFileAgeDays({2012, 3, 15}, 2012, 2, 15), 30);
    EXPECT_EQ(LogFileAgeDays({2012, 1, 5}, 2011, 12, 31), 9);
}

TEST(LogCleanupPattern, QuestionMarksAndCase) {
    EXPECT_TRUE(MatchesPattern("2012-03-14.Log", "????-??-??.log"));
    EXPECT_TRUE(MatchesPattern("2012-03-14.DBG", "????-??-??.dbg"));
    EXPECT_TRUE(MatchesPattern("ABCD-01-01.log", "????-??-??.log"));
    EXPECT_FALSE(MatchesPattern("2012-03-14.Log.bak", "????-??-??.log"));
    EXPECT_FALSE(MatchesPattern("2012-3-14.Log", "????-??-??.log"));
    EXPECT_TRUE(MatchesPattern("anything.txt", "*.TXT"));
}

TEST_F(LoggerTest, CleanupRemovesBothFilesOfOldDaysOnly) {
    clock_.set({2012, 3, 15, 12, 0, 0});
    Touch("2012-02-14.Log");
    Touch("2012-02-14.Dbg");
    Touch("2012-02-15.Log");
    Touch("2012-01-01.dbg");  // traffic file without its system file
    Touch("ABCD-01-01.log");
    Touch("2012-01-011.log");
    fs::create_directory(folder_ / "2011-01-01.Log");  // folders are never removed
    fs::permissions(folder_ / "2012-02-14.Dbg", fs::perms::owner_read, fs::perm_options::replace);

    Logger logger(clock_, window_, Folder());
    LogFileCleanup("????-??-??.log", 30, clock_, logger);
    LogFileCleanup("????-??-??.dbg", 30, clock_, logger);

    EXPECT_FALSE(fs::exists(folder_ / "2012-02-14.Log"));
    EXPECT_FALSE(fs::exists(folder_ / "2012-02-14.Dbg"));
    EXPECT_FALSE(fs::exists(folder_ / "2012-01-01.dbg"));
    EXPECT_TRUE(fs::exists(folder_ / "2012-02-15.Log"));
    EXPECT_TRUE(fs::exists(folder_ / "ABCD-01-01.log"));
    EXPECT_TRUE(fs::exists(folder_ / "2012-01-011.log"));
    EXPECT_TRUE(fs::exists(folder_ / "2011-01-01.Log"));

    const std::string log = Read("2012-03-15.Log");
    EXPECT_NE(log.find("Performed Log File Cleanup (killed " + Folder() + "2012-02-14.LOG)"),
              std::string::npos);
    EXPECT_NE(log.find("Performed Log File Cleanup (killed " + Folder() + "2012-01-01.LOG)"),
              std::string::npos);
    EXPECT_EQ(log.find("2012-02-15"), std::string::npos);
}

TEST_F(LoggerTest, CleanupWithZeroOrNegativeDays) {
    clock_.set({2012, 3, 15, 12, 0, 0});
    Touch("2012-03-14.Log");
    Touch("2012-03-15.Dbg");
    Logger logger(clock_, window_, Folder());
    LogFileCleanup("????-??-??.dbg", 0, clock_, logger);
    LogFileCleanup("????-??-??.log", 0, clock_, logger);
    EXPECT_FALSE(fs::exists(folder_ / "2012-03-14.Log"));
    EXPECT_TRUE(fs::exists(folder_ / "2012-03-15.Dbg"));  // today's files stay at 0
    LogFileCleanup("????-??-??.dbg", -1, clock_, logger);
    EXPECT_FALSE(fs::exists(folder_ / "2012-03-15.Dbg"));  // a negative limit takes today too
}

}  // namespace
}  // namespace kelvarix
