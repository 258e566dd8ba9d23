#include "platform/message_box.h"

#include <cstdio>

#include "platform/window_list.h"

namespace kelvarix {

namespace {
MessageBoxHandler& Handler() {
    static MessageBoxHandler handler;
    return handler;
}
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) { Handler() = std::move(handler); }

void ShowMessageBox(const std::string& text, const std::string& title, MessageIcon) {
    if (Handler()) {
        Handler()(text, title);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(stderr);
    if (StandardInputIsTerminal()) {
        std::fprintf(stderr, "Press Enter to continue.\n");
        std::fflush(stderr);
        for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
        }
    }
}

}  // namespace kelvarix
