#include "platform/command_line_text.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace kelvarix {

namespace {
bool HasStandardOutput() {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return output != nullptr && output != INVALID_HANDLE_VALUE &&
           ::GetFileType(output) != FILE_TYPE_UNKNOWN;
}
}  // namespace

void WriteCommandLineText(std::string_view text, std::string_view title) {
    if (!HasStandardOutput()) {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS)) {
            // Started from Explorer or a shortcut: no console to write to.
            ::MessageBoxA(nullptr, UnwrappedText(text).c_str(), std::string(title).c_str(),
                          MB_OK | MB_ICONINFORMATION);
            return;
        }
        // The C library set up stdout before there was a console.
        if (std::freopen("CONOUT$", "w", stdout) == nullptr) return;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace kelvarix
