#include "host/service_mode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/watchdog.h"
#include "platform/background_writer.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/window_list.h"
#include "support/io_helpers.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

// The setting is stored before the unit is written and put back byte for
// byte when that fails: no unit is left that would start in the wrong mode.
TEST(ServiceSwitch, AFailedChangeLeavesTheStoredSettingAsItWas) {
    test::TempDir folder;
    std::filesystem::create_directory(folder.path("units"));
    const SystemdUnits units(folder.path("units"), false), no_units(folder.path("missing"), false);
    const ServiceSettingsStore store(folder.path("KelvarixService.ini"));
    const ServiceUnit unit = GatewayUnit("/opt/kelvarix/kelvarix", folder.path(""), false, {});
    std::vector<std::string> messages;  // message boxes are recorded instead of shown
    SetMessageBoxHandler([&](const std::string& text, const std::string& title) {
        messages.push_back(title + ": " + text);
    });
    EXPECT_NE(RemoveService(units, store), 0);            // nothing installed
    EXPECT_FALSE(std::filesystem::exists(store.Path()));  // nor was there a file
    const std::string own = "; by hand\n[Parameters]\nRunAsService = 1\n";
    folder.write("KelvarixService.ini", own);
    EXPECT_NE(InstallService(no_units, store, unit), 0);
    EXPECT_EQ(folder.read("KelvarixService.ini"), own);
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "Kelvarix: Quorsyn Kelvarix service failed to uninstall as service",
                            "Kelvarix: Quorsyn Kelvarix service failed to install as service"}));

    // A setting that cannot be stored installs nothing.
    const ServiceSettingsStore unwritable(folder.path("missing/KelvarixService.ini"));
    EXPECT_NE(InstallService(units, unwritable, unit), 0);
    EXPECT_FALSE(std::filesystem::exists(units.UnitPath("Kelvarix")));
    SetMessageBoxHandler(nullptr);
}

// Paths made absolute, the home only when it came from the environment, the
// logs and the settings' folders writable, each once; a capability only for a
// port below 1024.
TEST(GatewayUnit, RunsInItsAbsoluteFolderAndWritesWhereTheSettingsPoint) {
    const std::string cwd = std::filesystem::current_path().string(), gate = cwd + "/gate";
    using Folders = std::vector<std::string>;
    const std::tuple<const char*, const char*, int, Folders, bool> cases[] = {
        {"", "", 0, {gate + "/LogFiles"}, false},
        {"alarms.db", "/var/s/ack.txt", 1023, {gate + "/LogFiles", gate, "/var/s"}, true},
        {"/var/s/a.db", "x/../LogFiles/ack", 1024, {gate + "/LogFiles", "/var/s"}, false}};
    for (const auto& [store, scada, port, folders, binds] : cases) {
        Settings settings;
        settings.AlarmStore = store, settings.SCADAAckFile = scada, settings.ServerPort = port;
        const ServiceUnit unit = GatewayUnit("bin/kelvarix", "gate/", true, settings);
        EXPECT_EQ(std::tie(unit.executable, unit.working_directory, unit.home),
                  std::tuple(cwd + "/bin/kelvarix", gate, gate));
        EXPECT_EQ(std::tie(unit.writable_folders, unit.binds_privileged_port),
                  std::tie(folders, binds));
    }
    EXPECT_EQ(GatewayUnit("/opt/k/kelvarix", "/opt/k/", false, {}).home, "");
}

TEST(FindServiceSwitch, OneOrTwoDashesOrASlashInAnyCaseButNeverAPath) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(FindServiceSwitch(Args{"/install"}), ServiceSwitch::Install);
    EXPECT_EQ(FindServiceSwitch(Args{"--INSTALL"}), ServiceSwitch::Install);
    EXPECT_EQ(FindServiceSwitch(Args{"-i", "--Uninstall"}), ServiceSwitch::Remove);
    EXPECT_EQ(FindServiceSwitch(
                  Args{"/usr/local/etc", "--usr/local", "-u/x", "install", "--", "---i", "-", "/"}),
              ServiceSwitch::None);
}

constexpr std::chrono::milliseconds kWatchdog{100};

// Records what a service tells its manager and, at each report, whether the
// stop line is in the log file yet.
class RecordingServiceManager final : public ServiceManager {
  public:
    explicit RecordingServiceManager(const test::TempDir& folder) : folder_(folder) {}
    void ReportReady() override { Record("READY=1"); }
    void ReportStopping() override { Record("STOPPING=1"); }
    void WriteEventLog(std::uint32_t event_number, std::string_view text) override {
        Record("event " + std::to_string(event_number) + ": " + std::string(text));
    }
    std::chrono::microseconds WatchdogInterval() const override { return kWatchdog; }
    void ReportAlive() override { Record("WATCHDOG=1"); }
    std::vector<std::string> events;

  private:
    void Record(const std::string& event) {
        const bool stopped =
            folder_.read("2012-03-14.Log").find("Kelvarix was stopped (reason: By Code)") !=
            std::string::npos;
        events.push_back(event + (stopped ? " after the stop line" : " before the stop line"));
    }
    const test::TempDir& folder_;
};

TEST(Shutdown, AServiceStopsWithStoppingThenTheStopLineThenTheEventEntry) {
    test::TempDir folder;
    ManualClock clock;  // 2012-03-14
    WindowList window;
    BackgroundWriter writer;  // as the gateway writes: on a thread of its own
    Logger logger{clock, window, folder.path("")};
    logger.SetWriter(&writer);
    RecordingServiceManager service(folder);
    WriteShutdown(CloseMode::ByCode, logger, &writer, &service);
    EXPECT_EQ(service.events,
              (std::vector<std::string>{"STOPPING=1 before the stop line",
                                        "event 110: Kelvarix was stopped after the stop line"}));
}

// Fed every 50 ms while the supervisor's last tick is at most 100 ms old: at
// 0, 50 and perhaps 100 ms after a tick that no other follows, and never again.
TEST(Watchdog, PingsOnlyWhileTheTickIsAlive) {
    test::TempDir folder;
    RecordingServiceManager service(folder);
    asio::io_context io;
    const SteadyTime tick = std::chrono::steady_clock::now();
    asio::co_spawn(io, FeedWatchdog(service, tick), asio::detached);
    test::RunUntil(io, [&] { return std::chrono::steady_clock::now() > tick + 5 * kWatchdog; });
    EXPECT_TRUE(!service.events.empty() && service.events.size() <= 3) << service.events.size();
}

}  // namespace
}  // namespace kelvarix
