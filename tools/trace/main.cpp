// kelvarix-trace ALARMID [--from DATE] [--to DATE] [--dir FOLDER]
#include <cstdio>
#include <string>
#include <vector>

#include "day_trace.h"
#include "log_files.h"
#include "platform/program_folder.h"
#include "trace_options.h"

using namespace kelvarix::trace;

int main(int argc, char** argv) {
    const Parsed parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::fprintf(stderr, "kelvarix-trace: %s (see --help)\n", parsed.error.c_str());
        return 2;
    }
    const Options& options = *parsed.options;
    if (options.help) {
        std::fputs(kHelpText, stdout);
        return 0;
    }
    const std::string folder =
        options.dir.empty() ? kelvarix::ProgramFolder() + "LogFiles" : options.dir;
    const auto days = FindLogDays(folder, options.from, options.to);
    if (!days) {
        std::fprintf(stderr, "kelvarix-trace: cannot read the log folder %s\n", folder.c_str());
        return 2;
    }
    bool found = false;
    for (const LogDay& day : *days) {
        const std::string system_log = ReadWhole(day.system_log);
        const std::string traffic_log = ReadWhole(day.traffic_log);
        for (const auto& life : SplitLives(TraceDay(options.alarm_id, system_log, traffic_log))) {
            std::printf("%sAlarm %s on %s:\n", found ? "\n" : "", options.alarm_id.c_str(),
                        day.date.c_str());
            found = true;
            for (const Step& step : life) {
                std::printf("  %s  %s\n", step.time.c_str(), step.text.c_str());
            }
        }
    }
    if (!found) {
        std::printf("Alarm %s appears in no log of %zu day(s) in %s\n", options.alarm_id.c_str(),
                    days->size(), folder.c_str());
    }
    return found ? 0 : 1;
}
