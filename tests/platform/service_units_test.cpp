#include "platform/service_units.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/temp_dir.h"

namespace kelvarix {
namespace {

ServiceUnit PlainUnit() {
    return {"Kelvarix", "Quorsyn Kelvarix service", "/opt/kelvarix/kelvarix", "/opt/kelvarix/", ""};
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

TEST(UnitFileText, DescribesANotifyServiceStartedAtBoot) {
    EXPECT_EQ(UnitFileText(PlainUnit()),
              "[Unit]\n"
              "Description=Quorsyn Kelvarix service\n"
              "After=network.target\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=\"/opt/kelvarix/kelvarix\"\n"
              "WorkingDirectory=/opt/kelvarix\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
}

TEST(UnitFileText, CarriesTheHomeAndEscapesWhatSystemdWouldExpand) {
    ServiceUnit unit = PlainUnit();
    unit.executable = R"(/opt/100% "new"/$HOME\kelvarix)";
    unit.working_directory = "/srv/gate 50%";
    unit.home = "/srv/gate 50%";
    const std::optional<std::string> text = UnitFileText(unit);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find("\nExecStart=\"/opt/100%% \\\"new\\\"/$$HOME\\\\kelvarix\"\n"), std::string::npos)
        << *text;
    EXPECT_NE(text->find("\nWorkingDirectory=/srv/gate 50%%\n"), std::string::npos) << *text;
    EXPECT_NE(text->find("\nEnvironment=\"KELVARIX_HOME=/srv/gate 50%%\"\n"), std::string::npos) << *text;
}

TEST(UnitFileText, RefusesWhatAUnitCannotHold) {
    ServiceUnit line_break = PlainUnit();
    line_break.working_directory = "/opt/a\nExecStartPre=/bin/false";
    ServiceUnit relative = PlainUnit();
    relative.executable = "kelvarix";
    ServiceUnit relative_home = PlainUnit();
    relative_home.home = "home";
    for (const ServiceUnit& unit : {line_break, relative, relative_home}) {
        EXPECT_FALSE(UnitFileText(unit)) << unit.executable << " " << unit.working_directory;
    }
}

TEST(SystemdUnits, InstallWritesTheUnitOnceAndRemoveDeletesIt) {
    test::TempDir folder;
    const SystemdUnits units(folder.path(""), false);
    const std::string path = units.UnitPath("Kelvarix");
    EXPECT_EQ(path, folder.path("Kelvarix.service"));

    ASSERT_TRUE(units.Install(PlainUnit()));
    EXPECT_EQ(ReadWhole(path), UnitFileText(PlainUnit()));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A unit of the same name is never overwritten, by whichever folder.
    ServiceUnit other = PlainUnit();
    other.working_directory = "/elsewhere";
    EXPECT_FALSE(units.Install(other));
    EXPECT_EQ(ReadWhole(path), UnitFileText(PlainUnit()));

    EXPECT_TRUE(units.Remove("Kelvarix"));
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_FALSE(units.Remove("Kelvarix"));
}

TEST(SystemdUnits, FailuresLeaveNoFileBehind) {
    test::TempDir folder;
    EXPECT_FALSE(SystemdUnits(folder.path("missing"), false).Install(PlainUnit()));

    const SystemdUnits units(folder.path(""), false);
    ServiceUnit refused = PlainUnit();
    refused.executable = "relative/kelvarix";
    EXPECT_FALSE(units.Install(refused));
    EXPECT_FALSE(std::filesystem::exists(units.UnitPath("Kelvarix")));

    ServiceUnit escaping = PlainUnit();
    escaping.name = "../Kelvarix";
    EXPECT_FALSE(units.Install(escaping));
    EXPECT_FALSE(units.Remove("../Kelvarix"));
}

}  // namespace
}  // namespace kelvarix
