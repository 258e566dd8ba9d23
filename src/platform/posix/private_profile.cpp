#include "platform/private_profile.h"

#include "platform/ini_file.h"

namespace kelvarix {

std::optional<std::string> ReadPrivateProfileValue(std::string_view section, std::string_view key,
                                                   const std::string& path) {
    const auto ini = IniFile::load(path);
    if (!ini) return std::nullopt;
    return ini->find(section, key);
}

}  // namespace kelvarix
