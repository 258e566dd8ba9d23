#pragma once
// The platform's own part of ShowMessageBox, once the text is on standard
// error and no handler is installed: it waits until the operator has seen it.
#include <string>

#include "platform/message_box.h"

namespace kelvarix {

void ShowNativeMessageBox(const std::string& text, const std::string& title, MessageIcon icon);

}  // namespace kelvarix
