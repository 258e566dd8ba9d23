// Start-up and shutdown of the real gateway binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "e2e/process.h"

namespace kelvarix::e2e {
namespace {

// A "9" in the pattern stands for any digit.
bool MatchesPattern(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == '9' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
        if (!ok) return false;
    }
    return true;
}

constexpr std::string_view kFileStamp = "99-99-99 99:99:99 ";
constexpr std::string_view kListLead = "99:99:99 [SYSTEM]         ";

// Index of the first line that is the lead followed by exactly the text and
// the ending, or -1.
int FindLine(const std::vector<std::string>& lines, std::string_view lead, std::string_view text,
             std::string_view ending) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.size() == lead.size() + text.size() + ending.size() &&
            MatchesPattern(line.substr(0, lead.size()), lead) &&
            line.substr(lead.size(), text.size()) == text && line.ends_with(ending)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// A system log file line ("YY-MM-DD HH:NN:SS text" CR LF).
int FindFileLine(const std::vector<std::string>& lines, std::string_view text) {
    return FindLine(lines, kFileStamp, text, "\r");
}

// A standard output line ("HH:NN:SS [SYSTEM]         text").
int FindListLine(const std::vector<std::string>& lines, std::string_view text) {
    return FindLine(lines, kListLead, text, "");
}

constexpr std::string_view kStarted = "Kelvarix was started";

class GatewayStartTest : public ::testing::Test {
protected:
    GatewayStartTest() {
        while (atas_port_ == server_port_) atas_port_ = FreeLocalPort();
    }

    std::string Ini() const { return GatewayIni(server_port_, atas_port_); }
    std::string ListeningLine() const {
        return "Orvane server socket port " + std::to_string(server_port_) + " was set in listening mode";
    }
    std::string ListenFailedPrefix() const {
        return "Failed to set Orvane server socket port " + std::to_string(server_port_) + " in listening mode (";
    }

    // The first supervisor tick logs its connection attempt: from then on the
    // event loop runs and the stop signals are handled.
    bool WaitUntilIdling(ChildProcess& gateway) const {
        return gateway.WaitForStdout("Connecting to 127.0.0.1:" + std::to_string(atas_port_));
    }

