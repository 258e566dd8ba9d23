#include "platform/console_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/command_line_text.h"
#include "platform/window_list.h"

namespace kelvarix {
namespace {

using Key = ConsoleKey;
using Command = ConsoleCommand;

// The menu's other captions are chosen by their letters on the real console.
TEST(MenuCaption, AmpersandMarksTheMnemonicAndTabTheShortcut) {
    struct Case {
        std::string caption, label;
        std::size_t mnemonic;
        char letter;
        std::string shortcut;
    };
    const Case cases[] = {
        {"&Exit\tAlt+F4", "Exit", 0, 'e', "Alt+F4"},
        {"Save && &Quit", "Save & Quit", 7, 'q', ""},
        {"Plain", "Plain", std::string::npos, 0, ""},
        {"End&", "End&", std::string::npos, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.caption);
        const MenuCaption parsed = ParseMenuCaption(c.caption);
        EXPECT_EQ(parsed.label, c.label);
        EXPECT_EQ(parsed.mnemonic, c.mnemonic);
        EXPECT_EQ(parsed.MnemonicLetter(), c.letter);
        EXPECT_EQ(parsed.shortcut, c.shortcut);
    }
}

TEST(WrapText, BreaksAtSpacesAndCutsOverlongWords) {
    EXPECT_EQ(WrapText("Quorsyn Kelvarix service service installation succeeded", 24),
              (std::vector<std::string>{"Quorsyn Kelvarix service", "service installation",
                                        "succeeded"}));
    EXPECT_EQ(WrapText("abcdefghij xy", 4), (std::vector<std::string>{"abcd", "efgh", "ij", "xy"}));
    EXPECT_EQ(WrapText("", 10), (std::vector<std::string>{""}));
}

// The help text as a message box shows it: the box wraps lines itself, so the
// hard line breaks of the console text must go without merging what stands
// apart (paragraphs, the rows of the option list).
TEST(UnwrappedTextTest, ParagraphsAndOptionRowsBecomeOneLineEach) {
    const std::string text =
        "Usage: kelvarix.exe [options]\n"
        "\n"
        "Kelvarix reads Kelvarix.ini from its\n"
        "program folder.\n"
        "\n"
        "Options:\n"
        "  -I, -Install     install the service\n"
        "                   \"Quorsyn\", then exit\n"
        "  -U, -Uninstall   remove the service\n"
        "/I and /U work as well, and so\n"
        "does -install.\n";
    EXPECT_EQ(UnwrappedText(text),
              "Usage: kelvarix.exe [options]\n"
              "\n"
              "Kelvarix reads Kelvarix.ini from its program folder.\n"
              "\n"
              "Options:\n"
              "  -I, -Install     install the service \"Quorsyn\", then exit\n"
              "  -U, -Uninstall   remove the service\n"
              "/I and /U work as well, and so does -install.");
    // Text without breaks or ending stays as it is.
    EXPECT_EQ(UnwrappedText("Kelvarix - Version 1.0.01\n"), "Kelvarix - Version 1.0.01");
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
class ConsoleListTest : public ::testing::Test {
  protected:
    void AddLines(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            if (count < 300) ++count;  // the window list keeps the newest 300
            state.OnListChanged(count);
        }
    }
    std::size_t LastVisible() const { return state.FirstVisible() + state.VisibleCount() - 1; }

    ConsoleState state;
    std::size_t count = 0;
};

TEST_F(ConsoleListTest, ScrollKeysStopAtBothEndsAndAViewScrolledBackStaysOnItsLines) {
    state.SetListHeight(10);
    AddLines(50);
    state.OnKey(Key::Up);
    EXPECT_EQ(LastVisible(), 48u);
    state.OnKey(Key::PageUp);
    EXPECT_EQ(LastVisible(), 39u);  // a page keeps one line of the last view
    AddLines(5);
    EXPECT_EQ(LastVisible(), 39u);
    state.OnKey(Key::Home);
    state.OnKey(Key::Up);
    EXPECT_EQ(state.FirstVisible(), 0u);
    state.OnKey(Key::PageDown);
    EXPECT_EQ(state.FirstVisible(), 9u);
    state.OnKey(Key::End);
    state.OnKey(Key::Down);
    EXPECT_EQ(LastVisible(), 54u);

    // At 300 lines every new line drops the oldest: the same lines now have
    // indexes one lower.
    AddLines(300);
    state.OnKey(Key::PageUp);
    const std::size_t before = state.FirstVisible();
    AddLines(3);
    EXPECT_EQ(state.FirstVisible(), before - 3);
}

}  // namespace
}  // namespace kelvarix
