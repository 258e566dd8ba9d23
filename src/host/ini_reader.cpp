#include "host/ini_reader.h"

#include "platform/private_profile.h"

namespace kelvarix {

std::string ReadIniString(std::string_view section, std::string_view key,
                          std::string_view default_text, const std::string& file_path) {
    if (auto value = ReadPrivateProfileValue(section, key, file_path)) return std::move(*value);
    return std::string(default_text.substr(0, kIniValueMax));
}

}  // namespace kelvarix
