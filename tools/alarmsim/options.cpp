#include "options.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

namespace kelvarix::alarmsim {

const char* const kHelpText = R"help(kelvarix-alarmsim: plays the alarm server towards a Kelvarix gateway.

Lines mode: send alarm lines and check that every line of status 0 to 3 gets
exactly one reply.
  kelvarix-alarmsim --port N [--host H] [options] LINE...
  kelvarix-alarmsim --port N --file F
  kelvarix-alarmsim --port N [-]            (lines from standard input until EOF)
Each LINE is sent with an LF appended; "-" stands for standard input and may
sit among other lines; everything after "--" is a line even if it starts with
"--". Arguments starting with a single "-" (a status of -1, say) are lines.
  --file F        send the lines of F (may be given several times)
  --interval MS   pause between lines (default 0)
Every reply is printed as it arrives ("reply: sent (4711)").

Load mode: send N generated alarms 1|0|E<n>|A<n>|<dest>||<text>|T<n>.
  kelvarix-alarmsim --port N --load COUNT [options]
  --dest D          destination field (default 2001)
  --text-bytes B    length of the alarm text (default 100)
  --repeat-share F  share 0..1 of the alarms that reuse an earlier event (default 0)
  --window W        at most W lines awaiting their reply (default 1: one at a
                    time; 0: no limit, lines are pipelined)
  --rate R          open loop instead: R alarms per second on a fixed schedule,
                    latency counted from each alarm's scheduled send time
                    (not with --window)
  --stamps FILE     write "<AlarmId> <ns>" to FILE for each alarm: the steady
                    clock's nanoseconds just before its bytes were handed to
                    the socket (kelvarix-pbxsim --stamps notes when its SA
                    arrived; the two give the time through the gateway)

Baseline mode: the round trip of a plain line over loopback TCP inside this
program (an echo thread answers each alarm-sized line with 4 bytes), one at a
time, TCP_NODELAY on both ends. The limit any one-at-a-time exchange can reach
on this machine.
  kelvarix-alarmsim --baseline COUNT [--text-bytes B] [--dest D] [--rate R]
  --rate R        R round trips per second on a fixed schedule instead of
                  back to back (latency counted from each actual send), to
                  compare with a paced load run under the same conditions

Options of the lines and load modes:
  --host H        gateway address (default 127.0.0.1)
  --port N        gateway port (required)
  --wait MS       give up on outstanding replies when none has come for MS
                  after the last line went out (default 5000)
  --keep-open MS  keep the connection open MS longer after the last reply,
                  still counting what arrives (to catch late or extra replies)
All modes:
  --json          also print the report as one JSON object line
  -h, --help      this text

Report (after the run, one "key: value" per line):
  mode: lines|load|baseline
  lines: <lines sent>
  replies: <received> sent=<n> failed=<n> buffered=<n> other=<n>
  missing: <n>        owed replies that never came
  doubled: <n>        further replies for an identifier already answered
  unexpected: <n>     replies for identifiers never sent with status 0 to 3
  elapsed_s: <seconds from the first line to the last matched reply>
  rate_per_s: <matched replies per second>
  latency_us: p50=<us> p99=<us> max=<us>
Replies are matched by the identifier between the parentheses, oldest line
first for a repeated identifier.

Exit status: 0 every owed reply came exactly once and nothing else came;
1 a reply missing, doubled, unexpected or unreadable; 2 connection error;
64 unusable command line.

Examples:
  kelvarix-alarmsim --port 7000 '1|0|88|4711|2001||Fire alarm room 12|FIRE-2'
  kelvarix-alarmsim --port 7000 --interval 100 --file alarms.txt
  kelvarix-alarmsim --port 7000 --load 10000 --window 0 --json
  kelvarix-alarmsim --port 7000 --load 5000 --rate 500 --repeat-share 0.2
  kelvarix-alarmsim --baseline 20000
)help";

namespace {

constexpr unsigned kLines = 1u << static_cast<unsigned>(Mode::lines);
constexpr unsigned kLoad = 1u << static_cast<unsigned>(Mode::load);
constexpr unsigned kBaseline = 1u << static_cast<unsigned>(Mode::baseline);

struct KnownOption {
    std::string_view name;
    unsigned modes;  // where the option makes sense
    bool takes_value;
};

constexpr KnownOption kOptions[] = {
    {"--host", kLines | kLoad, true},           {"--port", kLines | kLoad, true},
    {"--file", kLines, true},                   {"--interval", kLines, true},
    {"--wait", kLines | kLoad, true},           {"--keep-open", kLines | kLoad, true},
    {"--load", kLoad, true},                    {"--baseline", kBaseline, true},
    {"--dest", kLoad | kBaseline, true},        {"--text-bytes", kLoad | kBaseline, true},
    {"--repeat-share", kLoad, true},            {"--window", kLoad, true},
    {"--rate", kLoad | kBaseline, true},        {"--json", kLines | kLoad | kBaseline, false},
    {"--stamps", kLoad, true},
};

const KnownOption* find_option(std::string_view name) {
    for (const auto& known : kOptions) {
        if (known.name == name) return &known;
    }
    return nullptr;
}

std::optional<std::uint64_t> to_unsigned(std::string_view text, std::uint64_t min, std::uint64_t max) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < min || value > max) return std::nullopt;
    return value;
}

