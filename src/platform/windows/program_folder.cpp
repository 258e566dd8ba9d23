#include "platform/program_folder.h"

#include "platform/service_control.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace kelvarix {

namespace {
std::string WithSeparator(std::string folder) {
    if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += '\\';
    return folder;
}

std::string ModuleFileName() {
    // Long paths need more than MAX_PATH; grow until the name fits.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD n =
            ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return std::string(buffer.data(), n);
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}
}  // namespace

std::string ProgramFolderFrom(const std::string& executable_path, const char* home_override) {
    if (home_override != nullptr && *home_override != '\0') return WithSeparator(home_override);
    const auto separator = executable_path.find_last_of("\\/");
    if (separator == std::string::npos) return ".\\";
    // "C:\Kelvarix.exe" gives the drive root "C:\", which keeps its separator.
    return executable_path.substr(0, separator + 1);
}

std::string ExecutablePath() { return ModuleFileName(); }

std::string ProgramFolder() {
    return ProgramFolderFrom(ModuleFileName(), std::getenv("KELVARIX_HOME"));
}

}  // namespace kelvarix
