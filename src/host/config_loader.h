#pragma once
// Loading of Kelvarix.ini into Settings, once at start-up.
#include <string>
#include <string_view>
#include <variant>

#include "host/ini_reader.h"
#include "config/settings.h"

namespace kelvarix {

// A setting that cannot be stored; start-up cannot continue past it.
struct ConfigError {
    std::string section;  // as written in the key table, e.g. "ATAS"
    std::string key;      // e.g. "PortNumber"
    std::string value;    // the text read (empty when the key is missing)
    std::string message;  // one line for the operator, naming file, key and value
};

using LoadResult = std::variant<Settings, ConfigError>;

// Reads every key in its fixed order and converts it by its kind. A missing
// file, section or key silently takes the key's default, except PortNumber,
// which must be present and a whole number; a number outside the range of its
// width is an error. The first failing key is reported. RunAsService is not
// read here: it lives in the service settings store.
LoadResult LoadSettings(const std::string& ini_path);

// The same on parsed content; file_name only labels messages.
LoadResult LoadSettings(const IniFile& ini, std::string_view file_name);

}  // namespace kelvarix
