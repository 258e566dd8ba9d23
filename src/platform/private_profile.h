#pragma once
// The platform's private-profile reader: one lookup in an INI file, as the
// configuration is read. On Windows it is GetPrivateProfileStringA itself;
// elsewhere IniFile reads the file by the same rules.
#include <optional>
#include <string>
#include <string_view>

namespace kelvarix {

// The value text, cut to kIniValueMax characters, or nothing when the file,
// the section or the key is missing.
std::optional<std::string> ReadPrivateProfileValue(std::string_view section, std::string_view key,
                                                   const std::string& path);

}  // namespace kelvarix
