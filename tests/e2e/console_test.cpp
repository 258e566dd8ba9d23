// The operator console in a real terminal: the gateway runs in a tmux pane,
// keys are sent with send-keys and the screen is read with capture-pane.

#include <cstdio>
#include <filesystem>

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

// Runs a shell command; its standard output, or nothing when it failed.
std::optional<std::string> Shell(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        text.append(buffer, n);
    return pipe != nullptr && ::pclose(pipe) == 0 ? std::optional(text) : std::nullopt;
}

// A tmux server of its own with one pane running the gateway. After the
// gateway ends, the pane's shell shows its exit status and the terminal's
// modes, then waits, so the test can read them.
class TmuxPane {
  public:
    TmuxPane(const test::TempDir& home, int width, int height)
        : tmux_("env -u TMUX tmux -f /dev/null -S '" + home.path("tmux" + std::to_string(width)) +
                "' ") {
        if (!Tmux("new-session -d -x " + std::to_string(width) + " -y " + std::to_string(height) +
                  " \"KELVARIX_HOME='" + home.path("") + "' '" + BuiltBinary("kelvarix") +
                  "'; echo exit status \\$?; stty -a; exec cat\""))
            throw std::runtime_error("tmux did not start");
    }
    ~TmuxPane() { Tmux("kill-server"); }
    std::string Screen() const { return Tmux("capture-pane -p").value_or(""); }
    // The list's rows, below the caption and the menu bar, without blank ones at the end.
    Texts List() const {
        Texts rows = Lines(Screen());
        rows.erase(rows.begin(), rows.begin() + std::min<std::size_t>(2, rows.size()));
        while (!rows.empty() && rows.back().find_first_not_of(' ') == std::string::npos)
            rows.pop_back();
        return rows;
    }
    // Until the condition holds; the screen tells what it showed when it did not.
    ::testing::AssertionResult Until(const std::function<bool()>& condition) const {
        if (WaitUntil(condition)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << Screen();
    }
    // Until the list's last rows hold these texts.
    ::testing::AssertionResult WaitForLast(const Texts& texts) const {
        return Until([&] {
            const Texts list = List();
            return list.size() >= texts.size() &&
                   std::equal(texts.begin(), texts.end(), list.end() - texts.size(),
                              [](const auto& text, const auto& row) { return Has(row, text); });
        });
    }
    ::testing::AssertionResult WaitForText(std::string_view text) const {
        return Until([&] { return Has(Screen(), text); });
    }
    void Keys(const std::string& keys) const { Tmux("send-keys " + keys); }
    void Resize(int width, int height) const {
        Tmux("resize-window -x " + std::to_string(width) + " -y " + std::to_string(height));
    }
    // The gateway ended with this status and left the terminal as it found it.
    void ExpectEndedWithTheTerminalRestored(int status) const {
        ASSERT_TRUE(WaitForText("exit status " + std::to_string(status)));
        ASSERT_TRUE(WaitForText("icanon"));
        EXPECT_FALSE(Has(Screen(), "-icanon") || Has(Screen(), "-echo ")) << Screen();
        EXPECT_EQ(Tmux("display-message -p '#{alternate_on}'"), "0\n");
    }

  private:
    std::optional<std::string> Tmux(const std::string& arguments) const {
        return Shell(tmux_ + arguments + " 2>/dev/null");
    }
    std::string tmux_;
};

constexpr std::string_view kConnected = "Orvane Alarm Server connected";
constexpr std::string_view kDisconnected = "Orvane Alarm Server disconnected";

class ConsoleTest : public GatewayTest {
  protected:
    void SetUp() override {
        if (!Shell("command -v tmux >/dev/null 2>&1")) GTEST_SKIP() << "tmux is not installed";
        // A PBX that is never there, tried once: the list then changes only
        // when the test makes it.
        home_.write("Kelvarix.ini",
                    GatewayIni(server_port_, FreeLocalPort(), "ReconnectInterval=3600"));
    }
    // Until the console shows its window with the failed PBX attempt last.
    static void WaitUntilQuiet(const TmuxPane& pane) {
        ASSERT_TRUE(pane.WaitForLast({"Failed to connect to 127.0.0.1:"}));
        const Texts rows = Lines(pane.Screen());
        ASSERT_TRUE(Has(rows[0], "Kelvarix - Version 1.0.01") && Has(rows[1], "File"))
            << pane.Screen();
    }
};

TEST_F(ConsoleTest, ShowsTheWindowAndKeepsTheListInStep) {
    TmuxPane pane(home_, 120, 30);
    ASSERT_NO_FATAL_FAILURE(WaitUntilQuiet(pane));

    // New lines arrive at the bottom of the list.
    for (int i = 0; i < 4; ++i) Connect();  // and leave at once
    ASSERT_TRUE(pane.Until([&] { return CountOf(pane.Screen(), kDisconnected) == 4; }));
    ASSERT_TRUE(pane.WaitForLast({std::string(kConnected), std::string(kDisconnected)}));
    const std::size_t line_count = pane.List().size();

    // Small: the list shows its newest lines only. Large again: no line is lost.
    pane.Resize(60, 8);
    ASSERT_TRUE(pane.Until([&] {
        const std::string screen = pane.Screen();
        const Texts list = pane.List();
        return Lines(screen).size() == 8 && Has(screen, "Kelvarix - Version") &&
               !Has(screen, "Kelvarix was started") && !list.empty() &&
               Has(list.back(), kDisconnected);
    }));
    pane.Resize(120, 30);
    ASSERT_TRUE(pane.Until([&] { return pane.List().size() == line_count; }));

    // File, Clear debug list: the list is empty, the next lines are its only ones.
    pane.Keys("F10");
    ASSERT_TRUE(pane.WaitForText("Clear debug list") && pane.WaitForText("Alt+F4"));
    pane.Keys("l");
    ASSERT_TRUE(
        pane.Until([&] { return Lines(pane.Screen()).size() == 30 && pane.List().empty(); }));
    Connect();
    ASSERT_TRUE(pane.Until([&] { return pane.List().size() == 2; }));
    EXPECT_TRUE(pane.WaitForLast({std::string(kConnected), std::string(kDisconnected)}));
    EXPECT_TRUE(Has(SystemLog(home_), "Kelvarix was started")) << "the files stay as they are";
}

TEST_F(ConsoleTest, CtrlCAltF4AndTheMenuCloseWithUserClosedApplication) {
    // Each key but the last waits for the menu; each pane has a size of its own.
    int width = 80;
    for (const Texts& keys :
         {Texts{"C-c"}, Texts{"M-F4"}, Texts{"M-f", "e"}, Texts{"F10", "Down Enter"}}) {
        SCOPED_TRACE(keys.front());
        std::filesystem::remove_all(home_.path("LogFiles"));
        TmuxPane pane(home_, ++width, 24);
        ASSERT_NO_FATAL_FAILURE(WaitUntilQuiet(pane));
        for (std::size_t i = 0; i < keys.size(); ++i) {
            pane.Keys(keys[i]);
            ASSERT_TRUE(i + 1 == keys.size() || pane.WaitForText("Clear debug list"));
        }
        pane.ExpectEndedWithTheTerminalRestored(0);
        EXPECT_TRUE(Has(SystemLog(home_), "Kelvarix was stopped (reason: User closed application)"))
            << SystemLog(home_);
    }
}

TEST_F(ConsoleTest, SecondCopyShowsACentredDialogAndStopsAfterOk) {
    StartGateway();

    TmuxPane pane(home_, 80, 20);
    ASSERT_TRUE(pane.WaitForText("[ OK ]"));
    for (const std::string& row : Lines(pane.Screen())) {
        if (!Has(row, "Kelvarix already started")) continue;
        const std::size_t left = row.find_first_not_of(' ');
        const std::size_t right = 80 - row.size();  // capture drops the blanks at the end
        EXPECT_LE(left > right ? left - right : right - left, 1u) << pane.Screen();
    }
    EXPECT_TRUE(InOrder(pane.Screen(), {"Kelvarix", "Kelvarix already started", "[ OK ]"}))
        << pane.Screen();
    EXPECT_FALSE(Has(pane.Screen(), "Version")) << "no window behind the dialog";

    pane.Keys("Enter");
    pane.ExpectEndedWithTheTerminalRestored(1);
    EXPECT_TRUE(Has(SystemLog(home_), "Kelvarix was stopped (reason: By Code)"));
    EXPECT_TRUE(gateway_->Running());
}

}  // namespace
}  // namespace kelvarix::e2e
