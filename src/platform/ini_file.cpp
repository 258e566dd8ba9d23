#include "platform/ini_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/code_page.h"

namespace kelvarix {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

// The blanks that the Windows reader removes around names and values.
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

unsigned char byte_at(std::string_view bytes, std::size_t i) {
    return static_cast<unsigned char>(bytes[i]);
}

std::string windows_1252_from_utf16(std::string_view bytes, bool big_endian) {
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char32_t unit = big_endian ? byte_at(bytes, i) << 8 | byte_at(bytes, i + 1)
                                         : byte_at(bytes, i + 1) << 8 | byte_at(bytes, i);
        // A surrogate pair is one character beyond Windows-1252: one "?".
        const bool pair = unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size() &&
                          (byte_at(bytes, big_endian ? i + 2 : i + 3) & 0xFC) == 0xDC;
        if (pair) i += 2;
        text += ToWindows1252(unit);
    }
    return text;
}

std::string windows_1252_from_utf8(std::string_view bytes) {
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    std::string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char lead = byte_at(bytes, i);
        const std::size_t length = lead < 0x80            ? 1
                                   : (lead & 0xE0) == 0xC0 ? 2
                                   : (lead & 0xF0) == 0xE0 ? 3
                                   : (lead & 0xF8) == 0xF0 ? 4
                                                           : 0;
        bool valid = length != 0 && i + length <= bytes.size();
        char32_t character = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (byte_at(bytes, i + k) & 0xC0) == 0x80;
            character = character << 6 | (byte_at(bytes, i + k) & 0x3F);
        }
        // A broken or overlong sequence: "?" for its first byte.
        if (!valid || character < kSmallest[length]) {
            text += '?';
            ++i;
            continue;
        }
        text += ToWindows1252(character);
        i += length;
    }
    return text;
}

// The file's text in Windows-1252, as the Windows reader hands it over: a
// file with a byte-order mark is converted (characters the code page lacks
// become "?"), one without keeps its bytes.
std::string windows_1252_text(std::string_view content) {
    if (content.starts_with(kUtf8Bom)) return windows_1252_from_utf8(content.substr(kUtf8Bom.size()));
    if (content.starts_with(kUtf16LeBom)) return windows_1252_from_utf16(content.substr(2), false);
    if (content.starts_with(kUtf16BeBom)) return windows_1252_from_utf16(content.substr(2), true);
    return std::string(content);
}

std::string_view trim_blanks(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// ASCII only: names in Kelvarix.ini are ASCII, and bytes above 127 must not
// reach the locale-dependent <cctype> functions.
std::string lower_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v.remove_prefix(1);
        v.remove_suffix(1);
    }
    return v;
}

std::string cut(std::string_view v) { return std::string(v.substr(0, kIniValueMax)); }

}  // namespace

bool IniNamesMatch(std::string_view a, std::string_view b) {
    return lower_ascii(a) == lower_ascii(b);
}

std::vector<IniLine> IniFile::outline(std::string_view file_content) {
    std::vector<IniLine> lines;
    const std::string text = windows_1252_text(file_content);
    std::string_view content = text;

    std::string section;
    bool in_section = false;
    for (int number = 1; !content.empty(); ++number) {
        const std::size_t end = content.find_first_of("\r\n");
        std::string_view line = content.substr(0, end);
        if (end == std::string_view::npos) {
            content = {};
        } else {
            const bool crlf = content[end] == '\r' && end + 1 < content.size() &&
                              content[end + 1] == '\n';
            content.remove_prefix(end + (crlf ? 2 : 1));
        }

        line = trim_blanks(line);
        if (line.empty() || line.front() == ';') continue;

        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            if (close != std::string_view::npos) {
                section = trim_blanks(line.substr(1, close - 1));
                in_section = true;
                lines.push_back({number, true, section, true, {}, {}});
                continue;
            }
            // No "]": not a header, so the line is read like any other.
        }

        const std::size_t eq = line.find('=');
        const std::string_view key = trim_blanks(line.substr(0, eq));
        if (key.empty()) continue;
        std::optional<std::string> value;
        if (eq != std::string_view::npos) {
            value = std::string(unquote(trim_blanks(line.substr(eq + 1))));
        }
        lines.push_back({number, false, section, in_section, std::string(key), std::move(value)});
    }
    return lines;
}

IniFile IniFile::parse(std::string_view file_content) {
    IniFile ini;
    // Keys before the first header, and keys of a repeated section, belong to
    // no section that a lookup can reach.
    Section* current = nullptr;
    for (IniLine& line : outline(file_content)) {
        if (line.header) {
            auto [it, inserted] = ini.sections_.try_emplace(lower_ascii(line.section));
            current = inserted ? &it->second : nullptr;
        } else if (current != nullptr) {
            // A line without "=" names a key without a value: its lookups give
            // the default, and it hides later keys of the same name.
            if (line.value) line.value = cut(*line.value);
            current->try_emplace(lower_ascii(line.key), std::move(line.value));
        }
    }
    return ini;
}

std::optional<std::string> IniFile::read(const std::string& path) {
    // Only regular files: a folder or a device such as /dev/zero must not be
    // read as settings.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;

    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        content.append(buffer, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) return std::nullopt;
    return content;
}

std::optional<IniFile> IniFile::load(const std::string& path) {
    const auto content = read(path);
    if (!content) return std::nullopt;
    return parse(*content);
}

std::optional<std::string> IniFile::find(std::string_view section, std::string_view key) const {
    const auto s = sections_.find(lower_ascii(section));
    if (s == sections_.end()) return std::nullopt;
    const auto k = s->second.find(lower_ascii(key));
    if (k == s->second.end()) return std::nullopt;
    return k->second;  // nothing for a key without a value
}

std::string IniFile::get(std::string_view section, std::string_view key,
                         std::string_view default_text) const {
    if (auto value = find(section, key)) return std::move(*value);
    return cut(default_text);
}

}  // namespace kelvarix
