#include "log_files.h"

#include <cstdio>
#include <filesystem>
#include <map>

namespace kelvarix::trace {

namespace fs = std::filesystem;

std::optional<std::vector<LogDay>> FindLogDays(const std::string& folder, const std::string& from,
                                               const std::string& to) {
    std::error_code error;
    fs::directory_iterator it(fs::path(folder), error);
    if (error) return std::nullopt;
    std::map<std::string, LogDay> days;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error) return std::nullopt;
        const std::string name = it->path().filename().string();
        // "????-??-??.Log" and ".Dbg"; the case of the extension as the gateway writes it.
        if (name.size() != 14 || name[4] != '-' || name[7] != '-' || name[10] != '.') continue;
        const std::string date = name.substr(0, 10);
        const std::string extension = name.substr(11);
        if ((!from.empty() && date < from) || (!to.empty() && date > to)) continue;
        if (extension == "Log") {
            days[date].system_log = it->path().string();
        } else if (extension == "Dbg") {
            days[date].traffic_log = it->path().string();
        } else {
            continue;
        }
        days[date].date = date;
    }
    std::vector<LogDay> out;
    for (auto& [date, day] : days) out.push_back(std::move(day));
    return out;
}

std::string ReadWhole(const std::string& path) {
    std::string text;
    std::error_code error;
    const auto size = fs::file_size(fs::path(path), error);
    std::FILE* file = error ? nullptr : std::fopen(path.c_str(), "rb");
    if (file == nullptr) return text;
    // In one read: a month of logs is several hundred megabytes.
    text.resize(static_cast<std::size_t>(size));
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

}  // namespace kelvarix::trace
