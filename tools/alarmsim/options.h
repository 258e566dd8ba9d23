#pragma once
// Command line of kelvarix-alarmsim.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kelvarix::alarmsim {

enum class Mode { lines, load, baseline };

// Where the lines of the lines mode come from, in command-line order.
struct LineSource {
    enum class Kind { line, file, standard_input };
    Kind kind = Kind::line;
    std::string text;  // the line itself, or the file name
    friend bool operator==(const LineSource&, const LineSource&) = default;
};

struct Options {
    Mode mode = Mode::lines;
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    std::vector<LineSource> sources;  // empty: standard input
    unsigned interval_ms = 0;
    unsigned wait_ms = 5000;
    unsigned keep_open_ms = 0;

    std::uint64_t count = 0;  // alarms of --load, round trips of --baseline
    std::string destination = "2001";
    std::size_t text_bytes = 100;
    double repeat_share = 0;
    std::size_t window = 1;  // 0: unlimited
    double rate = 0;         // alarms per second; 0: closed loop on the window
    std::string stamps_path;  // load mode: where to note when each alarm went out

    bool json = false;
    bool help = false;
};

// Options, or the message that explains what is wrong with the command line.
std::variant<Options, std::string> parse_options(const std::vector<std::string>& args);

extern const char* const kHelpText;

// Exit status for a command line that cannot be used.
constexpr int kExitUsage = 64;

}  // namespace kelvarix::alarmsim
