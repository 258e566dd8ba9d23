#include "platform/message_box.h"

#include <windows.h>

#include <cstdio>

namespace kelvarix {

namespace {
MessageBoxHandler& Handler() {
    static MessageBoxHandler handler;
    return handler;
}
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    Handler() = std::move(handler);
}

void ShowMessageBox(const std::string& text, const std::string& title, MessageIcon icon) {
    if (Handler()) {
        Handler()(text, title);
        return;
    }
    // Also on standard error, where a script that started the program reads
    // it; a program started from the desktop has none, and the line is lost.
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(stderr);
    // No owner: the boxes of start-up come before the window exists.
    UINT style = MB_OK | MB_SETFOREGROUND | MB_TASKMODAL;
    if (icon == MessageIcon::Warning) style |= MB_ICONWARNING;
    ::MessageBoxA(nullptr, text.c_str(), title.c_str(), style);
}

}  // namespace kelvarix
