#include "platform/console_model.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/command_line_text.h"
#include "platform/window_list.h"

namespace kelvarix {
namespace {

using Key = ConsoleKey;
using Command = ConsoleCommand;

// The menu's other captions are chosen by their letters on the real console.
// Each row: the caption, then its label, mnemonic index and letter, shortcut.
TEST(MenuCaption, AmpersandMarksTheMnemonicAndTabTheShortcut) {
    using Parsed = std::tuple<std::string, std::size_t, char, std::string>;
    const std::pair<const char*, Parsed> cases[] = {
        {"&Exit\tAlt+F4", {"Exit", 0, 'e', "Alt+F4"}},
        {"Save && &Quit", {"Save & Quit", 7, 'q', ""}},
        {"Plain", {"Plain", std::string::npos, 0, ""}},
        {"End&", {"End&", std::string::npos, 0, ""}},
    };
    for (const auto& [caption, expected] : cases) {
        const MenuCaption p = ParseMenuCaption(caption);
        EXPECT_EQ(Parsed(p.label, p.mnemonic, p.MnemonicLetter(), p.shortcut), expected) << caption;
    }
}

TEST(WrapText, BreaksAtSpacesAndCutsOverlongWords) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(WrapText("Quorsyn Kelvarix service service installation succeeded", 24),
              (Lines{"Quorsyn Kelvarix service", "service installation", "succeeded"}));
    EXPECT_EQ(WrapText("abcdefghij xy", 4), (Lines{"abcd", "efgh", "ij", "xy"}));
    EXPECT_EQ(WrapText("", 10), (Lines{""}));
}

// The help text as a message box shows it: the box wraps lines itself, so the
// hard line breaks of the console text must go without merging what stands
// apart (paragraphs, the rows of the option list).
TEST(UnwrappedTextTest, ParagraphsAndOptionRowsBecomeOneLineEach) {
    EXPECT_EQ(UnwrappedText("Usage: x\n\nReads its\nfolder.\n  -I  install\n      \"Q\", exit\n"
                            "  -U  remove\n/I works\nas well.\n"),
              "Usage: x\n\nReads its folder.\n  -I  install \"Q\", exit\n  -U  remove\n"
              "/I works as well.");
    EXPECT_EQ(UnwrappedText("one\n\n\ntwo"), "one\n\n\ntwo");
}

// The menu "File": Clear debug list, a separator, Exit. Choosing by
// mnemonic, F10, Down and Enter are exercised on the real console.
TEST(ConsoleMenu, ArrowsPassOverTheSeparatorAndWrapRound) {
    ConsoleState state;
    state.OnKey(Key::OpenMenu);
    state.OnKey(Key::Up);
    EXPECT_EQ(state.Selected(), ConsoleState::kExitItem);
    state.OnKey(Key::Down);
    EXPECT_EQ(state.Selected(), ConsoleState::kClearItem);
    EXPECT_EQ(state.OnKey(Key::Other, 'x'), Command::None);  // no such mnemonic
    EXPECT_EQ(state.OnKey(Key::Escape), Command::None);
    EXPECT_FALSE(state.MenuOpen());
    EXPECT_EQ(state.OnKey(Key::Other, 'l'), Command::None);  // mnemonics need the menu
}

// Echoing the list to standard output is read by the end-to-end tests.
TEST(WindowList, KeepsTheNewest300LinesAndReportsEveryChange) {
    WindowList list;
    int changes = 0;
    list.SetObserver([&] { ++changes; });
    for (int i = 1; i <= 302; ++i) list.AddLine("line " + std::to_string(i));
    ASSERT_EQ(list.Lines().size(), 300u);
    EXPECT_EQ(list.Lines().front(), "line 3");
    EXPECT_EQ(list.Lines().back(), "line 302");
    list.Clear();
    EXPECT_TRUE(list.Lines().empty());
    EXPECT_EQ(changes, 303);
}

// Lines are numbered 0..count-1 from the oldest; the view shows
// FirstVisible() and the VisibleCount() - 1 lines after it.
TEST(ConsoleList, ScrollKeysStopAtBothEndsAndAViewScrolledBackStaysOnItsLines) {
    ConsoleState state;
    std::size_t count = 0;
    const auto add_lines = [&](std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (count < 300) ++count;  // the window list keeps the newest 300
            state.OnListChanged(count);
        }
    };
    const auto last_visible = [&] { return state.FirstVisible() + state.VisibleCount() - 1; };
    state.SetListHeight(10);
    add_lines(50);
    state.OnKey(Key::Up);
    EXPECT_EQ(last_visible(), 48u);
    state.OnKey(Key::PageUp);
    EXPECT_EQ(last_visible(), 39u);  // a page keeps one line of the last view
    add_lines(5);
    EXPECT_EQ(last_visible(), 39u);
    state.OnKey(Key::Home);
    state.OnKey(Key::Up);
    EXPECT_EQ(state.FirstVisible(), 0u);
    state.OnKey(Key::PageDown);
    EXPECT_EQ(state.FirstVisible(), 9u);
    state.OnKey(Key::End);
    state.OnKey(Key::Down);
    EXPECT_EQ(last_visible(), 54u);

    // At 300 lines every new line drops the oldest: the same lines now have
    // indexes one lower.
    add_lines(300);
    state.OnKey(Key::PageUp);
    const std::size_t before = state.FirstVisible();
    add_lines(3);
    EXPECT_EQ(state.FirstVisible(), before - 3);
}

}  // namespace
}  // namespace kelvarix
