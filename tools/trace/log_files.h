#pragma once
// The days the log folder holds, and reading a file whole.
#include <optional>
#include <string>
#include <vector>

namespace kelvarix::trace {

struct LogDay {
    std::string date;  // YYYY-MM-DD
    std::string system_log;   // path of YYYY-MM-DD.Log, "" when missing
    std::string traffic_log;  // path of YYYY-MM-DD.Dbg, "" when missing
};

// The days in the folder between from and to (inclusive; "" for no limit),
// oldest first. Nothing when the folder cannot be read.
std::optional<std::vector<LogDay>> FindLogDays(const std::string& folder, const std::string& from,
                                               const std::string& to);

// The file's bytes; "" when it cannot be read.
std::string ReadWhole(const std::string& path);

}  // namespace kelvarix::trace
