#include "platform/console_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvarix {
namespace {

using Key = ConsoleKey;
using Command = ConsoleCommand;

TEST(MenuCaption, AmpersandMarksTheMnemonicAndTabTheShortcut) {
    struct Case {
        std::string caption, label;
        std::size_t mnemonic;
        char letter;
        std::string shortcut;
    };
    const Case cases[] = {
        {"&File", "File", 0, 'f', ""},
        {"C&lear debug list", "Clear debug list", 1, 'l', ""},
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

// The menu "File": Clear debug list, a separator, Exit.
TEST(ConsoleMenu, KeysAndMnemonicsChooseItems) {
    struct Press {
        Key key;
        char letter = 0;
    };
    const Press open{Key::OpenMenu}, up{Key::Up}, down{Key::Down}, enter{Key::Enter};
    struct Case {
        std::vector<Press> presses;
        Command last;  // what the last press gives
        bool open_after;
    };
    const Case cases[] = {
        {{open, enter}, Command::ClearList, false},
        {{open, down, enter}, Command::Close, false},  // over the separator
        {{open, up, enter}, Command::Close, false},    // round the end
        {{open, {Key::Escape}}, Command::None, false},
        {{open, down, open, open, enter}, Command::ClearList, false},  // reopened on the first
        {{open, {Key::Other, 'L'}}, Command::ClearList, false},        // mnemonic in any case
        {{open, {Key::Other, 'x'}}, Command::None, true},
        {{{Key::Other, 'l'}, {Key::Other, 'e'}, enter}, Command::None, false},  // no menu open
        {{{Key::Close}}, Command::Close, false},
        {{open, {Key::Close}}, Command::Close, false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        ConsoleState state;
        Command last = Command::None;
        for (const Press& press : cases[i].presses) last = state.OnKey(press.key, press.letter);
        EXPECT_EQ(last, cases[i].last);
        EXPECT_EQ(state.MenuOpen(), cases[i].open_after);
    }
    // Mnemonics follow the captions.
    ConsoleState state;
    state.SetMnemonics('c', 'q');
    state.OnKey(Key::OpenMenu);
    EXPECT_EQ(state.OnKey(Key::Other, 'e'), Command::None);
    EXPECT_EQ(state.OnKey(Key::Other, 'q'), Command::Close);
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

TEST_F(ConsoleListTest, ScrollKeysStopAtBothEnds) {
    state.SetListHeight(10);
    AddLines(50);
    state.OnKey(Key::Up);
    EXPECT_EQ(LastVisible(), 48u);
    state.OnKey(Key::PageUp);
    EXPECT_EQ(LastVisible(), 39u);  // a page keeps one line of the last view
    state.OnKey(Key::Home);
    state.OnKey(Key::Up);
    EXPECT_EQ(state.FirstVisible(), 0u);
    state.OnKey(Key::PageDown);
    EXPECT_EQ(state.FirstVisible(), 9u);
    state.OnKey(Key::End);
    state.OnKey(Key::Down);
    EXPECT_EQ(LastVisible(), 49u);
}

TEST_F(ConsoleListTest, AViewScrolledBackStaysOnItsLinesWhileNewOnesArrive) {
    state.SetListHeight(10);
    AddLines(4);
    EXPECT_EQ(state.FirstVisible(), 0u);  // a short list starts at the top
    EXPECT_EQ(state.VisibleCount(), 4u);
    AddLines(96);
    state.OnKey(Key::PageUp);
    const std::size_t first = state.FirstVisible();
    AddLines(5);
    EXPECT_EQ(state.FirstVisible(), first);

    // At 300 lines every new line drops the oldest: the same lines now have
    // indexes one lower.
    AddLines(200);
    ASSERT_EQ(count, 300u);
    state.OnKey(Key::PageUp);
    const std::size_t before = state.FirstVisible();
    AddLines(3);
    EXPECT_EQ(state.FirstVisible(), before - 3);

    // Clearing follows the newest line again.
    count = 0;
    state.OnListChanged(0);
    EXPECT_EQ(state.VisibleCount(), 0u);
    AddLines(30);
    EXPECT_EQ(LastVisible(), 29u);
}

TEST_F(ConsoleListTest, ResizingKeepsTheNewestLineInViewAndLosesNone) {
    state.SetListHeight(20);
    AddLines(100);
    state.SetListHeight(3);
    EXPECT_EQ(LastVisible(), 99u);
    state.SetListHeight(0);  // minimised: nothing shown
    EXPECT_EQ(state.VisibleCount(), 0u);
    state.SetListHeight(500);
    EXPECT_EQ(state.FirstVisible(), 0u);
    EXPECT_EQ(state.VisibleCount(), 100u);

    // A view scrolled back to the top stays within the list when it grows.
    state.SetListHeight(10);
    state.OnKey(Key::Home);
    state.SetListHeight(95);
    EXPECT_EQ(state.FirstVisible(), 0u);
    EXPECT_EQ(state.VisibleCount(), 95u);
}

}  // namespace
}  // namespace kelvarix
