#pragma once
// The operator console's behaviour without the terminal: how a menu caption
// reads, what a key does, and which part of the list is on screen. The
// console feeds it keys and sizes and draws what it says.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix {

// A caption as menus write it: "&" marks the next letter as the mnemonic
// ("&&" is a plain "&"); a tab puts the rest at the right edge.
struct MenuCaption {
    std::string label;
    std::size_t mnemonic = std::string::npos;  // index into label
    std::string shortcut;
    char MnemonicLetter() const;  // lower case; 0 when there is none
};
MenuCaption ParseMenuCaption(std::string_view caption);

// The text broken into lines of at most width characters, at spaces where
// possible; a word longer than a line is cut. Always at least one line.
std::vector<std::string> WrapText(std::string_view text, std::size_t width);

enum class ConsoleKey { Other, Up, Down, PageUp, PageDown, Home, End, Enter, Escape, OpenMenu, Close };
enum class ConsoleCommand { None, ClearList, Close };

// The one menu ("File": clear the list, a separator, exit) and the scroll
// position of the list.
class ConsoleState {
public:
    enum Item { kClearItem = 0, kSeparator = 1, kExitItem = 2, kItemCount = 3 };

    void SetMnemonics(char clear_letter, char exit_letter);

    // letter: the character typed, for the open menu's mnemonics.
    ConsoleCommand OnKey(ConsoleKey key, char letter = 0);

    // The list changed and now holds line_count lines. The list only ever
    // gains a line or is cleared; a view scrolled back stays on its lines.
    void OnListChanged(std::size_t line_count);
    void SetListHeight(std::size_t rows);

    std::size_t FirstVisible() const;  // index of the top line on screen
    std::size_t VisibleCount() const;

    bool MenuOpen() const { return menu_open_; }
    int Selected() const { return selected_; }

private:
    void ScrollBack(std::size_t lines);
    void ScrollForward(std::size_t lines);
    std::size_t MaxScroll() const;
    std::size_t Page() const { return height_ > 1 ? height_ - 1 : 1; }
    ConsoleCommand Choose(int item);
    void Select(int step);

    bool menu_open_ = false;
    int selected_ = kClearItem;
    char clear_letter_ = 'l';
    char exit_letter_ = 'e';
    std::size_t line_count_ = 0;
    std::size_t height_ = 0;
    std::size_t below_ = 0;  // lines below the view; 0 follows the newest line
};

}  // namespace kelvarix
