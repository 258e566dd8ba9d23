// Start-up and shutdown of the real gateway binary.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

constexpr std::string_view kStarted = "Kelvarix was started";
constexpr std::string_view kByCode = "Kelvarix was stopped (reason: By Code)";
constexpr std::string_view kFileLead = "99-99-99 99:99:99 ";          // and CR at the end
constexpr std::string_view kListLead = "99:99:99 [SYSTEM]         ";  // on standard output

// The index of the first line that is the lead (a "9" stands for any digit)
// and exactly the text, or -1.
int FindLine(const std::string& text, std::string_view lead, std::string_view wanted) {
    const std::string rest = std::string(wanted) + (lead == kFileLead ? "\r" : "");
    const std::vector<std::string> lines = Lines(text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        bool match = line.size() == lead.size() + rest.size() && line.ends_with(rest);
        for (std::size_t at = 0; match && at < lead.size(); ++at) {
            match = lead[at] == '9' ? std::isdigit(static_cast<unsigned char>(line[at])) != 0
                                    : line[at] == lead[at];
        }
        if (match) return static_cast<int>(i);
    }
    return -1;
}

class StartupTest : public GatewayTest {
  protected:
    StartupTest() {
        while (atas_port_ == server_port_) atas_port_ = FreeLocalPort();
        home_.write("Kelvarix.ini", GatewayIni(server_port_, atas_port_));
    }
    void Start(const std::vector<std::string>& arguments = {}) {
        gateway_.emplace(BuiltBinary("kelvarix"), arguments, GatewayEnvironment(home_));
    }
    // The first supervisor tick logs its connection attempt: from then on the
    // event loop runs and the stop signals are handled.
    bool WaitUntilIdling() {
        return WaitForGatewayLine("Connecting to 127.0.0.1:" + std::to_string(atas_port_));
    }
    int atas_port_ = FreeLocalPort();  // nothing listens there: the gateway idles
};

struct RunCase {
    const char* name;
    bool port_taken;
    std::vector<std::string> arguments;
    int signal_number;
    const char* reason;
};

class GatewayRunTest : public StartupTest, public ::testing::WithParamInterface<RunCase> {};

