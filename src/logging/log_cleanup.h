#pragma once
// Removal of the daily log files of days that lie more than LogFileDays back.
#include <cstdint>
#include <string>
#include <string_view>

#include "logging/logger.h"
#include "platform/clock.h"

namespace kelvarix {

// Age of a day in the cleanup's reckoning: years of 365 days and months of 30.
int LogFileAgeDays(const LocalTime& today, int year, int month, int day);

// Matches a file name against a pattern in which "?" is any one character
// and "*" any run of characters, without regard to case.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// Removes both files of every old day whose name matches `pattern` in the
// logger's folder, writing one system-log line per day removed.
void LogFileCleanup(std::string_view pattern, std::int16_t LogFileDays, const Clock& clock,
                    Logger& logger);

}  // namespace kelvarix
