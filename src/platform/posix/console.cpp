#include "platform/console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string_view>

#include "platform/console_model.h"
#include "platform/message_box.h"

// Last: <term.h> defines macros with everyday names (lines, columns, ...),
// and without NCURSES_NOMACROS <curses.h> makes move() a macro.
#define NCURSES_NOMACROS
#include <curses.h>
#include <term.h>

namespace kelvarix {
namespace {

// Our own key codes for sequences the terminal description may not know.
constexpr int kKeyAltF = KEY_MAX + 1;
constexpr int kKeyAltF4 = KEY_MAX + 2;
constexpr int kKeyCtrlC = 3;
constexpr int kKeyEscape = 27;
// The xterm encoding of Alt+F4 (also what tmux sends for M-F4).
constexpr int kKeyXtermAltF4 = KEY_F(52);

constexpr int kMenuBarRow = 1;
constexpr int kListTop = 2;

ConsoleKey Translate(int key) {
    switch (key) {
        case KEY_UP: return ConsoleKey::Up;
        case KEY_DOWN: return ConsoleKey::Down;
        case KEY_PPAGE: return ConsoleKey::PageUp;
        case KEY_NPAGE: return ConsoleKey::PageDown;
        case KEY_HOME: return ConsoleKey::Home;
        case KEY_END: return ConsoleKey::End;
        case KEY_ENTER:
        case '\n':
        case '\r': return ConsoleKey::Enter;
        case kKeyEscape: return ConsoleKey::Escape;
        case KEY_F(10):
        case kKeyAltF: return ConsoleKey::OpenMenu;
        case kKeyXtermAltF4:
        case kKeyAltF4:
        case kKeyCtrlC: return ConsoleKey::Close;
        default: return ConsoleKey::Other;
    }
}

char Letter(int key) { return key >= 0x20 && key < 0x7F ? static_cast<char>(key) : 0; }

bool AnswersDialog(int key) {
    return key == '\n' || key == '\r' || key == KEY_ENTER || key == ' ' || key == 'o' ||
           key == 'O' || key == kKeyEscape || key == kKeyCtrlC;
}

// Control characters would move the cursor, and bytes above 127 show as
// several cells in the C locale; both become "?" on screen (the log files
// keep them as they are).
char PrintableChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u >= 0x7F ? '?' : c;
}

std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = PrintableChar(c);
    return out;
}

int Width(std::string_view text) { return static_cast<int>(text.size()); }

// A menu caption on one row, width cells wide, its mnemonic underlined.
void DrawCaption(int y, int x, int width, const MenuCaption& caption, bool highlighted) {
    const attr_t base = highlighted ? A_REVERSE : A_NORMAL;
    attrset(base);
    mvhline(y, x, ' ', width);
    move(y, x + 1);
    for (std::size_t i = 0; i < caption.label.size(); ++i) {
        attrset(i == caption.mnemonic ? base | A_UNDERLINE : base);
        addch(static_cast<unsigned char>(PrintableChar(caption.label[i])));
    }
    attrset(base);
    if (!caption.shortcut.empty()) {
        mvaddstr(y, x + width - 1 - Width(caption.shortcut), Printable(caption.shortcut).c_str());
    }
    attrset(A_NORMAL);
}

// A frame of height by width cells with a blank inside.
void DrawFrame(int y, int x, int height, int width) {
    for (int row = y + 1; row < y + height - 1; ++row) mvhline(row, x + 1, ' ', width - 2);
    mvhline(y, x + 1, ACS_HLINE, width - 2);
    mvhline(y + height - 1, x + 1, ACS_HLINE, width - 2);
    mvvline(y + 1, x, ACS_VLINE, height - 2);
    mvvline(y + 1, x + width - 1, ACS_VLINE, height - 2);
    mvaddch(y, x, ACS_ULCORNER);
    mvaddch(y, x + width - 1, ACS_URCORNER);
    mvaddch(y + height - 1, x, ACS_LLCORNER);
    mvaddch(y + height - 1, x + width - 1, ACS_LRCORNER);
}

}  // namespace

struct Console::Screen : std::enable_shared_from_this<Screen> {
    Screen(asio::io_context& io, WindowList& list, ConsoleCaptions captions)
        : io(io), list(list), captions(std::move(captions)) {}

    bool Open();
    void Close();
    void UpdateMnemonics();
    void Draw();
    void DrawWindow();
    void DrawMenu();
    void DrawDialog(const std::string& text, const std::string& title);
    void ShowDialog(const std::string& text, const std::string& title);
    void PostDraw();
    void WaitForKeys();
    void ReadKeys();
    void WaitForResize();
    void Resize();

