#include "platform/instance_lock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using test::TempDir;

// A second copy on the same folder is started by the end-to-end tests.
TEST(InstanceLockTest, SameFolderSpelledDifferentlyIsStillTheSameFolder) {
    TempDir base, other;
    std::filesystem::create_directory(base.path("home"));
    std::filesystem::create_directory_symlink(base.path("home"), base.path("link"));
    const std::string home = base.path("home");

    auto holder = std::make_unique<InstanceLock>();
    ASSERT_TRUE(holder->Acquire(home + "/"));
    for (const std::string& spelling : {home, home + "/.", home + "/./", home + "//",
                                        base.path("home/../home/"), base.path("link/")}) {
        EXPECT_FALSE(InstanceLock().Acquire(spelling)) << spelling;
    }
    EXPECT_TRUE(InstanceLock().Acquire(other.path("")));
    holder.reset();  // released: the folder is free again
    EXPECT_TRUE(InstanceLock().Acquire(home));
}

}  // namespace
}  // namespace kelvarix
