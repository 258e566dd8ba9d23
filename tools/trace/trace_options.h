#pragma once
// The command line of kelvarix-trace.
#include <optional>
#include <string>
#include <vector>

namespace kelvarix::trace {

struct Options {
    std::string alarm_id;
    std::string from;  // YYYY-MM-DD, "" for no limit
    std::string to;
    std::string dir;   // "" for LogFiles of the program folder
    bool help = false;
};

// The options, or the reason the command line cannot be used.
struct Parsed {
    std::optional<Options> options;
    std::string error;
};
Parsed ParseOptions(const std::vector<std::string>& arguments);

extern const char* const kHelpText;

}  // namespace kelvarix::trace
