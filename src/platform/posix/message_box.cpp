#include <cstdio>

#include "platform/native_message_box.h"
#include "platform/window_list.h"

namespace kelvarix {

// Without a window the text stands on standard error; a key is awaited only
// when someone sits at a terminal to press it.
void ShowNativeMessageBox(const std::string&, const std::string&, MessageIcon) {
    if (!StandardInputIsTerminal()) return;
    std::fprintf(stderr, "Press Enter to continue.\n");
    std::fflush(stderr);
    for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
    }
}

}  // namespace kelvarix
