#include "platform/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using test::TempDir;
namespace fs = std::filesystem;

// Appending byte for byte, and failing without the folder, is checked through
// the logger.
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
