// The check of the file's layout: sections and keys that no lookup reads,
// and the known name that a misspelt one was probably meant to be.
#include <algorithm>
#include <cstdint>

#include "host/config_check.h"

namespace kelvarix {
namespace {

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Edits (insert, delete, replace) that turn one name into the other, ignoring case.
std::size_t Distance(std::string_view a, std::string_view b) {
    const std::string x = Lower(a);
    const std::string y = Lower(b);
    std::vector<std::size_t> row(y.size() + 1);
    for (std::size_t j = 0; j <= y.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= y.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[y.size()];
}

// Close enough to be a misspelling of the known name.
bool Near(std::string_view written, std::string_view known) {
    return Distance(written, known) <= std::max<std::size_t>(2, known.size() / 3);
}

}  // namespace

bool ConfigCheck::KnownSection(std::string_view section) const {
    return std::any_of(keys_.begin(), keys_.end(),
                       [&](const Shown& k) { return IniNamesMatch(k.section, section); });
}

std::string ConfigCheck::SectionSuggestion(std::string_view section) const {
    for (const Shown& k : keys_) {
        if (Near(section, k.section)) return " (did you mean [" + k.section + "]?)";
    }
    return {};
}

std::string ConfigCheck::KeySuggestion(std::string_view section, std::string_view key) const {
    const Shown* best = nullptr;
    std::size_t best_distance = SIZE_MAX;
    for (const Shown& k : keys_) {
        const std::size_t distance = Distance(key, k.key);
        if (distance < best_distance) {
            best = &k;
            best_distance = distance;
        }
    }
    if (best == nullptr || !Near(key, best->key)) return {};
    if (IniNamesMatch(best->section, section)) return "; did you mean " + best->key + "?";
    if (best_distance == 0) return "; it belongs in [" + best->section + "]";
    return "; did you mean " + best->key + " in [" + best->section + "]?";
}

void ConfigCheck::CheckLayout() {
    std::vector<const IniLine*> headers;  // the first of each name
    std::vector<const IniLine*> keys;     // the first of each name in a section read
    bool read = false;                    // the current section is one a lookup reads
    for (const IniLine& line : lines_) {
        const auto same_key = [&](const IniLine* k) {
            return IniNamesMatch(k->section, line.section) && IniNamesMatch(k->key, line.key);
        };
        const auto same_section = [&](const IniLine* h) {
            return IniNamesMatch(h->section, line.section);
        };
        if (line.header) {
            const auto first = std::find_if(headers.begin(), headers.end(), same_section);
            read = false;
            if (!KnownSection(line.section)) {
                AddAt(Severity::Warning, line.number, line.section, "",
                      "the gateway reads no such section" + SectionSuggestion(line.section) +
                          ": the keys under it are never read");
            } else if (first != headers.end()) {
                AddAt(Severity::Warning, line.number, line.section, "",
                      "is given again: only the first, at line " +
                          std::to_string((*first)->number) +
                          ", is read; the keys under this one are never read");
            } else {
                headers.push_back(&line);
                read = true;
            }
        } else if (!line.in_section) {
            AddAt(Severity::Warning, line.number, "", line.key,
                  "stands before any section: never read");
        } else if (!read) {
            // Said at the section's header.
        } else if (Find(line.section, line.key) == nullptr) {
            AddAt(Severity::Warning, line.number, line.section, line.key,
                  "the gateway never reads this key" + KeySuggestion(line.section, line.key));
        } else if (const auto first = std::find_if(keys.begin(), keys.end(), same_key);
                   first != keys.end()) {
            AddAt(Severity::Warning, line.number, line.section, line.key,
                  "is given again: only the first, at line " + std::to_string((*first)->number) +
                      ", is read");
        } else {
            keys.push_back(&line);
            if (!line.value) {
                AddAt(Severity::Warning, line.number, line.section, line.key,
                      "has no \"=\": read as missing, so the default applies");
            }
        }
    }
}

}  // namespace kelvarix
