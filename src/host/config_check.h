#pragma once
// kelvarix --check: what a start would make of Kelvarix.ini, and what in it
// is likely not what the operator meant. ConfigCheck works on the file's text
// and the loader's report of each key; RunConfigCheck adds what only the
// machine can tell (ports, folders, names) and changes nothing.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/config_loader.h"
#include "platform/ini_file.h"

namespace kelvarix {

// The command-line switch: --check, -check or /check, in any case.
bool IsCheckSwitch(std::string_view argument);

class ConfigCheck {
public:
    // content: the file's bytes; nothing when it cannot be read.
    ConfigCheck(std::string file_name, const std::optional<std::string>& content);

    // Takes the loader's report of one key (a KeyObserver).
    void Read(const KeyReading& reading);
    // Takes the outcome of loading, once every key was read.
    void Loaded(const LoadResult& result);

    // A finding about a key (key "" for the section itself); the line that
    // the reader took it from is named when there is one.
    void Warn(std::string_view section, std::string_view key, const std::string& text);
    void Note(std::string_view section, std::string_view key, const std::string& text);

    // The settings a start would use; nothing when it would refuse to start.
    const std::optional<Settings>& settings() const { return settings_; }

    // Every key with its value and origin, then the findings.
    std::string Report() const;
    // 0 nothing wrong, 1 warnings only, 2 the gateway would refuse to start.
    int ExitStatus() const;

private:
    enum class Severity { Note, Warning, Error };
    struct Finding {
        Severity severity;
        int line;  // 0: none
        std::string text;
    };
    struct Shown {
        std::string section;
        std::string key;
        std::string value;  // as the report shows it
        bool from_file;
        std::string text;  // text keys: the setting itself
    };

    void AddAt(Severity severity, int line, std::string_view section, std::string_view key,
               const std::string& text);
    void Add(Severity severity, std::string_view section, std::string_view key,
             const std::string& text);
    // The line a lookup of the key reads, or nothing.
    const IniLine* Used(std::string_view section, std::string_view key) const;
    void CheckLenientReading(const KeyReading& reading);
    void CheckLayout();
    void CheckValues(const Settings& s);
    const Shown* Find(std::string_view section, std::string_view key) const;
    bool KnownSection(std::string_view section) const;
    std::string SectionSuggestion(std::string_view section) const;
    std::string KeySuggestion(std::string_view section, std::string_view key) const;

    std::string file_name_;
    std::vector<IniLine> lines_;
    std::vector<Shown> keys_;
    std::vector<Finding> findings_;
    std::optional<Settings> settings_;
};

// Checks Kelvarix.ini in the program folder as a start would read it and
// returns the exit status; report gets the text for the operator. Opens no
// log, takes no lock, writes nothing.
int RunConfigCheck(const std::string& app_path, std::string& report);

}  // namespace kelvarix
