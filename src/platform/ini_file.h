#pragma once
// Parser of INI files in the private-profile format, reading a file the way
// the Windows private-profile reader does, so that a file carried over from a
// Windows installation means the same on every platform:
//   - section and key names match without regard to ASCII letter case;
//   - the first section of a name and the first key of a name in it win;
//   - the key is the text before the first "="; a line without "=" is a key
//     without a value, which gives the default and hides later keys of its name;
//   - blanks (space, tab, vertical tab, form feed) around section name, key,
//     "=" and value are removed, inner ones kept;
//   - one matching pair of double or single quotes around the value is removed;
//   - a line whose first non-blank character is ";" is a comment; "#" and text
//     after a value are ordinary text;
//   - "[ name ]" names section "name", text after "]" is ignored, and a line
//     "[name" without "]" is no header;
//   - LF, CR LF and CR end lines;
//   - a file with a byte-order mark (UTF-8, UTF-16 little or big endian) is
//     read as Windows-1252, characters outside it becoming "?"; a file
//     without one is taken byte for byte;
//   - "key=" gives the empty text, not the default;
//   - a value, or a default, longer than 2047 characters is cut to 2047.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix {

// Longest text a lookup returns: the Windows reader fills a 2048-character
// buffer that keeps room for the terminating NUL.
inline constexpr std::size_t kIniValueMax = 2047;

// True when two section or key names are the same to a lookup.
bool IniNamesMatch(std::string_view a, std::string_view b);

// A line of the file that names a section or a key, as the parser sees it.
struct IniLine {
    int number = 0;           // counted from 1
    bool header = false;      // a section header; otherwise a key line
    std::string section;      // the header's name, or the section the key is under
    bool in_section = false;  // key lines: false before the first header
    std::string key;          // key lines: the name as written
    std::optional<std::string> value;  // unquoted, not cut; nothing: a line without "="
};

class IniFile {
public:
    // Every header and key line in file order, including those a lookup
    // never reaches (keys before the first header, later duplicates).
    static std::vector<IniLine> outline(std::string_view file_content);

    // Parses file content; never fails (lines that mean nothing are skipped).
    static IniFile parse(std::string_view file_content);
    // The file's bytes; nullopt when it is missing, not a regular file or
    // cannot be read.
    static std::optional<std::string> read(const std::string& path);
    // Reads and parses a file; nullopt when it is missing, not a regular file
    // or cannot be read.
    static std::optional<IniFile> load(const std::string& path);

    // The value of the key, or nullopt when the section or the key is missing.
    std::optional<std::string> find(std::string_view section, std::string_view key) const;
    // The value of the key, or default_text when the section or the key is missing.
    std::string get(std::string_view section, std::string_view key,
                    std::string_view default_text) const;

private:
    // Names are stored lower-cased; values already unquoted and cut.
    using Section = std::map<std::string, std::optional<std::string>, std::less<>>;
    std::map<std::string, Section, std::less<>> sections_;
};

}  // namespace kelvarix