    asio::io_context& io;
    WindowList& list;
    ConsoleCaptions captions;
    ConsoleState state;
    SCREEN* terminal = nullptr;
    bool open_failed = false;
    bool shown = false;
    bool draw_posted = false;
    std::function<void()> on_close;
    std::optional<asio::posix::stream_descriptor> input;
    std::optional<asio::signal_set> resize;
};

bool Console::Screen::Open() {
    if (terminal != nullptr) return true;
    if (open_failed) return false;
    terminal = newterm(nullptr, stdout, stdin);
    if (terminal == nullptr) {
        open_failed = true;
        return false;
    }
    set_term(terminal);
    // Raw: Ctrl+C arrives as a key (the operator's close) and Ctrl+Z cannot
    // leave the terminal in our modes.
    raw();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    set_escdelay(25);  // a lone Esc need not wait for a sequence that never comes
    define_key("\033f", kKeyAltF);
    define_key("\033F", kKeyAltF);
    define_key("\033[1;3S", kKeyAltF4);
    return true;
}

void Console::Screen::Close() {
    input.reset();
    resize.reset();
    list.SetObserver(nullptr);
    shown = false;
    if (terminal != nullptr) {
        endwin();
        delscreen(terminal);
        terminal = nullptr;
    }
}

void Console::Screen::UpdateMnemonics() {
    state.SetMnemonics(ParseMenuCaption(captions.clear_item).MnemonicLetter(),
                       ParseMenuCaption(captions.exit_item).MnemonicLetter());
}

void Console::Screen::Draw() {
    if (terminal == nullptr) return;
    erase();
    if (shown) DrawWindow();
    refresh();
}

void Console::Screen::DrawWindow() {
    const int width = COLS;
    attrset(A_REVERSE);
    mvhline(0, 0, ' ', width);
    mvaddnstr(0, 1, Printable(captions.window).c_str(), std::max(0, width - 1));
    attrset(A_NORMAL);

    const MenuCaption menu = ParseMenuCaption(captions.menu);
    DrawCaption(kMenuBarRow, 1, Width(menu.label) + 2, menu, state.MenuOpen());

    state.SetListHeight(static_cast<std::size_t>(std::max(0, LINES - kListTop)));
    const std::size_t first = state.FirstVisible();
    const std::size_t count = state.VisibleCount();
    for (std::size_t i = 0; i < count && first + i < list.Lines().size(); ++i) {
        mvaddnstr(kListTop + static_cast<int>(i), 0, Printable(list.Lines()[first + i]).c_str(), width);
    }
    if (state.MenuOpen()) DrawMenu();
}

void Console::Screen::DrawMenu() {
    const MenuCaption clear = ParseMenuCaption(captions.clear_item);
    const MenuCaption exit = ParseMenuCaption(captions.exit_item);
    int inner = 0;
    for (const MenuCaption* item : {&clear, &exit}) {
        const int shortcut = item->shortcut.empty() ? 0 : Width(item->shortcut) + 3;
        inner = std::max(inner, Width(item->label) + shortcut + 2);
    }
    const int x = 1;
    const int y = kListTop;
    DrawFrame(y, x, 5, inner + 2);
    DrawCaption(y + 1, x + 1, inner, clear, state.Selected() == ConsoleState::kClearItem);
    mvaddch(y + 2, x, ACS_LTEE);
    mvhline(y + 2, x + 1, ACS_HLINE, inner);
    mvaddch(y + 2, x + inner + 1, ACS_RTEE);
    DrawCaption(y + 3, x + 1, inner, exit, state.Selected() == ConsoleState::kExitItem);
}

void Console::Screen::DrawDialog(const std::string& text, const std::string& title) {
    constexpr std::string_view kButton = "[ OK ]";
    const int max_text = std::max(8, COLS - 8);
    const std::vector<std::string> rows = WrapText(Printable(text), static_cast<std::size_t>(max_text));
    int text_width = Width(kButton);
    for (const std::string& row : rows) text_width = std::max(text_width, Width(row));
    text_width = std::max(text_width, Width(title) + 4);
    const int width = std::min(text_width + 6, COLS);
    const int height = static_cast<int>(rows.size()) + 5;
    const int y = std::max(0, (LINES - height) / 2);
    const int x = std::max(0, (COLS - width) / 2);

    DrawFrame(y, x, height, width);
    mvaddnstr(y, x + 2, (" " + Printable(title) + " ").c_str(), std::max(0, width - 4));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        mvaddnstr(y + 2 + static_cast<int>(i), x + 3, rows[i].c_str(), std::max(0, width - 6));
    }
    attrset(A_REVERSE);
    mvaddstr(y + height - 2, x + (width - Width(kButton)) / 2, std::string(kButton).c_str());
    attrset(A_NORMAL);
}