    int server_port_ = FreeLocalPort();
    int atas_port_ = FreeLocalPort();  // nothing listens there: the gateway idles
};

TEST_F(GatewayStartTest, LogsListeningThenStartedInTheDayFileAndOnStandardOutput) {
    TempProgramFolder folder(Ini());
    const std::string date_before = TodaysDate();
    ChildProcess gateway = StartGateway(folder);
    ASSERT_TRUE(gateway.WaitForStdout(kStarted)) << gateway.Describe();
    const std::string date_after = TodaysDate();

    const std::vector<std::string> names = folder.SystemLogNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_TRUE(names[0] == date_before + ".Log" || names[0] == date_after + ".Log") << names[0];
    const std::string log = ReadFile(folder.LogFolder() + names[0]);
    const std::vector<std::string> file_lines = Lines(log);
    const int listening = FindFileLine(file_lines, ListeningLine());
    const int started = FindFileLine(file_lines, kStarted);
    ASSERT_GE(listening, 0) << log;
    EXPECT_GT(started, listening) << log;
    // The stamp's date is the date of the file the line is in.
    EXPECT_EQ(file_lines[listening].substr(0, 8), names[0].substr(2, 8));

    const std::string out = gateway.Stdout();
    const std::vector<std::string> out_lines = Lines(out);
    const int listening_out = FindListLine(out_lines, ListeningLine());
    ASSERT_GE(listening_out, 0) << out;
    EXPECT_GT(FindListLine(out_lines, kStarted), listening_out) << out;

    EXPECT_TRUE(CanConnect(server_port_));
    EXPECT_TRUE(gateway.Running());
}

TEST_F(GatewayStartTest, TakenPortIsLoggedWithThePlatformErrorAndTheGatewayRunsOn) {
    LocalListener holder(server_port_);
    TempProgramFolder folder(Ini());
    ChildProcess gateway = StartGateway(folder);
    ASSERT_TRUE(gateway.WaitForStdout(kStarted)) << gateway.Describe();

    const std::string failed =
        ListenFailedPrefix() + std::error_code(EADDRINUSE, std::system_category()).message() + ")";
    const std::vector<std::string> file_lines = Lines(folder.SystemLog());
    const int failed_at = FindFileLine(file_lines, failed);
    ASSERT_GE(failed_at, 0) << folder.SystemLog();
    EXPECT_GT(FindFileLine(file_lines, kStarted), failed_at) << folder.SystemLog();
    EXPECT_EQ(FindFileLine(file_lines, ListeningLine()), -1);
    const std::vector<std::string> out_lines = Lines(gateway.Stdout());
    EXPECT_GT(FindListLine(out_lines, kStarted), FindListLine(out_lines, failed)) << gateway.Stdout();
    EXPECT_GE(FindListLine(out_lines, failed), 0) << gateway.Stdout();

    ASSERT_TRUE(WaitUntilIdling(gateway)) << gateway.Describe();
    ASSERT_TRUE(gateway.Running());
    ASSERT_TRUE(gateway.Signal(SIGINT));
    EXPECT_EQ(gateway.WaitForExit(), ExitedWith(0)) << gateway.Describe();
    EXPECT_NE(folder.SystemLog().find("Kelvarix was stopped (reason: User closed application)"),
              std::string::npos);
}

TEST_F(GatewayStartTest, SecondCopyOnTheSameFolderIsRefusedAndTheFirstRunsOn) {
    TempProgramFolder folder(Ini());
    ChildProcess first = StartGateway(folder);
    ASSERT_TRUE(WaitUntilIdling(first)) << first.Describe();

    ChildProcess second = StartGateway(folder);
    const std::optional<ExitStatus> refused = second.WaitForExit();
    ASSERT_TRUE(refused.has_value()) << second.Describe();
    EXPECT_TRUE(refused->exited) << *refused;
    EXPECT_NE(refused->code, 0);
    // One line, the refusal, and nothing else (a sanitizer report would add more).
    EXPECT_EQ(CountOf(second.Stderr(), "\n"), 1u) << second.Describe();
    EXPECT_NE(second.Stderr().find("Kelvarix already started"), std::string::npos) << second.Describe();
    // The second copy goes no further than its stop line: it neither listens
    // nor announces a start.
    const std::string second_out = second.Stdout();
    EXPECT_GE(FindListLine(Lines(second_out), "Kelvarix was stopped (reason: By Code)"), 0) << second_out;
    EXPECT_EQ(second_out.find("Orvane server socket port"), std::string::npos) << second_out;
    EXPECT_EQ(second_out.find(kStarted), std::string::npos) << second_out;

    const std::string log = folder.SystemLog();
    EXPECT_GE(FindFileLine(Lines(log), "Kelvarix was stopped (reason: By Code)"), 0) << log;
    EXPECT_EQ(CountOf(log, kStarted), 1u) << log;
    EXPECT_EQ(CountOf(log, "Failed to set Orvane server socket port"), 0u) << log;

    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(CanConnect(server_port_));
    ASSERT_TRUE(first.Signal(SIGINT));
    EXPECT_EQ(first.WaitForExit(), ExitedWith(0)) << first.Describe();
}

TEST_F(GatewayStartTest, HelpPrintsUsageAndStartsNothing) {
    TempProgramFolder folder(Ini());
    ChildProcess help(BuiltBinary("kelvarix"), {"--help"}, {{"KELVARIX_HOME", folder.Path()}});
    EXPECT_EQ(help.WaitForExit(), ExitedWith(0)) << help.Describe();
    EXPECT_NE(help.Stdout().find("Usage:"), std::string::npos) << help.Describe();
    EXPECT_FALSE(std::filesystem::exists(folder.LogFolder()));
}

TEST_F(GatewayStartTest, CheckStartsNothingAndRunsBesideTheGateway) {
    TempProgramFolder folder(Ini());
    const auto check = [&] {
        ChildProcess run(BuiltBinary("kelvarix"), {"/CHECK"}, {{"KELVARIX_HOME", folder.Path()}});
        EXPECT_EQ(run.WaitForExit(), ExitedWith(0)) << run.Describe();
        return run.Stdout();
    };
    EXPECT_NE(check().find("No problems found."), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(folder.LogFolder()));

    ChildProcess gateway = StartGateway(folder);
    ASSERT_TRUE(WaitUntilIdling(gateway)) << gateway.Describe();
    EXPECT_NE(check().find("in use, by the gateway running on this folder"), std::string::npos);
    EXPECT_TRUE(gateway.Running());
    EXPECT_TRUE(CanConnect(server_port_));
    // A second start would have logged its refusal and stop.
    EXPECT_EQ(CountOf(folder.SystemLog(), "Kelvarix was stopped"), 0u) << folder.SystemLog();
}

TEST_F(GatewayStartTest, PathArgumentIsNotTakenForAServiceSwitch) {
    TempProgramFolder folder(Ini());
    ChildProcess gateway = StartGateway(folder, {"/usr/local/etc"});
    ASSERT_TRUE(WaitUntilIdling(gateway)) << gateway.Describe();
    EXPECT_GE(FindListLine(Lines(gateway.Stdout()), ListeningLine()), 0) << gateway.Describe();
    ASSERT_TRUE(gateway.Signal(SIGTERM));
    EXPECT_EQ(gateway.WaitForExit(), ExitedWith(0)) << gateway.Describe();
}

struct StopCase {
    int signal_number;
    std::string_view reason;
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << "SIG" << sigabbrev_np(c.signal_number); }

class GatewayStopTest : public GatewayStartTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(GatewayStopTest, SignalLogsItsReasonAndEndsWithStatusZero) {
    TempProgramFolder folder(Ini());
    ChildProcess gateway = StartGateway(folder);
    ASSERT_TRUE(WaitUntilIdling(gateway)) << gateway.Describe();

