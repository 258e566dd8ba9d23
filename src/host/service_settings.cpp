#include "host/service_settings.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "host/ini_reader.h"

namespace kelvarix {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string LowerName(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

struct Line {
    std::string_view text;
    std::string_view ending;  // "\r\n", "\n", "\r" or "" at the end of the content
};

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    while (!content.empty()) {
        const std::size_t end = content.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            lines.push_back({content, {}});
            break;
        }
        const std::size_t length = content.compare(end, 2, "\r\n") == 0 ? 2 : 1;
        lines.push_back({content.substr(0, end), content.substr(end, length)});
        content.remove_prefix(end + length);
    }
    return lines;
}

}  // namespace

std::string WithIniValue(std::string_view content, std::string_view section,
                         std::string_view key, std::string_view value) {
    std::string bom;
    if (content.starts_with(kUtf8Bom)) {
        bom = kUtf8Bom;
        content.remove_prefix(kUtf8Bom.size());
    }
    const std::vector<Line> lines = SplitLines(content);
    const std::string newline = content.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    const std::string key_line = std::string(key) + "=" + std::string(value);

    // The same reading as IniFile: only the first section of a name counts.
    std::set<std::string> seen_sections;
    bool in_target = false;
    std::optional<std::size_t> section_end;  // the line after which a new key goes
    std::optional<std::size_t> key_at;
    for (std::size_t i = 0; i < lines.size() && !key_at; ++i) {
        const std::string_view text = TrimBlanks(lines[i].text);
        if (text.empty()) continue;
        if (text.front() == ';') {
            if (in_target) section_end = i;
            continue;
        }
        if (text.front() == '[') {
            const std::size_t close = text.find(']');
            if (close != std::string_view::npos) {
                const std::string name = LowerName(TrimBlanks(text.substr(1, close - 1)));
                in_target = seen_sections.insert(name).second && SameName(name, section);
                if (in_target) section_end = i;
                continue;
            }
        }
        if (!in_target) continue;
        section_end = i;
        const std::size_t eq = text.find('=');
        if (eq != std::string_view::npos && SameName(TrimBlanks(text.substr(0, eq)), key)) key_at = i;
    }

    std::string out = bom;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (key_at == i) {
            out += key_line;
        } else {
            out += lines[i].text;
        }
        out += lines[i].ending;
        if (!key_at && section_end == i) {
            if (lines[i].ending.empty()) out += newline;
            out += key_line + newline;
        }
    }
    if (!section_end) {
        if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += newline;
        out += "[" + std::string(section) + "]" + newline + key_line + newline;
    }
    return out;
}

std::string ServiceSettingsStore::Read(std::string_view section, std::string_view key,
                                       std::string_view default_text) const {
    return ReadIniString(section, key, default_text, path_);
}

bool ServiceSettingsStore::Write(std::string_view section, std::string_view key,
                                 std::string_view value) const {
    std::optional<std::string> content;
    if (!Load(content)) return false;  // rewriting what we cannot read would lose it
    return Replace(WithIniValue(content.value_or(""), section, key, value));
}

std::optional<std::string> ServiceSettingsStore::Snapshot() const {
    std::optional<std::string> content;
    Load(content);
    return content;
}

bool ServiceSettingsStore::Load(std::optional<std::string>& content) const {
    std::error_code ec;
    if (!std::filesystem::exists(path_, ec)) {
        content.reset();
        return !ec;
    }
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    content.emplace(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool ServiceSettingsStore::Restore(const std::optional<std::string>& snapshot) const {
    if (snapshot) return Replace(*snapshot);
    std::error_code ec;
    std::filesystem::remove(path_, ec);
    return !ec;
}

bool ServiceSettingsStore::Replace(std::string_view content) const {
    const std::string temporary = path_ + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out.flush()) {
            out.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path_, ec);
    if (!ec) return true;
    std::filesystem::remove(temporary, ec);
    return false;
}

}  // namespace kelvarix
