#include <windows.h>

#include "platform/native_message_box.h"

namespace kelvarix {

void ShowNativeMessageBox(const std::string& text, const std::string& title, MessageIcon icon) {
    // No owner: the boxes of start-up come before the window exists.
    UINT style = MB_OK | MB_SETFOREGROUND | MB_TASKMODAL;
    if (icon == MessageIcon::Warning) style |= MB_ICONWARNING;
    ::MessageBoxA(nullptr, text.c_str(), title.c_str(), style);
}

}  // namespace kelvarix
