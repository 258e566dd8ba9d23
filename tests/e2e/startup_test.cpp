// Start-up and shutdown of the real gateway binary.

#include <filesystem>
#include <system_error>

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

constexpr std::string_view kStarted = "Kelvarix was started";

class StartupTest : public GatewayTest {
  protected:
    StartupTest() {
        while (atas_port_ == server_port_) atas_port_ = FreeLocalPort();
        home_.write("Kelvarix.ini", GatewayIni(server_port_, atas_port_));
    }
    // The first supervisor tick logs its connection attempt: from then on the
    // event loop runs and the stop signals are handled.
    bool WaitUntilIdling() {
        return WaitForGatewayLine("Connecting to 127.0.0.1:" + std::to_string(atas_port_));
    }
    int atas_port_ = FreeLocalPort();  // nothing listens there: the gateway idles
};

// From start to stop: the listening line (or the listen failure with the
// platform's text) comes before the start line (standard output echoes the
// same list), and the signal's stop line ends the run with status 0.
TEST_F(StartupTest, LogsItsStartAndStopsOnTheSignal) {
    struct Run {
        bool port_taken;
        Texts arguments;  // a path is not taken for a service switch
        int signal_number;
        std::string reason;
    };
    for (const Run& run :
         {Run{true, {}, SIGINT, "User closed application"},
          Run{false, {}, SIGHUP, "Windows is closing"},
          Run{false, {"/usr/local/etc"}, SIGTERM, "Task Manager closed application"}}) {
        SCOPED_TRACE(run.reason);
        std::filesystem::remove_all(home_.path("LogFiles"));
        pbx_.reset();
        if (run.port_taken) StartPbx({"--port", std::to_string(server_port_)});  // holds the port
        const std::string port = std::to_string(server_port_);
        const std::string listen_line =
            run.port_taken
                ? "Failed to set Orvane server socket port " + port + " in listening mode (" +
                      std::error_code(EADDRINUSE, std::system_category()).message() + ")\r\n"
                : "Orvane server socket port " + port + " was set in listening mode\r\n";
        Launch(run.arguments);
        ASSERT_TRUE(WaitUntilIdling()) << Describe();
        const std::string log = SystemLog(home_);
        EXPECT_TRUE(InOrder(log, {listen_line, kStarted})) << log;

        ASSERT_TRUE(gateway_->Signal(run.signal_number));
        EXPECT_EQ(gateway_->WaitForExit(), 0) << Describe();
        const std::string stop = "Kelvarix was stopped (reason: " + run.reason + ")\r\n";
        EXPECT_TRUE(InOrder(SystemLog(home_), {kStarted, stop})) << SystemLog(home_);
        EXPECT_EQ(CountOf(SystemLog(home_), "Kelvarix was stopped"), 1u) << SystemLog(home_);
    }
}

// --help and the check start nothing; beside a running gateway the check
// reports the folder in use, and a second copy is refused without listening
// or starting while the first runs on.
TEST_F(StartupTest, HelpCheckAndASecondCopyStartNothing) {
    const auto run = [&](const std::string& option) {
        ChildProcess run(BuiltBinary("kelvarix"), {option}, GatewayEnvironment(home_));
        EXPECT_EQ(run.WaitForExit(), 0) << run.Describe();
        return run.Stdout();
    };
    EXPECT_TRUE(Has(run("--help"), "Usage: kelvarix"));
    EXPECT_TRUE(Has(run("/CHECK"), "No problems found."));
    EXPECT_FALSE(std::filesystem::exists(home_.path("LogFiles")));

    Launch();
    ASSERT_TRUE(WaitUntilIdling()) << Describe();
    EXPECT_TRUE(Has(run("/CHECK"), "in use, by the gateway running on this folder"));
    ChildProcess second(BuiltBinary("kelvarix"), {}, GatewayEnvironment(home_));
    const std::optional<int> refused = second.WaitForExit();
    EXPECT_TRUE(refused && *refused != 0 && *refused < 128) << second.Describe();
    // The refusal and nothing else (a sanitizer report would add more).
    EXPECT_EQ(second.Stderr(), "Kelvarix: Kelvarix already started\n") << second.Describe();
    // The refused copy's stop line is the only one (the check logs none),
    // and that copy neither listens nor starts.
    const std::string log = SystemLog(home_);
    EXPECT_EQ(CountOf(log, "Kelvarix was stopped"), 1u) << log;
    EXPECT_EQ(CountOf(log, "Kelvarix was stopped (reason: By Code)"), 1u) << log;
    EXPECT_EQ(CountOf(log, "Orvane server socket port"), 1u) << log;
    ExpectGatewayAnswers();
}

// A PortNumber that is no port (or no Kelvarix.ini at all) is reported once,
// on standard error and in the log, and the gateway neither listens nor starts.
TEST_F(StartupTest, PortNumberErrorStopsTheStart) {
    for (const std::string value : {"", "abc"}) {
        SCOPED_TRACE(value);
        test::TempDir home;
        if (!value.empty())
            home.write("Kelvarix.ini", GatewayIni(server_port_, 0, "PortNumber=" + value));
        ChildProcess gateway(BuiltBinary("kelvarix"), {}, GatewayEnvironment(home));
        const std::optional<int> status = gateway.WaitForExit();
        EXPECT_TRUE(status && *status != 0 && *status < 128) << gateway.Describe();
        const std::string err = gateway.Stderr();
        ASSERT_EQ(CountOf(err, "\n"), 1u) << err;
        EXPECT_TRUE(Has(err, "PortNumber") && Has(err, value)) << err;
        const std::string log = SystemLog(home);
        EXPECT_TRUE(Has(log, err.substr(0, err.size() - 1) + "\r\n")) << log;
        EXPECT_FALSE(Has(log, "Orvane server socket port")) << log;
        EXPECT_FALSE(Has(gateway.Stdout(), kStarted)) << gateway.Stdout();
    }
}

}  // namespace
}  // namespace kelvarix::e2e
