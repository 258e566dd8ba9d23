#include "platform/ini_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace kelvarix {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

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

IniFile IniFile::parse(std::string_view content) {
    IniFile ini;
    if (content.starts_with(kUtf8Bom)) content.remove_prefix(kUtf8Bom.size());

    // Keys before the first header, and keys of a repeated section, belong to
    // no section that a lookup can reach.
    Section* current = nullptr;
    while (!content.empty()) {
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
                auto [it, inserted] =
                    ini.sections_.try_emplace(lower_ascii(trim_blanks(line.substr(1, close - 1))));
                current = inserted ? &it->second : nullptr;
                continue;
            }
            // No "]": not a header, so the line is read like any other.
        }

        if (current == nullptr) continue;
        // A line without "=" names a key without a value: its lookups give
        // the default, and it hides later keys of the same name.
        const std::size_t eq = line.find('=');
        const std::string_view key = trim_blanks(line.substr(0, eq));
        if (key.empty()) continue;
        std::optional<std::string> value;
        if (eq != std::string_view::npos) value = cut(unquote(trim_blanks(line.substr(eq + 1))));
        current->try_emplace(lower_ascii(key), std::move(value));
    }
    return ini;
}

std::optional<IniFile> IniFile::load(const std::string& path) {
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
    return parse(content);
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
