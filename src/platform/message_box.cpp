#include "platform/message_box.h"

#include <cstdio>

#include "platform/native_message_box.h"

namespace kelvarix {

namespace {
MessageBoxHandler& Handler() {
    static MessageBoxHandler handler;
    return handler;
}
}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) { Handler() = std::move(handler); }

void ShowMessageBox(const std::string& text, const std::string& title, MessageIcon icon) {
    if (Handler()) {
        Handler()(text, title);
        return;
    }
    // Standard error first: a script that started the program reads it there.
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    std::fflush(stderr);
    ShowNativeMessageBox(text, title, icon);
}

}  // namespace kelvarix
