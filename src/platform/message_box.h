#pragma once
#include <functional>
#include <string>

namespace kelvarix {

// Shows a message to the operator and waits until it is acknowledged. By
// default the text goes to standard error and a key is awaited only when
// standard input is a terminal; the full-screen console installs a dialog.
void ShowMessageBox(const std::string& text, const std::string& title);

using MessageBoxHandler = std::function<void(const std::string& text, const std::string& title)>;
void SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace kelvarix
