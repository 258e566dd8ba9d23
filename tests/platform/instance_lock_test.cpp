#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using test::TempDir;

TEST(InstanceLockTest, OneHolderPerFolderUntilItIsReleased) {
    TempDir folder, other;
    {
        InstanceLock first, second, elsewhere;
        ASSERT_TRUE(first.Acquire(folder.path("")));
        EXPECT_FALSE(second.Acquire(folder.path("")));
        EXPECT_TRUE(elsewhere.Acquire(other.path("")));
    }
    InstanceLock after_release;
    EXPECT_TRUE(after_release.Acquire(folder.path("")));
}

TEST(InstanceLockTest, SameFolderSpelledDifferentlyIsStillTheSameFolder) {
    TempDir base;
    std::filesystem::create_directory(base.path("home"));
    std::filesystem::create_directory_symlink(base.path("home"), base.path("link"));
    const std::string home = base.path("home");

    InstanceLock holder;
    ASSERT_TRUE(holder.Acquire(home + "/"));
    for (const std::string& spelling : {home, home + "/.", home + "/./", home + "//",
                                        base.path("home/../home/"), base.path("link/")}) {
        SCOPED_TRACE(spelling);
        InstanceLock again;
        EXPECT_FALSE(again.Acquire(spelling));
    }
}

}  // namespace
}  // namespace kelvarix
