// The operator console in a real terminal: the gateway runs in a tmux pane,
// keys are sent with send-keys and the screen is read with capture-pane.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "e2e/process.h"

namespace kelvarix::e2e {
namespace {

using Rows = std::vector<std::string>;

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command; its standard output, and whether it succeeded.
bool Shell(const std::string& command, std::string* output = nullptr) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[4096];
    std::string text;
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    if (output != nullptr) *output = std::move(text);
    return ::pclose(pipe) == 0;
}

bool TmuxInstalled() { return Shell("command -v tmux >/dev/null 2>&1"); }

// A tmux server of its own with one pane running the command. After the
// gateway ends, the pane's shell reports its exit status and the terminal's
// modes, then waits, so the test can read them.
std::string ScreenText(const Rows& rows) {
    std::string text;
    for (const std::string& row : rows) text += row + "\n";
    return text;
}

class TmuxPane {
public:
    TmuxPane(const std::string& socket, const std::string& program_folder, int width, int height)
        : tmux_("env -u TMUX tmux -S " + ShellQuote(socket) + " -f /dev/null ") {
        const std::string command = "KELVARIX_HOME=" + ShellQuote(program_folder) + " " +
                                    ShellQuote(BuiltBinary("kelvarix")) +
                                    "; echo \"exit status $?\"; stty -a; exec cat";
        started_ = Tmux("new-session -d -x " + std::to_string(width) + " -y " + std::to_string(height) +
                        " " + ShellQuote(command));
    }
    ~TmuxPane() { Tmux("kill-server"); }
    TmuxPane(const TmuxPane&) = delete;
    TmuxPane& operator=(const TmuxPane&) = delete;

    bool Started() const { return started_; }

    Rows Capture() const {
        std::string text;
        Tmux("capture-pane -p", &text);
        Rows rows;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            rows.push_back(text.substr(start, end - start));
        }
        return rows;
    }
    std::string Screen() const { return ScreenText(Capture()); }
    bool WaitFor(const std::function<bool(const Rows&)>& condition) const {
        return WaitUntil([&] { return condition(Capture()); });
    }
    bool WaitForText(std::string_view text) const {
        return WaitUntil([&] { return Screen().find(text) != std::string::npos; });
    }

    void Keys(const std::string& keys) const { Tmux("send-keys " + keys); }
    void Resize(int width, int height) const {
        Tmux("resize-window -x " + std::to_string(width) + " -y " + std::to_string(height));
    }
    std::string Query(const std::string& format) const {
        std::string text;
        Tmux("display-message -p " + ShellQuote(format), &text);
        return text.substr(0, text.find('\n'));
    }

private:
    bool Tmux(const std::string& arguments, std::string* output = nullptr) const {
        return Shell(tmux_ + arguments + " 2>/dev/null", output);
    }

    std::string tmux_;
    bool started_ = false;
};

bool Contains(const std::string& row, std::string_view text) { return row.find(text) != std::string::npos; }

// The rows of the list, below the caption and the menu bar, without the
// blank ones at the end.
Rows ListRows(Rows rows) {
    if (rows.size() <= 2) return {};
    rows.erase(rows.begin(), rows.begin() + 2);
    while (!rows.empty() && rows.back().find_first_not_of(' ') == std::string::npos) rows.pop_back();
    return rows;
}

bool LastListRowsAre(const Rows& rows, const std::vector<std::string_view>& texts) {
    const Rows list = ListRows(rows);
    if (list.size() < texts.size()) return false;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!Contains(list[list.size() - texts.size() + i], texts[i])) return false;
    }
    return true;
}

constexpr std::string_view kConnected = "Orvane Alarm Server connected";
constexpr std::string_view kDisconnected = "Orvane Alarm Server disconnected";
constexpr std::string_view kUserClosed = "Kelvarix was stopped (reason: User closed application)";

class ConsoleTest : public ::testing::Test {
protected:
    ConsoleTest()
        : server_port(FreeLocalPort()),
          // A PBX that is never there, tried once: the list then only
          // changes when the test makes it.
          home("[Orvane]\nServerPort=" + std::to_string(server_port) +
               "\nListenAddress=127.0.0.1\n[ATAS]\nIPAddress=127.0.0.1\nPortNumber=" +
               std::to_string(FreeLocalPort()) + "\nReconnectInterval=3600\n") {}

    void SetUp() override {
        if (!TmuxInstalled()) GTEST_SKIP() << "tmux is not installed";
    }

    // Waits until the console shows the start-up and the failed PBX attempt.
    bool WaitUntilQuiet(const TmuxPane& pane) const {
        return pane.WaitFor([](const Rows& rows) {
            return rows.size() > 2 && Contains(rows[0], "Kelvarix - Version 1.0.01") &&
                   Contains(rows[1], "File") && LastListRowsAre(rows, {"Failed to connect to 127.0.0.1:"});
        });
    }

    // The pane shows the shell's report after the gateway: its exit status,
    // then the terminal's modes.
    void ExpectEndedWithTheTerminalRestored(const TmuxPane& pane, int status) const {
        ASSERT_TRUE(pane.WaitForText("exit status " + std::to_string(status))) << pane.Screen();
        ASSERT_TRUE(pane.WaitForText("icanon")) << pane.Screen();
        const std::string screen = pane.Screen();
        EXPECT_EQ(screen.find("-icanon"), std::string::npos) << screen;
        EXPECT_EQ(screen.find("-echo "), std::string::npos) << screen;
        EXPECT_EQ(pane.Query("#{alternate_on}"), "0");
    }

    std::string Socket() const { return home.Path() + "tmux.sock"; }

    const int server_port;
    TempProgramFolder home;
};