// From start to stop: the listening line (or the listen failure with the
// platform's text) comes before the start line, in the day's file and on
// standard output; the signal's stop line ends the run with status 0.
TEST_P(GatewayRunTest, LogsItsStartAndStopsOnTheSignal) {
    asio::io_context io;
    std::optional<asio::ip::tcp::acceptor> holder;
    if (GetParam().port_taken)
        holder.emplace(io, asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), server_port_));
    const std::string port = std::to_string(server_port_);
    const std::string listen_line =
        GetParam().port_taken
            ? "Failed to set Orvane server socket port " + port + " in listening mode (" +
                  std::error_code(EADDRINUSE, std::system_category()).message() + ")"
            : "Orvane server socket port " + port + " was set in listening mode";
    const std::string date_before = TodaysDate();
    Start(GetParam().arguments);
    ASSERT_TRUE(WaitUntilIdling()) << Describe();
    const std::string log = SystemLog(home_);
    const int listening = FindLine(log, kFileLead, listen_line);
    ASSERT_GE(listening, 0) << log;
    EXPECT_GT(FindLine(log, kFileLead, kStarted), listening) << log;
    // The day's file is named after the stamp's date, today's.
    const std::string day = "20" + Lines(log)[listening].substr(0, 8);
    EXPECT_TRUE(day == date_before || day == TodaysDate()) << day;
    EXPECT_EQ(ReadFile(home_.path("LogFiles/" + day + ".Log")), log);
    const int listening_out = FindLine(gateway_->Stdout(), kListLead, listen_line);
    ASSERT_GE(listening_out, 0) << Describe();
    EXPECT_GT(FindLine(gateway_->Stdout(), kListLead, kStarted), listening_out) << Describe();
    EXPECT_TRUE(GetParam().port_taken || AlarmServer::Connect(server_port_)) << Describe();

    ASSERT_TRUE(gateway_->Signal(GetParam().signal_number));
    EXPECT_EQ(gateway_->WaitForExit(), 0) << Describe();
    const std::string stop =
        "Kelvarix was stopped (reason: " + std::string(GetParam().reason) + ")";
    EXPECT_GT(FindLine(SystemLog(home_), kFileLead, stop),
              FindLine(SystemLog(home_), kFileLead, kStarted));
    EXPECT_EQ(CountOf(SystemLog(home_), "Kelvarix was stopped"), 1u) << SystemLog(home_);
    EXPECT_GE(FindLine(gateway_->Stdout(), kListLead, stop), 0) << Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Runs, GatewayRunTest,
    ::testing::Values(RunCase{"TakenPortThenSigint", true, {}, SIGINT, "User closed application"},
                      RunCase{"Sighup", false, {}, SIGHUP, "Windows is closing"},
                      // A path is not taken for a service switch.
                      RunCase{"PathArgumentThenSigterm",
                              false,
                              {"/usr/local/etc"},
                              SIGTERM,
                              "Task Manager closed application"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StartupTest, SecondCopyOnTheSameFolderIsRefusedAndTheFirstRunsOn) {
    Start();
    ASSERT_TRUE(WaitUntilIdling()) << Describe();
    ChildProcess second(BuiltBinary("kelvarix"), {}, GatewayEnvironment(home_));
    const std::optional<int> refused = second.WaitForExit();
    EXPECT_TRUE(refused && *refused != 0 && *refused < 128) << second.Describe();
    // The refusal and nothing else (a sanitizer report would add more).
    EXPECT_EQ(second.Stderr(), "Kelvarix: Kelvarix already started\n") << second.Describe();
    // It goes no further than its stop line: it neither listens nor starts.
    EXPECT_GE(FindLine(second.Stdout(), kListLead, kByCode), 0) << second.Describe();
    EXPECT_GE(FindLine(SystemLog(home_), kFileLead, kByCode), 0) << SystemLog(home_);
    EXPECT_EQ(CountOf(SystemLog(home_), kStarted), 1u) << SystemLog(home_);
    EXPECT_EQ(CountOf(SystemLog(home_), "Orvane server socket port"), 1u) << SystemLog(home_);
    ExpectGatewayAnswers();
}

TEST_F(StartupTest, HelpPrintsUsageAndStartsNothing) {
    Start({"--help"});
    EXPECT_EQ(gateway_->WaitForExit(), 0) << Describe();
    EXPECT_NE(gateway_->Stdout().find("Usage: kelvarix"), std::string::npos) << Describe();
    EXPECT_FALSE(std::filesystem::exists(home_.path("LogFiles")));
}

// A PortNumber that is no port (or no Kelvarix.ini at all) is reported once,
// on standard error and in the log, and the gateway neither listens nor starts.
TEST_F(StartupTest, PortNumberErrorStopsTheStart) {
    for (const char* value : {"", "abc", "99999999999"}) {
        SCOPED_TRACE(value);
        test::TempDir home;
        if (*value != '\0')
            home.write("Kelvarix.ini",
                       GatewayIni(server_port_, 0, "PortNumber=" + std::string(value)));
        ChildProcess gateway(BuiltBinary("kelvarix"), {}, GatewayEnvironment(home));
        const std::optional<int> status = gateway.WaitForExit();
        EXPECT_TRUE(status && *status != 0 && *status < 128) << gateway.Describe();
        const std::string err = gateway.Stderr();
        ASSERT_EQ(CountOf(err, "\n"), 1u) << err;
        EXPECT_NE(err.find("PortNumber"), std::string::npos) << err;
        EXPECT_NE(err.find(value), std::string::npos) << err;
        EXPECT_GE(FindLine(SystemLog(home), kFileLead, err.substr(0, err.size() - 1)), 0)
            << SystemLog(home);
        EXPECT_EQ(SystemLog(home).find("Orvane server socket port"), std::string::npos)
            << SystemLog(home);
        EXPECT_EQ(gateway.Stdout().find(kStarted), std::string::npos) << gateway.Stdout();
        EXPECT_FALSE(AlarmServer::Connect(server_port_));
    }
}

}  // namespace
}  // namespace kelvarix::e2e
