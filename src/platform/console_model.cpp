#include "platform/console_model.h"

#include <algorithm>

namespace kelvarix {

char MenuCaption::MnemonicLetter() const {
    if (mnemonic >= label.size()) return 0;
    const char c = label[mnemonic];
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

MenuCaption ParseMenuCaption(std::string_view caption) {
    MenuCaption result;
    const std::size_t tab = caption.find('\t');
    if (tab != std::string_view::npos) result.shortcut = caption.substr(tab + 1);
    const std::string_view text = caption.substr(0, tab);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != '&' && result.mnemonic == std::string::npos) {
                result.mnemonic = result.label.size();
            }
        }
        result.label += text[i];
    }
    return result;
}

std::vector<std::string> WrapText(std::string_view text, std::size_t width) {
    std::vector<std::string> lines(1);
    if (width == 0) return lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        std::string_view word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) lines.emplace_back();
        while (lines.back().size() + (lines.back().empty() ? 0 : 1) + word.size() > width) {
            // Only an over-long word gets here, at the start of a line.
            lines.back() = std::string(word.substr(0, width));
            word.remove_prefix(width);
            lines.emplace_back();
        }
        if (word.empty()) continue;
        if (!lines.back().empty()) lines.back() += ' ';
        lines.back() += word;
    }
    if (lines.size() > 1 && lines.back().empty()) lines.pop_back();
    return lines;
}

void ConsoleState::SetMnemonics(char clear_letter, char exit_letter) {
    clear_letter_ = clear_letter;
    exit_letter_ = exit_letter;
}

ConsoleCommand ConsoleState::OnKey(ConsoleKey key, char letter) {
    if (key == ConsoleKey::Close) {
        menu_open_ = false;
        return ConsoleCommand::Close;
    }
    if (menu_open_) {
        switch (key) {
            case ConsoleKey::Up: Select(-1); break;
            case ConsoleKey::Down: Select(+1); break;
            case ConsoleKey::Enter: return Choose(selected_);
            case ConsoleKey::Escape:
            case ConsoleKey::OpenMenu: menu_open_ = false; break;
            case ConsoleKey::Other: {
                const char lower = letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
                if (lower != 0 && lower == clear_letter_) return Choose(kClearItem);
                if (lower != 0 && lower == exit_letter_) return Choose(kExitItem);
                break;
            }
            default: break;
        }
        return ConsoleCommand::None;
    }
    switch (key) {
        case ConsoleKey::OpenMenu:
            menu_open_ = true;
            selected_ = kClearItem;
            break;
        case ConsoleKey::Up: ScrollBack(1); break;
        case ConsoleKey::Down: ScrollForward(1); break;
        case ConsoleKey::PageUp: ScrollBack(Page()); break;
        case ConsoleKey::PageDown: ScrollForward(Page()); break;
        case ConsoleKey::Home: below_ = MaxScroll(); break;
        case ConsoleKey::End: below_ = 0; break;
        default: break;
    }
    return ConsoleCommand::None;
}

ConsoleCommand ConsoleState::Choose(int item) {
    menu_open_ = false;
    if (item == kClearItem) return ConsoleCommand::ClearList;
    if (item == kExitItem) return ConsoleCommand::Close;
    return ConsoleCommand::None;
}

void ConsoleState::Select(int step) {
    do {
        selected_ = (selected_ + step + kItemCount) % kItemCount;
    } while (selected_ == kSeparator);
}

void ConsoleState::OnListChanged(std::size_t line_count) {
    // A line added below a view scrolled back pushes the view's lines one up.
    if (line_count == 0) {
        below_ = 0;
    } else if (below_ > 0) {
        ++below_;
    }
    line_count_ = line_count;
    below_ = std::min(below_, MaxScroll());
}

void ConsoleState::SetListHeight(std::size_t rows) {
    height_ = rows;
    below_ = std::min(below_, MaxScroll());
}

std::size_t ConsoleState::MaxScroll() const {
    return line_count_ > height_ ? line_count_ - height_ : 0;
}

void ConsoleState::ScrollBack(std::size_t lines) { below_ = std::min(below_ + lines, MaxScroll()); }

void ConsoleState::ScrollForward(std::size_t lines) { below_ = below_ > lines ? below_ - lines : 0; }

std::size_t ConsoleState::FirstVisible() const {
    return line_count_ > height_ ? line_count_ - height_ - below_ : 0;
}

std::size_t ConsoleState::VisibleCount() const { return std::min(height_, line_count_); }

}  // namespace kelvarix
