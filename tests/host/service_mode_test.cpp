#include "host/service_mode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "host/temp_dir.h"
#include "platform/background_writer.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/window_list.h"

namespace kelvarix {
namespace {

// Message boxes are recorded instead of shown.
class ServiceSwitchTest : public ::testing::Test {
protected:
    ServiceSwitchTest() {
        std::filesystem::create_directory(folder.path("units"));
        SetMessageBoxHandler([this](const std::string& text, const std::string& title) {
            messages.push_back(title + ": " + text);
        });
    }
    ~ServiceSwitchTest() override { SetMessageBoxHandler(nullptr); }

    ServiceUnit Unit() const {
        return GatewayUnit("/opt/kelvarix/kelvarix", folder.path(""), false);
    }
    std::string Stored() const { return store.Snapshot().value_or("(no file)"); }

    test::TempDir folder;
    const SystemdUnits units{folder.path("units"), false};
    const SystemdUnits no_units{folder.path("missing"), false};
    const ServiceSettingsStore store{folder.path("KelvarixService.ini")};
    std::vector<std::string> messages;
};

TEST_F(ServiceSwitchTest, AFailedChangeLeavesTheStoredSettingAsItWas) {
    // No store file: none afterwards either.
    EXPECT_NE(InstallService(no_units, store, Unit()), 0);
    EXPECT_EQ(Stored(), "(no file)");
    EXPECT_NE(RemoveService(units, store), 0);  // nothing installed
    EXPECT_EQ(Stored(), "(no file)");

    // A store of its own, byte for byte.
    const std::string own = "; by hand\n[Parameters]\nRunAsService = 1\n";
    folder.write("KelvarixService.ini", own);
    EXPECT_NE(RemoveService(units, store), 0);
    EXPECT_EQ(Stored(), own);
    EXPECT_NE(InstallService(no_units, store, Unit()), 0);
    EXPECT_EQ(Stored(), own);

    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Kelvarix: Quorsyn Kelvarix service failed to install as service",
                            "Kelvarix: Quorsyn Kelvarix service failed to uninstall as service",
                            "Kelvarix: Quorsyn Kelvarix service failed to uninstall as service",
                            "Kelvarix: Quorsyn Kelvarix service failed to install as service"}));
}

TEST_F(ServiceSwitchTest, ASettingThatCannotBeStoredInstallsNothing) {
    const ServiceSettingsStore unwritable(folder.path("missing/KelvarixService.ini"));
    EXPECT_NE(InstallService(units, unwritable, Unit()), 0);
    EXPECT_FALSE(std::filesystem::exists(units.UnitPath("Kelvarix")));
}

TEST(GatewayUnit, RunsTheProgramInItsAbsoluteFolderAndCarriesTheHomeOnlyFromTheEnvironment) {
    const std::string cwd = std::filesystem::current_path().string();
    const ServiceUnit unit = GatewayUnit("bin/kelvarix", "gate/", true);
    EXPECT_EQ(unit.name, "Kelvarix");
    EXPECT_EQ(unit.description, "Quorsyn Kelvarix service");
    EXPECT_EQ(unit.executable, cwd + "/bin/kelvarix");
    EXPECT_EQ(unit.working_directory, cwd + "/gate");
    EXPECT_EQ(unit.home, cwd + "/gate");
    EXPECT_EQ(GatewayUnit("/opt/k/kelvarix", "/opt/k/", false).home, "");
}

TEST(FindServiceSwitch, OneOrTwoDashesOrASlashInAnyCaseButNeverAPath) {
    const std::vector<std::pair<std::vector<std::string>, ServiceSwitch>> cases = {
        {{"-I"}, ServiceSwitch::Install},
        {{"/install"}, ServiceSwitch::Install},
        {{"--INSTALL"}, ServiceSwitch::Install},
        {{"-i", "--Uninstall"}, ServiceSwitch::Remove},
        {{"/usr/local/etc", "--usr/local", "-u/x"}, ServiceSwitch::None},
        {{"install", "--", "---i", "-", "/"}, ServiceSwitch::None},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(FindServiceSwitch(arguments), expected) << arguments.front();
    }
}

// Records what a service tells its manager, in one sequence with the system
// log's lines as they reach the list and, at each event entry, whether the
// stop line is in the log file yet.
class RecordingServiceManager final : public ServiceManager {
public:
    RecordingServiceManager(std::vector<std::string>& events, std::function<std::string()> log_file)
        : events_(events), log_file_(std::move(log_file)) {}
    void ReportReady() override { events_.push_back("READY=1"); }
    void ReportStopping() override { events_.push_back("STOPPING=1"); }
    void WriteEventLog(std::uint32_t event_number, std::string_view text) override {
        const bool stop_line_written = log_file_().find("Kelvarix was stopped (reason:") != std::string::npos;
        events_.push_back("event " + std::to_string(event_number) + ": " + std::string(text) +
                          (stop_line_written ? " (after the file's stop line)" : " (before the file's stop line)"));
    }

private:
    std::vector<std::string>& events_;
    std::function<std::string()> log_file_;
};

class ShutdownTest : public ::testing::Test {
protected:
    ShutdownTest() {
        logger.SetWriter(&writer);  // as the gateway writes: on a thread of its own
        window.SetObserver([this] {
            if (!window.Lines().empty()) events.push_back("log: " + window.Lines().back().substr(26));
        });
    }
    std::string LogFile() const {
        std::ifstream in(folder.path("2012-03-14.Log"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    test::TempDir folder;
    ManualClock clock;  // 2012-03-14
    WindowList window;
    BackgroundWriter writer;
    Logger logger{clock, window, folder.path("")};
    std::vector<std::string> events;
    RecordingServiceManager service{events, [this] { return LogFile(); }};
};

TEST_F(ShutdownTest, AServiceStopsWithStoppingThenTheStopLineThenTheEventEntry) {
    WriteShutdown(CloseMode::ByCode, logger, &writer, &service);
    EXPECT_EQ(events, (std::vector<std::string>{
                          "STOPPING=1", "log: Kelvarix was stopped (reason: By Code)",
                          "event 110: Kelvarix was stopped (after the file's stop line)"}));
}

TEST_F(ShutdownTest, AWindowOnlyWritesTheStopLine) {
    WriteShutdown(CloseMode::UserClosed, logger, &writer, nullptr);
    EXPECT_EQ(events, (std::vector<std::string>{"log: Kelvarix was stopped (reason: User closed application)"}));
    EXPECT_NE(LogFile().find("Kelvarix was stopped (reason: User closed application)"), std::string::npos);
}

}  // namespace
}  // namespace kelvarix
