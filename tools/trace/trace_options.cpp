#include "trace_options.h"

#include <cctype>

namespace kelvarix::trace {

const char* const kHelpText = R"(kelvarix-trace: an alarm's life, read from the gateway's daily logs.

Usage: kelvarix-trace ALARMID [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--dir LOGFOLDER]

Reads the system logs (YYYY-MM-DD.Log) and traffic logs (YYYY-MM-DD.Dbg)
and prints one line per step with its time: received from the alarm server,
reply, held back or thrown, SA and the PBX's answer, acknowledged at a
terminal, MCA, acknowledged by the alarm server, DA, removed from the queue,
and gaps such as a command the PBX did not answer. Each day's steps are
shown apart, and so is an alarm that comes again after it left the queue.

  --from DATE   first day to read (default: the oldest log)
  --to DATE     last day to read (default: the newest log)
  --dir FOLDER  the log folder (default: LogFiles of the program folder,
                or of $KELVARIX_HOME when set); for a copy sent in
  -h, --help    this text

Read-only. Exit status: 0 the alarm was found, 1 it appears in no log of
the days read, 2 unusable command line or log folder.
)";

namespace {

bool IsDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    const int month = std::stoi(text.substr(5, 2));
    const int day = std::stoi(text.substr(8, 2));
    return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

}  // namespace

Parsed ParseOptions(const std::vector<std::string>& arguments) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return {options, {}};
        }
        if (arg == "--from" || arg == "--to" || arg == "--dir") {
            if (i + 1 >= arguments.size()) return {std::nullopt, arg + " needs a value"};
            const std::string& value = arguments[++i];
            if (arg != "--dir" && !IsDate(value)) {
                return {std::nullopt, arg + ": expected YYYY-MM-DD, got '" + value + "'"};
            }
            (arg == "--from" ? options.from : arg == "--to" ? options.to : options.dir) = value;
        } else if (arg.starts_with("--")) {
            return {std::nullopt, "unknown option " + arg};
        } else if (options.alarm_id.empty() && !arg.empty()) {
            options.alarm_id = arg;
        } else {
            return {std::nullopt, "one alarm id only"};
        }
    }
    if (options.alarm_id.empty()) return {std::nullopt, "no alarm id given"};
    if (!options.from.empty() && !options.to.empty() && options.to < options.from) {
        return {std::nullopt, "--to lies before --from"};
    }
    return {options, {}};
}

}  // namespace kelvarix::trace