    ASSERT_TRUE(gateway.Signal(GetParam().signal_number));
    EXPECT_EQ(gateway.WaitForExit(), ExitedWith(0)) << gateway.Describe();
    const std::string stop = "Kelvarix was stopped (reason: " + std::string(GetParam().reason) + ")";
    const std::vector<std::string> file_lines = Lines(folder.SystemLog());
    EXPECT_GT(FindFileLine(file_lines, stop), FindFileLine(file_lines, kStarted)) << folder.SystemLog();
    EXPECT_EQ(CountOf(folder.SystemLog(), "Kelvarix was stopped"), 1u) << folder.SystemLog();
    EXPECT_GE(FindListLine(Lines(gateway.Stdout()), stop), 0) << gateway.Stdout();
}

INSTANTIATE_TEST_SUITE_P(Signals, GatewayStopTest,
                         ::testing::Values(StopCase{SIGINT, "User closed application"},
                                           StopCase{SIGHUP, "Windows is closing"},
                                           StopCase{SIGTERM, "Task Manager closed application"}),
                         [](const auto& info) {
                             return std::string(sigabbrev_np(info.param.signal_number));
                         });

struct PortNumberCase {
    std::string name;
    std::optional<std::string> value;  // the PortNumber line's value; none: no Kelvarix.ini at all
};
void PrintTo(const PortNumberCase& c, std::ostream* out) { *out << c.name; }

class PortNumberErrorTest : public GatewayStartTest,
                            public ::testing::WithParamInterface<PortNumberCase> {};

TEST_P(PortNumberErrorTest, IsReportedOnceToStandardErrorAndTheLogAndStopsTheStart) {
    const std::optional<std::string>& value = GetParam().value;
    std::optional<TempProgramFolder> made;
    if (value) {
        made.emplace("[Orvane]\nServerPort=" + std::to_string(server_port_) +
                     "\nListenAddress=127.0.0.1\n\n[ATAS]\nIPAddress=127.0.0.1\nPortNumber=" + *value +
                     "\nConnectTimeout=1\nReconnectInterval=1\n");
    } else {
        made.emplace();
    }
    const TempProgramFolder& folder = *made;
    ChildProcess gateway = StartGateway(folder);
    const std::optional<ExitStatus> status = gateway.WaitForExit();
    ASSERT_TRUE(status.has_value()) << gateway.Describe();
    EXPECT_TRUE(status->exited) << *status;
    EXPECT_NE(status->code, 0);

    const std::string err = gateway.Stderr();
    ASSERT_EQ(CountOf(err, "\n"), 1u) << err;
    const std::string message = err.substr(0, err.size() - 1);
    EXPECT_NE(message.find("PortNumber"), std::string::npos) << message;
    if (value) {
        EXPECT_NE(message.find(*value), std::string::npos) << message;
    }

    const std::string log = folder.SystemLog();
    EXPECT_GE(FindFileLine(Lines(log), message), 0) << log;
    EXPECT_EQ(log.find("Orvane server socket port"), std::string::npos) << log;
    EXPECT_EQ(log.find(kStarted), std::string::npos) << log;
    EXPECT_EQ(gateway.Stdout().find(kStarted), std::string::npos) << gateway.Stdout();
    EXPECT_FALSE(CanConnect(server_port_));
}

INSTANTIATE_TEST_SUITE_P(Values, PortNumberErrorTest,
                         ::testing::Values(PortNumberCase{"NoIniFile", std::nullopt},
                                           PortNumberCase{"NotANumber", "abc"},
                                           PortNumberCase{"BeyondInt32", "99999999999"}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kelvarix::e2e
