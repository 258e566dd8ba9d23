// Where the program runs from, and the systemd unit that runs it there.
#include "platform/service_units.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include "platform/program_folder.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

ServiceUnit PlainUnit() {
    return {"Kelvarix", "Quorsyn Kelvarix service", "/opt/kelvarix/kelvarix", "/opt/kelvarix/", ""};
}

// The unit of an ordinary installation is read back by the end-to-end test.
TEST(UnitFileText, CarriesTheHomeAndEscapesWhatSystemdWouldExpand) {
    ServiceUnit unit = PlainUnit();
    unit.executable = R"(/opt/100% "new"/$HOME\kelvarix)";
    unit.working_directory = unit.home = "/srv/gate 50%";
    unit.writable_folders = {"/srv/gate 50%/Logs/", "/var/$x"};
    const std::string text = UnitFileText(unit).value_or("(refused)");
    for (const char* line :
         {"\nExecStart=\"/opt/100%% \\\"new\\\"/$$HOME\\\\kelvarix\"\n",
          "\nWorkingDirectory=/srv/gate 50%%\n", "\nEnvironment=\"KELVARIX_HOME=/srv/gate 50%%\"\n",
          "\nReadWritePaths= \"-/srv/gate 50%%/Logs\" \"-/var/$x\"\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
    }
    // A gateway below /home or /tmp must still see its files there.
    unit.executable = "/tmp/kelvarix", unit.writable_folders = {"/home/op/scada"};
    const std::string in_home = UnitFileText(unit).value_or("(refused)");
    EXPECT_TRUE(in_home.find("\nProtectHome=read-only\n") != std::string::npos &&
                in_home.find("PrivateTmp") == std::string::npos)
        << in_home;
}

// Writing, removing and removing twice are run by the end-to-end test.
TEST(SystemdUnits, InstallWritesOnlyAUnitItCanHoldNeverOverwritesOneAndMakesItReadableByAll) {
    test::TempDir folder;
    EXPECT_FALSE(SystemdUnits(folder.path("missing"), false).Install(PlainUnit()));
    const SystemdUnits units(folder.path(""), false);
    ServiceUnit line_break = PlainUnit(), relative = PlainUnit(), relative_home = PlainUnit(),
                escaping = PlainUnit(), relative_writable = PlainUnit();
    line_break.working_directory = "/opt/a\nExecStartPre=/bin/false";
    relative.executable = "kelvarix";
    relative_home.home = "home";
    escaping.name = "../Kelvarix";
    relative_writable.writable_folders = {"/ok", "LogFiles"};
    for (const ServiceUnit& unit :
         {line_break, relative, relative_home, escaping, relative_writable}) {
        EXPECT_FALSE(units.Install(unit)) << unit.name << " " << unit.executable;
        EXPECT_TRUE(std::filesystem::is_empty(folder.path("")));
    }
    EXPECT_FALSE(units.Remove("../Kelvarix"));

    ASSERT_TRUE(units.Install(PlainUnit()));
    struct stat st {};
    ASSERT_EQ(::stat(units.UnitPath("Kelvarix").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // A unit of the same name is never overwritten, by whichever folder.
    ServiceUnit other = PlainUnit();
    other.working_directory = "/elsewhere";
    EXPECT_FALSE(units.Install(other));
    EXPECT_EQ(folder.read("Kelvarix.service"), UnitFileText(PlainUnit()));
}

// From the executable and KELVARIX_HOME (nullptr when unset).
TEST(ProgramFolderTest, HomeOverrideWinsOverTheProgramsFolderAndEachEndsWithASeparator) {
    const char* const bin = "/opt/kelvarix/bin/kelvarix";
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {bin, nullptr, "/opt/kelvarix/bin/"},
        {bin, "", "/opt/kelvarix/bin/"},  // empty means unset
        {bin, "/srv/gateway", "/srv/gateway/"},
        {bin, "/srv/gateway/", "/srv/gateway/"},
        {"/kelvarix", nullptr, "/"},
    };
    for (const auto& [executable, home, folder] : cases) {
        EXPECT_EQ(ProgramFolderFrom(executable, home), folder)
            << executable << " " << (home ? home : "unset");
    }

    // The real lookup without KELVARIX_HOME: the folder of the running
    // executable (this test program). The end-to-end tests set the variable.
    const char* saved = std::getenv("KELVARIX_HOME");
    const std::string saved_value = saved ? saved : "";
    ::unsetenv("KELVARIX_HOME");
    EXPECT_EQ(ProgramFolder(), std::filesystem::canonical(KELVARIX_BUILD_DIR).string() + "/");
    if (saved) ::setenv("KELVARIX_HOME", saved_value.c_str(), 1);
}

}  // namespace
}  // namespace kelvarix