TEST_F(ConsoleTest, ShowsTheWindowKeepsTheListInStepAndClosesWithAltF4) {
    TmuxPane pane(Socket(), home.Path(), 120, 30);
    ASSERT_TRUE(pane.Started());
    ASSERT_TRUE(WaitUntilQuiet(pane)) << pane.Screen();
    EXPECT_TRUE(InOrder(pane.Screen(), {"was set in listening mode", "Kelvarix was started", "Connecting to"}))
        << pane.Screen();

    // New lines arrive at the bottom of the list.
    constexpr int kClients = 4;
    for (int i = 0; i < kClients; ++i) ASSERT_TRUE(CanConnect(server_port));
    ASSERT_TRUE(pane.WaitFor([](const Rows& rows) {
        return CountOf(ScreenText(rows), kDisconnected) == kClients && LastListRowsAre(rows, {kConnected, kDisconnected});
    })) << pane.Screen();
    const std::size_t line_count = ListRows(pane.Capture()).size();

    // Small: the list shows its newest lines only. Large again: no line is lost.
    pane.Resize(60, 8);
    ASSERT_TRUE(pane.WaitFor([](const Rows& rows) {
        return rows.size() == 8 && Contains(rows[0], "Kelvarix - Version") && LastListRowsAre(rows, {kDisconnected}) &&
               ScreenText(rows).find("Kelvarix was started") == std::string::npos;
    })) << pane.Screen();
    pane.Resize(120, 30);
    ASSERT_TRUE(pane.WaitFor([&](const Rows& rows) { return ListRows(rows).size() == line_count; }))
        << pane.Screen();
    EXPECT_TRUE(InOrder(pane.Screen(), {"Kelvarix was started", "Failed to connect", kConnected, kDisconnected}))
        << pane.Screen();

    // File, Clear debug list: the list is empty, the next lines are its only ones.
    pane.Keys("F10");
    ASSERT_TRUE(pane.WaitFor([](const Rows& rows) {
        bool clear = false;
        bool exit = false;
        for (const std::string& row : rows) {
            clear = clear || Contains(row, "Clear debug list");
            exit = exit || (Contains(row, "Exit") && Contains(row, "Alt+F4"));
        }
        return clear && exit;
    })) << pane.Screen();
    pane.Keys("l");
    ASSERT_TRUE(pane.WaitFor([](const Rows& rows) { return rows.size() == 30 && ListRows(rows).empty(); }))
        << pane.Screen();
    ASSERT_TRUE(CanConnect(server_port));
    ASSERT_TRUE(pane.WaitFor([](const Rows& rows) {
        const Rows list = ListRows(rows);
        return list.size() == 2 && Contains(list[0], kConnected) && Contains(list[1], kDisconnected);
    })) << pane.Screen();
    EXPECT_NE(home.SystemLog().find("Kelvarix was started"), std::string::npos) << "the files stay as they are";

    pane.Keys("M-F4");
    ExpectEndedWithTheTerminalRestored(pane, 0);
    EXPECT_NE(home.SystemLog().find(kUserClosed), std::string::npos) << home.SystemLog();
}

struct CloseCase {
    const char* name;
    std::vector<std::string> keys;  // each waits for the menu when it is not the last
};

class ConsoleCloseTest : public ConsoleTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ConsoleCloseTest, ClosesWithUserClosedApplication) {
    TmuxPane pane(Socket(), home.Path(), 100, 24);
    ASSERT_TRUE(pane.Started());
    ASSERT_TRUE(WaitUntilQuiet(pane)) << pane.Screen();
    const std::vector<std::string>& keys = GetParam().keys;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        pane.Keys(keys[i]);
        if (i + 1 < keys.size()) {
            ASSERT_TRUE(pane.WaitForText("Clear debug list")) << pane.Screen();
        }
    }
    ExpectEndedWithTheTerminalRestored(pane, 0);
    const std::string log = home.SystemLog();
    EXPECT_NE(log.find(kUserClosed), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, "Kelvarix was stopped"), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(Keys, ConsoleCloseTest,
                         ::testing::Values(CloseCase{"CtrlC", {"C-c"}},
                                           CloseCase{"AltFThenE", {"M-f", "e"}},
                                           CloseCase{"F10ThenDownToExit", {"F10", "Down Enter"}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ConsoleTest, SecondCopyShowsACentredDialogAndStopsAfterOk) {
    ChildProcess first = StartGateway(home);
    ASSERT_TRUE(home.WaitForSystemLog("Kelvarix was started")) << first.Describe();

    TmuxPane pane(Socket(), home.Path(), 80, 20);
    ASSERT_TRUE(pane.Started());
    ASSERT_TRUE(pane.WaitForText("[ OK ]")) << pane.Screen();
    const Rows rows = pane.Capture();
    for (const std::string& row : rows) {
        if (!Contains(row, "Kelvarix already started")) continue;
        const std::size_t left = row.find_first_not_of(' ');
        const std::size_t right = 80 - row.size();  // capture drops the blanks at the end
        EXPECT_LE(left > right ? left - right : right - left, 1u) << pane.Screen();
    }
    EXPECT_TRUE(InOrder(pane.Screen(), {"Kelvarix", "Kelvarix already started", "[ OK ]"})) << pane.Screen();
    EXPECT_EQ(pane.Screen().find("Version"), std::string::npos) << "no window behind the dialog";

    pane.Keys("Enter");
    ExpectEndedWithTheTerminalRestored(pane, 1);
    EXPECT_NE(home.SystemLog().find("Kelvarix was stopped (reason: By Code)"), std::string::npos);
    EXPECT_TRUE(first.Running());
}

}  // namespace
}  // namespace kelvarix::e2e
