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
        SCOPED_TRACE(spelling);
        InstanceLock again;
        EXPECT_FALSE(again.Acquire(spelling));
    }
    InstanceLock elsewhere;
    EXPECT_TRUE(elsewhere.Acquire(other.path("")));
    holder.reset();  // released: the folder is free again
    InstanceLock after_release;
    EXPECT_TRUE(after_release.Acquire(home));
}

}  // namespace
}  // namespace kelvarix