std::optional<double> to_double(std::string_view text, double min, double max) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(value) || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

const char* mode_name(Mode mode) {
    switch (mode) {
        case Mode::lines: return "lines";
        case Mode::load: return "--load";
        case Mode::baseline: return "--baseline";
    }
    return "";
}

// Stores one option's value; returns an error message or nothing.
std::optional<std::string> apply(Options& o, std::string_view name, const std::string& value) {
    constexpr auto kMaxMs = std::uint64_t{24} * 3600 * 1000;
    const auto bad = [&](const char* expected) {
        return std::string(name) + ": expected " + expected + ", got '" + value + "'";
    };
    if (name == "--host") {
        if (value.empty()) return bad("an address");
        o.host = value;
    } else if (name == "--port") {
        const auto v = to_unsigned(value, 1, 65535);
        if (!v) return bad("a port from 1 to 65535");
        o.port = static_cast<std::uint16_t>(*v);
    } else if (name == "--file") {
        o.sources.push_back({LineSource::Kind::file, value});
    } else if (name == "--interval" || name == "--wait" || name == "--keep-open") {
        const auto v = to_unsigned(value, 0, kMaxMs);
        if (!v) return bad("milliseconds");
        (name == "--interval" ? o.interval_ms : name == "--wait" ? o.wait_ms : o.keep_open_ms) = static_cast<unsigned>(*v);
    } else if (name == "--load" || name == "--baseline") {
        const auto v = to_unsigned(value, 1, std::numeric_limits<std::uint32_t>::max());
        if (!v) return bad("a count of at least 1");
        o.count = *v;
    } else if (name == "--dest") {
        if (value.find_first_of("|\r\n") != std::string::npos) return bad("a destination without '|' or line breaks");
        o.destination = value;
    } else if (name == "--text-bytes") {
        const auto v = to_unsigned(value, 0, 1'000'000);
        if (!v) return bad("a length from 0 to 1000000");
        o.text_bytes = static_cast<std::size_t>(*v);
    } else if (name == "--repeat-share") {
        const auto v = to_double(value, 0.0, 1.0);
        if (!v) return bad("a share from 0 to 1");
        o.repeat_share = *v;
    } else if (name == "--window") {
        const auto v = to_unsigned(value, 0, std::numeric_limits<std::uint32_t>::max());
        if (!v) return bad("a number of lines (0: no limit)");
        o.window = static_cast<std::size_t>(*v);
    } else if (name == "--rate") {
        const auto v = to_double(value, 0.001, 1e9);
        if (!v) return bad("alarms per second above 0");
        o.rate = *v;
    } else if (name == "--stamps") {
        if (value.empty()) return bad("a file name");
        o.stamps_path = value;
    }
    return std::nullopt;
}

}  // namespace

std::variant<Options, std::string> parse_options(const std::vector<std::string>& args) {
    Options o;
    std::vector<const KnownOption*> used;
    bool lines_only = false;
    bool load = false;
    bool baseline = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (lines_only) {
            o.sources.push_back({LineSource::Kind::line, arg});
            continue;
        }
        if (arg == "--") {
            lines_only = true;
        } else if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "-") {
            o.sources.push_back({LineSource::Kind::standard_input, {}});
        } else if (!arg.starts_with("--")) {
            o.sources.push_back({LineSource::Kind::line, arg});
        } else {
            const auto eq = arg.find('=');
            const std::string name = arg.substr(0, eq);
            const KnownOption* known = find_option(name);
            if (known == nullptr) return "unknown option " + name;
            std::string value;
            if (eq != std::string::npos) {
                if (!known->takes_value) return name + " takes no value";
                value = arg.substr(eq + 1);
            } else if (known->takes_value) {
                if (i + 1 == args.size()) return name + " needs a value";
                value = args[++i];
            }
            if (name == "--json") o.json = true;
            if (auto error = apply(o, name, value)) return *error;
            load = load || name == "--load";
            baseline = baseline || name == "--baseline";
            used.push_back(known);
        }
    }
    if (o.help) return o;

    if (load && baseline) return "--load and --baseline are separate runs";
    o.mode = load ? Mode::load : baseline ? Mode::baseline : Mode::lines;
    const unsigned mode_bit = 1u << static_cast<unsigned>(o.mode);
    for (const KnownOption* known : used) {
        if ((known->modes & mode_bit) == 0) return std::string(known->name) + " does not apply to " + mode_name(o.mode);
    }
    if (o.mode != Mode::lines && !o.sources.empty()) {
        return std::string("alarm lines do not apply to ") + mode_name(o.mode);
    }
    if (o.mode != Mode::baseline && o.port == 0) return "--port is required";
    bool window_given = false;
    bool rate_given = false;
    for (const KnownOption* known : used) {
        window_given = window_given || known->name == "--window";
        rate_given = rate_given || known->name == "--rate";
    }
    if (window_given && rate_given) return "--rate runs open loop; it does not go with --window";
    return o;
}

}  // namespace kelvarix::alarmsim
