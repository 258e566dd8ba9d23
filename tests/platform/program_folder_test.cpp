#include "platform/program_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kelvarix {
namespace {

TEST(ProgramFolderTest, HomeOverrideWinsAndEveryFolderEndsWithASeparator) {
    struct Case {
        const char* executable;
        const char* home;  // KELVARIX_HOME; nullptr when unset
        const char* folder;
    };
    const Case cases[] = {
        {"/opt/kelvarix/bin/kelvarix", nullptr, "/opt/kelvarix/bin/"},
        {"/opt/kelvarix/bin/kelvarix", "", "/opt/kelvarix/bin/"},  // empty means unset
        {"/opt/kelvarix/bin/kelvarix", "/srv/gateway", "/srv/gateway/"},
        {"/opt/kelvarix/bin/kelvarix", "/srv/gateway/", "/srv/gateway/"},
        {"/kelvarix", nullptr, "/"},
        {"", "/srv/gateway", "/srv/gateway/"},  // the executable could not be found
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.executable) + " home=" + (c.home ? c.home : "(unset)"));
        EXPECT_EQ(ProgramFolderFrom(c.executable, c.home), c.folder);
    }
}

// The real lookup: the folder of the running executable (this test program),
// unless KELVARIX_HOME names another.
TEST(ProgramFolderTest, RunningProgramsFolderOrItsHomeVariable) {
    const char* saved = std::getenv("KELVARIX_HOME");
    const std::string saved_value = saved ? saved : "";

    ::unsetenv("KELVARIX_HOME");
    EXPECT_EQ(ProgramFolder(), std::filesystem::canonical(KELVARIX_BUILD_DIR).string() + "/");
    ::setenv("KELVARIX_HOME", "/srv/gateway", 1);
    EXPECT_EQ(ProgramFolder(), "/srv/gateway/");

    if (saved)
        ::setenv("KELVARIX_HOME", saved_value.c_str(), 1);
    else
        ::unsetenv("KELVARIX_HOME");
}

}  // namespace
}  // namespace kelvarix
