#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

TEST(FilesTest, AppendCreatesTheFileThenAddsToItByteForByte) {
    TempDir folder;
    const std::string path = folder.path("2012-03-14.Log");
    ASSERT_TRUE(AppendToFile(path, "12-03-14 09:05:07 Kelvarix was started\r\n"));
    ASSERT_TRUE(AppendToFile(path, std::string_view("\xE9t\xE9\0x\r\n", 7)));
    ASSERT_TRUE(AppendToFile(path, ""));
    EXPECT_EQ(folder.read("2012-03-14.Log"),
              std::string("12-03-14 09:05:07 Kelvarix was started\r\n\xE9t\xE9\0x\r\n", 47));
    // Without its folder there is no file.
    EXPECT_FALSE(AppendToFile(folder.path("LogFiles/2012-03-14.Log"), "text\r\n"));
    EXPECT_FALSE(FileExists(folder.path("LogFiles")));
}

TEST(FilesTest, ListingHoldsOnlyVisibleOrdinaryFiles) {
    TempDir folder;
    for (const char* name : {"2012-03-14.Log", "2012-03-14.Dbg", ".hidden.Log"})
        folder.write(name, "x");
    fs::create_directory(folder.path("2012-03-13.Log"));  // a folder with a file's name
    fs::create_symlink(folder.path("2012-03-14.Log"), folder.path("2012-03-12.Log"));

    // Callers pass the folder with or without its separator.
    for (const std::string& spelling : {folder.path(""), folder.path(".")}) {
        SCOPED_TRACE(spelling);
        std::vector<std::string> names = ListOrdinaryFiles(spelling);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"2012-03-14.Dbg", "2012-03-14.Log"}));
    }
    EXPECT_TRUE(ListOrdinaryFiles(folder.path("missing/")).empty());
}

}  // namespace
}  // namespace kelvarix
