// The Windows platform layer's own behaviour: backslash paths, the named
// mutex, and file attributes. Runs under Wine in the Windows build.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/program_folder.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

TEST(WindowsProgramFolder, FolderOfTheModuleEndsWithABackslash) {
    EXPECT_EQ(ProgramFolderFrom("C:\\Kelvarix\\kelvarix.exe", nullptr), "C:\\Kelvarix\\");
    EXPECT_EQ(ProgramFolderFrom("C:\\kelvarix.exe", nullptr), "C:\\");  // a root keeps its one
    EXPECT_EQ(ProgramFolderFrom("C:\\x\\kelvarix.exe", "D:\\Gateway"), "D:\\Gateway\\");
    EXPECT_EQ(ProgramFolderFrom("C:\\x\\kelvarix.exe", "D:\\Gateway\\"), "D:\\Gateway\\");
    const std::string folder = ProgramFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '\\');
}

TEST(WindowsInstanceLock, OneHolderPerFolderWhateverItsSpelling) {
    test::TempDir dir;
    const std::string folder = dir.path("Gateway");
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    std::string shouted = folder;
    ::CharUpperA(shouted.data());
    {
        InstanceLock first, second, elsewhere;
        ASSERT_TRUE(first.Acquire(folder + "\\"));
        EXPECT_FALSE(second.Acquire(shouted));
        EXPECT_TRUE(elsewhere.Acquire(dir.path("Other")));
    }
    InstanceLock after_release;
    EXPECT_TRUE(after_release.Acquire(folder));
}

// Log cleanup lists only ordinary files and clears a read-only one first.
TEST(WindowsFiles, HiddenSystemAndFoldersAreNotListedAndReadOnlyGoesOnceCleared) {
    test::TempDir dir;
    const std::string folder = dir.path("LogFiles"), in = folder + kPathSeparator;
    const std::string path = in + "2012-03-14.Log";
    ASSERT_TRUE(MakeFolder(folder));
    EXPECT_FALSE(MakeFolder(folder));  // exists already
    for (const char* text : {"x\r\n", "second\r\n"}) ASSERT_TRUE(AppendToFile(path, text));
    for (const char* name : {"hidden.Log", "system.Log"}) ASSERT_TRUE(AppendToFile(in + name, "x"));
    EXPECT_EQ(test::ReadFile(path), "x\r\nsecond\r\n");
    ASSERT_TRUE(MakeFolder(in + "2012-03-13.Log"));
    ::SetFileAttributesA((in + "hidden.Log").c_str(), FILE_ATTRIBUTE_HIDDEN);
    ::SetFileAttributesA((in + "system.Log").c_str(), FILE_ATTRIBUTE_SYSTEM);
    EXPECT_EQ(ListOrdinaryFiles(folder), std::vector<std::string>{"2012-03-14.Log"});
    EXPECT_EQ(ListOrdinaryFiles(in), std::vector<std::string>{"2012-03-14.Log"});

    ASSERT_TRUE(::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(RemoveFile(path));
    EXPECT_TRUE(ClearAttributes(path));
    EXPECT_TRUE(RemoveFile(path));
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(RemoveFile(path));
}

}  // namespace
}  // namespace kelvarix
