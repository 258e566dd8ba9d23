#pragma once
#include <functional>
#include <string>

namespace kelvarix {

enum class MessageIcon { None, Warning };

// Shows a message to the operator and waits until it is acknowledged: a
// message box with an OK button on Windows. Elsewhere the text goes to
// standard error by default and a key is awaited only when standard input is
// a terminal; the full-screen console installs a dialog.
void ShowMessageBox(const std::string& text, const std::string& title,
                    MessageIcon icon = MessageIcon::None);

using MessageBoxHandler = std::function<void(const std::string& text, const std::string& title)>;
void SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace kelvarix
