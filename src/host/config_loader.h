#pragma once
// Loading of Kelvarix.ini into Settings, once at start-up.
#include <functional>
#include <optional>
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

// How a key's text becomes its setting.
enum class SettingKind { Number, StrictNumber, Text, Flag };

// What loading made of one key; reported for every key, in reading order.
struct KeyReading {
    std::string_view section;  // as written in the key table
    std::string_view key;
    SettingKind kind;
    std::string_view default_text;
    std::optional<std::string> text;  // as the reader returned it; nothing: missing
    std::optional<std::string> value;  // the stored setting written out ("30", "1",
                                       // the trimmed text); nothing: cannot be stored
    std::string error;                 // then: the message a start gives for it
};
using KeyObserver = std::function<void(const KeyReading&)>;

// A value as it may appear in a one-line message: shortened, and with
// control characters replaced so that none reaches a log or terminal.
std::string ShownValue(std::string_view value);

// Reads every key in its fixed order and converts it by its kind. A missing
// file, section or key silently takes the key's default, except PortNumber,
// which must be present and a whole number; a number outside the range of its
// width is an error. The first failing key is reported; the keys after it are
// still read and observed. RunAsService is not read here: it lives in the
// service settings store.
LoadResult LoadSettings(const std::string& ini_path, const KeyObserver& observe = nullptr);

// The same on parsed content; file_name only labels messages.
LoadResult LoadSettings(const IniFile& ini, std::string_view file_name);

}  // namespace kelvarix
