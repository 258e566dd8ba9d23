#include "platform/program_folder.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kelvarix {

namespace {
std::string WithSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}
}  // namespace

std::string ProgramFolderFrom(const std::string& executable_path, const char* home_override) {
    if (home_override != nullptr && *home_override != '\0') return WithSeparator(home_override);
    const auto slash = executable_path.rfind('/');
    if (slash == std::string::npos) return "./";
    return executable_path.substr(0, slash + 1);
}

std::string ProgramFolder() {
    return ProgramFolderFrom(ExecutablePath(), std::getenv("KELVARIX_HOME"));
}

}  // namespace kelvarix
