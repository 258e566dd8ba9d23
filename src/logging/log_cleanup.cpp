#include "logging/log_cleanup.h"

#include <cctype>

#include "platform/files.h"

namespace kelvarix {

namespace {
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

std::string ToUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Upper(c);
    return out;
}

// The number at the start of a piece of text; 0 when it starts otherwise.
int LeadingNumber(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool AllDigits(std::string_view text) {
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return !text.empty();
}
}  // namespace

int LogFileAgeDays(const LocalTime& today, int year, int month, int day) {
    return (today.year - year) * 365 + (today.month - month) * 30 + (today.day - day);
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
    // Classic wildcard walk with one backtrack point for "*".
    std::size_t n = 0, p = 0, star = std::string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || Upper(pattern[p]) == Upper(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

void LogFileCleanup(std::string_view pattern, std::int16_t LogFileDays, const Clock& clock,
                    Logger& logger) {
    const std::string& folder = logger.Folder();
    const LocalTime today = clock.now();
    const std::vector<std::string> listing = ListOrdinaryFiles(folder);
    for (const std::string& listed : listing) {
        if (!MatchesPattern(listed, pattern)) continue;
        const std::string name = ToUpper(listed);
        const std::string base = name.substr(0, name.find('.'));
        if (base.size() != 10 || !AllDigits(std::string_view(base).substr(0, 4))) continue;
        const int year = LeadingNumber(std::string_view(base).substr(0, 4));
        const int month = LeadingNumber(std::string_view(base).substr(5, 2));
        const int day = LeadingNumber(std::string_view(base).substr(8, 2));
        if (LogFileAgeDays(today, year, month, day) <= LogFileDays) continue;

        // The files are written as .Log and .Dbg; on a case-sensitive file
        // system each day's files are found by name without regard to case.
        const std::string log_upper = base + ".LOG";
        const std::string dbg_upper = base + ".DBG";
        for (const std::string& upper : {log_upper, dbg_upper}) {
            for (const std::string& actual : listing) {
                if (ToUpper(actual) != upper) continue;
                ClearAttributes(folder + actual);
                RemoveFile(folder + actual);
            }
        }
        logger.WriteSystemLog("Performed Log File Cleanup (killed " + folder + log_upper + ")");
    }
}

}  // namespace kelvarix
