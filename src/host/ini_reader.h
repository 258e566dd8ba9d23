#pragma once
// Reading Kelvarix.ini: one lookup at a time through the platform's
// private-profile reader. IniFile, the format's parser, parses content that
// is at hand (tests, the service settings store).
#include <string>
#include <string_view>

#include "platform/ini_file.h"

namespace kelvarix {

// One lookup in the file at file_path: the value text, or default_text when
// the file, the section or the key is missing. Neither trims nor converts.
std::string ReadIniString(std::string_view section, std::string_view key,
                          std::string_view default_text, const std::string& file_path);

}  // namespace kelvarix
