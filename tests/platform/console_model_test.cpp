#include "platform/console_model.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvarix {
namespace {

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
        const MenuCaption parsed = ParseMenuCaption(c.caption);
        EXPECT_EQ(parsed.label, c.label) << c.caption;
        EXPECT_EQ(parsed.mnemonic, c.mnemonic) << c.caption;
        EXPECT_EQ(parsed.MnemonicLetter(), c.letter) << c.caption;
        EXPECT_EQ(parsed.shortcut, c.shortcut) << c.caption;
    }
}

TEST(WrapText, BreaksAtSpacesAndCutsOverlongWords) {
    EXPECT_EQ(WrapText("Quorsyn Kelvarix service service installation succeeded", 24),
              (std::vector<std::string>{"Quorsyn Kelvarix service", "service installation", "succeeded"}));
    EXPECT_EQ(WrapText("abcdefghij xy", 4), (std::vector<std::string>{"abcd", "efgh", "ij", "xy"}));
    EXPECT_EQ(WrapText("", 10), (std::vector<std::string>{""}));
}

class ConsoleMenuTest : public ::testing::Test {
protected:
    ConsoleState state;
};

TEST_F(ConsoleMenuTest, MenuKeysOpenMoveAroundTheSeparatorAndClose) {
    EXPECT_EQ(state.OnKey(ConsoleKey::OpenMenu), ConsoleCommand::None);
    ASSERT_TRUE(state.MenuOpen());
    EXPECT_EQ(state.Selected(), ConsoleState::kClearItem);
    state.OnKey(ConsoleKey::Down);
    EXPECT_EQ(state.Selected(), ConsoleState::kExitItem);
    state.OnKey(ConsoleKey::Down);
    EXPECT_EQ(state.Selected(), ConsoleState::kClearItem);
    state.OnKey(ConsoleKey::Up);
    EXPECT_EQ(state.Selected(), ConsoleState::kExitItem);
    EXPECT_EQ(state.OnKey(ConsoleKey::Escape), ConsoleCommand::None);
    EXPECT_FALSE(state.MenuOpen());

    // F10 again closes, and a new opening starts on the first item.
    state.OnKey(ConsoleKey::OpenMenu);
    state.OnKey(ConsoleKey::Down);
    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_FALSE(state.MenuOpen());
    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_EQ(state.Selected(), ConsoleState::kClearItem);
}

TEST_F(ConsoleMenuTest, ItemsAreChosenByEnterOrMnemonicInAnyCase) {
    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_EQ(state.OnKey(ConsoleKey::Enter), ConsoleCommand::ClearList);
    EXPECT_FALSE(state.MenuOpen());

    state.OnKey(ConsoleKey::OpenMenu);
    state.OnKey(ConsoleKey::Down);
    EXPECT_EQ(state.OnKey(ConsoleKey::Enter), ConsoleCommand::Close);

    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'L'), ConsoleCommand::ClearList);
    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'x'), ConsoleCommand::None);
    EXPECT_TRUE(state.MenuOpen());
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'e'), ConsoleCommand::Close);

    // Mnemonics follow the captions.
    state.SetMnemonics('c', 'q');
    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'e'), ConsoleCommand::None);
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'q'), ConsoleCommand::Close);
}

TEST_F(ConsoleMenuTest, LettersWithoutTheMenuDoNothingAndCloseWorksEverywhere) {
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'l'), ConsoleCommand::None);
    EXPECT_EQ(state.OnKey(ConsoleKey::Other, 'e'), ConsoleCommand::None);
    EXPECT_EQ(state.OnKey(ConsoleKey::Enter), ConsoleCommand::None);
    EXPECT_EQ(state.OnKey(ConsoleKey::Close), ConsoleCommand::Close);
    state.OnKey(ConsoleKey::OpenMenu);
    EXPECT_EQ(state.OnKey(ConsoleKey::Close), ConsoleCommand::Close);
    EXPECT_FALSE(state.MenuOpen());
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

TEST_F(ConsoleListTest, ShortListStartsAtTheTopAndALongOneFollowsTheNewestLine) {
    state.SetListHeight(10);
    AddLines(4);
    EXPECT_EQ(state.FirstVisible(), 0u);
    EXPECT_EQ(state.VisibleCount(), 4u);
    AddLines(20);
    EXPECT_EQ(state.VisibleCount(), 10u);
    EXPECT_EQ(LastVisible(), 23u);
}

TEST_F(ConsoleListTest, ScrollKeysStopAtBothEnds) {
    state.SetListHeight(10);
    AddLines(50);
    state.OnKey(ConsoleKey::Up);
    EXPECT_EQ(LastVisible(), 48u);
    state.OnKey(ConsoleKey::PageUp);
    EXPECT_EQ(LastVisible(), 39u);  // a page keeps one line of the last view
    state.OnKey(ConsoleKey::Home);
    EXPECT_EQ(state.FirstVisible(), 0u);
    state.OnKey(ConsoleKey::Up);
    EXPECT_EQ(state.FirstVisible(), 0u);
    state.OnKey(ConsoleKey::PageDown);
    EXPECT_EQ(state.FirstVisible(), 9u);
    state.OnKey(ConsoleKey::End);
    EXPECT_EQ(LastVisible(), 49u);
    state.OnKey(ConsoleKey::Down);
    EXPECT_EQ(LastVisible(), 49u);
}

TEST_F(ConsoleListTest, AViewScrolledBackStaysOnItsLinesWhileNewOnesArrive) {
    state.SetListHeight(10);
    AddLines(100);
    state.OnKey(ConsoleKey::PageUp);
    const std::size_t first = state.FirstVisible();
    AddLines(5);
    EXPECT_EQ(state.FirstVisible(), first);

    // At 300 lines every new line drops the oldest: the same lines now have
    // indexes one lower.
    AddLines(200);
    ASSERT_EQ(count, 300u);
    state.OnKey(ConsoleKey::PageUp);
    const std::size_t before = state.FirstVisible();
    AddLines(3);
    EXPECT_EQ(state.FirstVisible(), before - 3);
}

TEST_F(ConsoleListTest, ClearingFollowsTheNewestLineAgain) {
    state.SetListHeight(10);
    AddLines(100);
    state.OnKey(ConsoleKey::Home);
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
    state.OnKey(ConsoleKey::Home);
    state.SetListHeight(95);
    EXPECT_EQ(state.FirstVisible(), 0u);
    EXPECT_EQ(state.VisibleCount(), 95u);
}

}  // namespace
}  // namespace kelvarix
