#include "platform/private_profile.h"

#include <windows.h>

#include "platform/ini_file.h"

namespace kelvarix {

namespace {
// One call of the reader, as the configuration is read: a buffer of
// kIniValueMax + 1 characters, so a longer value comes back cut.
std::string Lookup(const std::string& section, const std::string& key, const char* default_text,
                   const std::string& path) {
    char buffer[kIniValueMax + 1];
    const DWORD n = ::GetPrivateProfileStringA(section.c_str(), key.c_str(), default_text, buffer,
                                               sizeof buffer, path.c_str());
    return std::string(buffer, n);
}
}  // namespace

std::optional<std::string> ReadPrivateProfileValue(std::string_view section, std::string_view key,
                                                   const std::string& path) {
    const std::string s(section);
    const std::string k(key);
    // The reader tells a missing key only by returning the default: a key is
    // missing when two different defaults both come back.
    std::string value = Lookup(s, k, "\x01", path);
    if (value != "\x01") return value;
    if (Lookup(s, k, "", path).empty()) return std::nullopt;
    return value;
}

}  // namespace kelvarix
