// The gateway as a service: installation and removal from the command line,
// and a run in service mode under a stand-in service manager.

#include <asio/io_context.hpp>
#include <asio/local/datagram_protocol.hpp>
#include <filesystem>

#include "e2e/harness.h"
#include "platform/ini_file.h"
#include "support/io_helpers.h"

namespace kelvarix::e2e {
namespace {

using namespace std::string_literals;
constexpr std::string_view kStarted = "Kelvarix was started";

class ServiceTest : public GatewayTest {
  protected:
    ServiceTest() { home_.write("Kelvarix.ini", GatewayIni(server_port_, FreeLocalPort())); }

    // The gateway on the program folder; unit files go to the test's own folder.
    ChildProcess Gateway(const Texts& arguments, const std::string& notify_socket = {}) {
        Texts environment = GatewayEnvironment(home_);
        environment.push_back("KELVARIX_UNIT_DIR=" + units_.path(""));
        if (!notify_socket.empty()) {  // a watchdog of 10 minutes: one ping at the start
            environment.insert(environment.end(),
                               {"NOTIFY_SOCKET=" + notify_socket, "WATCHDOG_USEC=600000000"});
        }
        return ChildProcess(BuiltBinary("kelvarix"), arguments, environment);
    }
    // Runs a switch to its end and checks its exit status and its one message.
    void Switch(const std::string& option, int status, std::string_view message) {
        ChildProcess run = Gateway({option});
        EXPECT_EQ(run.WaitForExit(), status) << option << "\n" << run.Describe();
        EXPECT_EQ(run.Stderr(),
                  "Kelvarix: Quorsyn Kelvarix service " + std::string(message) + "\n");
        EXPECT_EQ(run.Stdout(), "");
    }
    std::string StoredRunAsService() const {
        return IniFile::parse(ReadFile(home_.path("KelvarixService.ini")))
            .get("Parameters", "RunAsService", "(none)");
    }

    test::TempDir units_;
};

// Installed, the gateway runs as a service: ready, the watchdog and stopping
// reported to the manager, SIGTERM is close mode 1, nothing on standard
// output; a second copy shows no message box. Removed, the stored setting
// says console again (a console start is what every other e2e test makes),
// and removing twice fails.
TEST_F(ServiceTest, InstallRunAndRemove) {
    Switch("/i", 0, "service installation succeeded");
    // This program on this folder (how each line is written is the unit tests' business).
    const std::string unit = ReadFile(units_.path("Kelvarix.service"));
    const std::string program = std::filesystem::canonical(BuiltBinary("kelvarix")).string();
    const std::string folder = std::filesystem::path(home_.path("")).parent_path().string();
    for (const std::string& line : {"Type=notify"s, "ExecStart=\"" + program + "\"",
                                    "Environment=\"KELVARIX_HOME=" + folder + "\""})
        EXPECT_TRUE(Has(unit, "\n" + line + "\n")) << line << " in\n" << unit;
    EXPECT_EQ(StoredRunAsService(), "1");
    EXPECT_EQ(SystemLog(home_), "");

    asio::io_context io;
    const std::string notify_path = home_.path("notify.sock");
    asio::local::datagram_protocol::socket manager(
        io, asio::local::datagram_protocol::endpoint(notify_path));
    std::string message(512, '\0');
    const auto next_message = [&] {
        std::size_t n = 0;
        manager.async_receive(asio::buffer(message),
                              [&](asio::error_code, std::size_t got) { n = got; });
        return test::RunUntil(io, [&] { return n > 0; }) ? message.substr(0, n) : "(none)";
    };
    ChildProcess service = Gateway({}, notify_path);
    EXPECT_EQ(next_message(), "READY=1") << service.Describe();
    EXPECT_EQ(next_message(), "WATCHDOG=1") << service.Describe();
    ASSERT_TRUE(WaitUntil([&] { return Has(SystemLog(home_), kStarted); }));
    ChildProcess second = Gateway({});
    EXPECT_NE(second.WaitForExit(), 0) << second.Describe();
    EXPECT_EQ(second.Describe(), "--- stdout ---\n--- stderr ---\n");
    ASSERT_TRUE(service.Signal(SIGTERM));
    EXPECT_EQ(service.WaitForExit(), 0) << service.Describe();
    EXPECT_TRUE(InOrder(SystemLog(home_), {kStarted, "Kelvarix was stopped (reason: By Code)",
                                           "Kelvarix was stopped (reason: By Code)"}))
        << SystemLog(home_);
    EXPECT_EQ(service.Describe(), "--- stdout ---\n--- stderr ---\n");

    Switch("-U", 0, "service uninstalled successfully");
    EXPECT_FALSE(std::filesystem::exists(units_.path("Kelvarix.service")));
    EXPECT_EQ(StoredRunAsService(), "0");
    Switch("-uninstall", 1, "failed to uninstall as service");
}

}  // namespace
}  // namespace kelvarix::e2e
