#pragma once
// The operator's full-screen console on a terminal: a caption line, a menu
// bar with the File menu, and the window list filling the rest, kept in step
// with the list and with the terminal's size. Keys are read when standard
// input becomes readable, on the gateway's one io_context.
//
// The terminal is taken over only when something is shown: the window at
// the end of start-up, or a message box before. While the console exists,
// message boxes are dialogs in it. The destructor gives the terminal back.
#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <string>

#include "platform/window_list.h"

namespace kelvarix {

struct ConsoleCaptions {
    std::string window;      // the caption line
    std::string menu;        // "&File"
    std::string clear_item;  // "C&lear debug list"
    std::string exit_item;   // "&Exit"; a tab puts a shortcut at its right edge
};

class Console {
public:
    // True when standard input and output are a terminal that can be driven.
    static bool Available();

    Console(asio::io_context& io, WindowList& list, ConsoleCaptions captions);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    void SetExitCaption(std::string caption);

    // Shows the window and starts reading keys; on_close runs when the
    // operator closes it (Exit, Alt+F4, Ctrl+C). False when the terminal
    // cannot be used.
    bool Show(std::function<void()> on_close);

    // A centred dialog with an OK button; returns once it is acknowledged.
    void ShowDialog(const std::string& text, const std::string& title);

private:
    struct Screen;
    std::shared_ptr<Screen> screen_;
};

}  // namespace kelvarix