void Console::Screen::ShowDialog(const std::string& text, const std::string& title) {
    if (!Open()) {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        std::fflush(stderr);
        return;
    }
    // A message box waits for the operator; nothing else runs meanwhile.
    nodelay(stdscr, FALSE);
    for (;;) {
        erase();
        if (shown) DrawWindow();
        DrawDialog(text, title);
        refresh();
        errno = 0;
        const int key = wgetch(stdscr);
        if (key == ERR && errno == EINTR) continue;
        if (key == ERR || AnswersDialog(key)) break;  // ERR without EINTR: the terminal is gone
    }
    nodelay(stdscr, TRUE);
    Draw();
}

void Console::Screen::PostDraw() {
    // Lines come in bursts; one drawing after the burst is enough.
    if (draw_posted) return;
    draw_posted = true;
    asio::post(io, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->draw_posted = false;
            self->Draw();
        }
    });
}

void Console::Screen::WaitForKeys() {
    if (!input) return;
    input->async_wait(asio::posix::descriptor_base::wait_read,
                      [weak = weak_from_this()](const asio::error_code& error) {
                          if (error) return;
                          if (auto self = weak.lock()) self->ReadKeys();
                      });
}

void Console::Screen::ReadKeys() {
    if (terminal == nullptr) return;
    bool any_key = false;
    for (int key = wgetch(stdscr); key != ERR; key = wgetch(stdscr)) {
        any_key = true;
        if (key == KEY_RESIZE) {
            Resize();
            continue;
        }
        const ConsoleCommand command = state.OnKey(Translate(key), Letter(key));
        if (command == ConsoleCommand::ClearList) list.Clear();
        if (command == ConsoleCommand::Close) {
            if (on_close) on_close();
            return;
        }
    }
    int waiting = 0;
    if (!any_key && (::ioctl(STDIN_FILENO, FIONREAD, &waiting) != 0 || waiting == 0)) {
        return;  // readable without a byte: the terminal hung up; stop reading
    }
    Draw();
    WaitForKeys();
}

void Console::Screen::WaitForResize() {
    if (!resize) return;
    resize->async_wait([weak = weak_from_this()](const asio::error_code& error, int) {
        if (error) return;
        if (auto self = weak.lock()) {
            self->Resize();
            self->WaitForResize();
        }
    });
}

void Console::Screen::Resize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0 &&
        is_term_resized(size.ws_row, size.ws_col)) {
        resizeterm(size.ws_row, size.ws_col);
    }
    Draw();
}

bool Console::Available() {
    if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) return false;
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) return false;
    del_curterm(cur_term);  // only asked; the console sets up its own
    return true;
}

Console::Console(asio::io_context& io, WindowList& list, ConsoleCaptions captions)
    : screen_(std::make_shared<Screen>(io, list, std::move(captions))) {
    SetMessageBoxHandler([weak = std::weak_ptr<Screen>(screen_)](const std::string& text,
                                                                const std::string& title) {
        if (auto screen = weak.lock()) screen->ShowDialog(text, title);
    });
}

Console::~Console() {
    SetMessageBoxHandler(nullptr);
    screen_->Close();
}

void Console::SetExitCaption(std::string caption) {
    screen_->captions.exit_item = std::move(caption);
    screen_->UpdateMnemonics();
    screen_->PostDraw();
}

bool Console::Show(std::function<void()> on_close) {
    Screen& s = *screen_;
    // SIGWINCH is ours before the terminal opens, so the library leaves it alone.
    s.resize.emplace(s.io, SIGWINCH);
    if (!s.Open()) {
        s.resize.reset();
        return false;
    }
    s.on_close = std::move(on_close);
    s.shown = true;
    s.UpdateMnemonics();
    s.state.OnListChanged(s.list.Lines().size());
    s.list.SetObserver([weak = std::weak_ptr<Screen>(screen_)] {
        if (auto self = weak.lock()) {
            self->state.OnListChanged(self->list.Lines().size());
            self->PostDraw();
        }
    });
    // Readiness is watched on a descriptor of our own for the same terminal:
    // Asio makes the descriptor it waits on non-blocking, and a duplicate of
    // standard input would pass that on to the shell we return to.
    const char* terminal_name = ::ttyname(STDIN_FILENO);
    const int fd = terminal_name != nullptr ? ::open(terminal_name, O_RDONLY | O_NOCTTY | O_CLOEXEC) : -1;
    if (fd >= 0) s.input.emplace(s.io, fd);
    s.Resize();
    s.WaitForKeys();
    s.WaitForResize();
    return true;
}

}  // namespace kelvarix
