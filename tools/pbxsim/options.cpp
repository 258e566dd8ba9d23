#include "options.h"

#include <charconv>
#include <limits>

#include "text.h"

namespace kelvarix::pbxsim {

namespace {

template <typename T>
std::optional<T> parse_unsigned(std::string_view text, T minimum = 0) {
    T value{};
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || value < minimum) return std::nullopt;
    return value;
}

struct Parser {
    explicit Parser(std::span<const std::string_view> all) : args(all) {}

    std::span<const std::string_view> args;
    std::size_t next = 0;
    Options options;
    std::string error;

    bool fail(std::string message) {
        error = std::move(message);
        return false;
    }

    // The value of an option, given as "--name value" or "--name=value".
    std::optional<std::string_view> value(std::string_view name,
                                          std::optional<std::string_view> inline_value) {
        if (inline_value) return inline_value;
        if (next < args.size()) return args[next++];
        fail(std::string{name} + " needs a value");
        return std::nullopt;
    }

    template <typename T>
    bool number(std::string_view name, std::optional<std::string_view> inline_value, T& out,
                T minimum = 0) {
        const auto text = value(name, inline_value);
        if (!text) return false;
        const auto parsed = parse_unsigned<T>(*text, minimum);
        if (!parsed) {
            return fail(std::string{name} + ": '" + std::string{*text} +
                        "' is not a whole number of at least " + std::to_string(minimum));
        }
        out = *parsed;
        return true;
    }

    bool millis(std::string_view name, std::optional<std::string_view> inline_value, Millis& out,
                unsigned minimum = 0) {
        unsigned ms = 0;
        if (!number(name, inline_value, ms, minimum)) return false;
        out = Millis{ms};
        return true;
    }

    bool millis(std::string_view name, std::optional<std::string_view> inline_value,
                std::optional<Millis>& out, unsigned minimum = 0) {
        Millis ms{};
        if (!millis(name, inline_value, ms, minimum)) return false;
        out = ms;
        return true;
    }

    bool reply(std::optional<std::string_view> inline_value) {
        const auto text = value("--reply", inline_value);
        if (!text) return false;
        const auto equals = text->find('=');
        const auto keyword = equals == std::string_view::npos
                                 ? std::string{}
                                 : to_upper(trim_spaces(text->substr(0, equals)));
        if (keyword.empty())
            return fail("--reply: expected KEYWORD=MODE, got '" + std::string{*text} + "'");
        const auto mode = parse_reply_mode(text->substr(equals + 1));
        if (!mode) {
            return fail("--reply: unknown mode '" + std::string{text->substr(equals + 1)} +
                        "' (ack, nack, none, delay:MS, delay:MS:nack)");
        }
        if (keyword == "*") {
            options.session.default_reply = *mode;
        } else {
            options.session.replies[keyword] = *mode;
        }
        return true;
    }

    bool one() {
        std::string_view arg = args[next++];
        std::optional<std::string_view> inline_value;
        if (arg.starts_with("--")) {
            if (const auto equals = arg.find('='); equals != std::string_view::npos) {
                inline_value = arg.substr(equals + 1);
                arg = arg.substr(0, equals);
            }
        }
        auto& s = options.session;
        const auto flag = [&](bool& target) {
            if (inline_value) return fail(std::string{arg} + " takes no value");
            target = true;
            return true;
        };
        const auto text = [&](std::string& target) {
            const auto v = value(arg, inline_value);
            if (v) target = *v;
            return v.has_value();
        };
        bool on = false;

        if (arg == "--help" || arg == "-h") return flag(options.help);
        if (arg == "--port") return number(arg, inline_value, options.port);
        if (arg == "--bind") return text(options.bind);
        if (arg == "--quiet") return flag(options.quiet);
        if (arg == "--stamps") return text(options.stamps_path);
        if (arg == "--user") return text(s.user);
        if (arg == "--password") return text(s.password);
        if (arg == "--reply") return reply(inline_value);
        if (arg == "--auto-ack") return millis(arg, inline_value, s.auto_ack);
        if (arg == "--auto-read") return millis(arg, inline_value, s.auto_read);
        if (arg == "--ack-terminal") return text(s.ack_terminal);
        if (arg == "--send-hb") return millis(arg, inline_value, s.send_heartbeat, 1);
        if (arg == "--prompt-delay") return millis(arg, inline_value, s.prompt_delay);
        if (arg == "--flap") return millis(arg, inline_value, s.flap, 1);
        if (arg == "--flood-bytes") return number(arg, inline_value, s.flood_bytes);
        if (arg == "--drop-after") {
            unsigned n = 0;
            if (!number(arg, inline_value, n, 1u)) return false;
            s.drop_after = n;
            return true;
        }
        if (arg == "--no-heartbeat-check") {
            if (!flag(on)) return false;
            s.heartbeat_check = false;
            return true;
        }
        if (arg == "--no-prompt") {
            if (!flag(on)) return false;
            s.prompt = false;
            return true;
        }
        if (arg == "--refuse-login") return flag(s.refuse_login);
        if (arg == "--late-reply") return flag(s.late_reply);
        return fail("unknown option '" + std::string{arg} + "'");
    }
};

}  // namespace

ParsedOptions parse_options(std::span<const std::string_view> args) {
    Parser parser(args);
    while (parser.next < args.size()) {
        if (!parser.one()) return {std::nullopt, parser.error};
    }
    return {std::move(parser.options), {}};
}

std::string help_text(std::string_view program) {
    std::string text = "Usage: " + std::string{program} + " [options]\n";
    text += R"(
Simulates the PBX end of the ATAS link: it listens for the Kelvarix gateway,
asks for user name and password, answers commands with "ack" or "nack", and
can acknowledge alarms from a terminal. One connection at a time: a new
connection replaces the open one, and after a drop it waits for the next.

Listening
  --port N             TCP port to listen on; 0 (default) picks a free one
  --bind ADDR          address to listen on (default 127.0.0.1)

Login
  --user U             expected user name (default kelvarix)
  --password P         expected password (default kelvarix)
  A wrong user name or password is answered with "SORRY," and a hang-up.

Replies
  --reply KEYWORD=MODE how to answer a command keyword (repeatable; the
                       keyword ignores case). MODE is one of:
                         ack            answer "ack" at once (the default)
                         nack           answer "nack" at once
                         none           never answer
                         delay:MS       answer "ack" after MS milliseconds
                         delay:MS:nack  answer "nack" after MS milliseconds
                       KEYWORD * sets the mode of every other keyword.
                       Replies go out in the order of the commands, so a
                       delayed reply holds back the replies behind it; a
                       command set to none holds back nothing. HB and PA
                       are never answered.
  --late-reply         hold each command's reply until the next command
                       (not HB or PA) arrives, then send it, before that
                       command is handled, as its mode says (a delay counts
                       from then). The gateway thus gets each reply while
                       it waits for the next command; the reply to the
                       last command is never sent.

Terminal operations
  --auto-ack MS        after answering "ack" to an SA, send
                       OPM<TAB>AlarmId<TAB>Destination<TAB>2<TAB>TermId
                       (the terminal acknowledged the alarm) MS ms later
  --auto-read MS       likewise OPM with code 1 (the terminal read the
                       alarm) MS ms after the "ack"; choose it smaller than
                       --auto-ack to read before acknowledging
  --ack-terminal T     TermId for an SA without a terminal (default T1)
  An accepted DA cancels the pending operations of its alarm and
  destination; an accepted RESET cancels all of them.

Heartbeat
  After an accepted "HBC<TAB>n" the link is dropped when no line (HB or
  any other) arrives for n seconds; an accepted ATE1 or HBC 0 ends the
  check.
  --no-heartbeat-check never drop the link for a missing heartbeat
  --send-hb MS         send "HB" every MS ms once logged in

Faults (for tests; each applies to every connection)
  --no-prompt          accept the connection but never prompt
  --prompt-delay MS    send the USERNAME: prompt MS ms after accepting
  --refuse-login       answer every login with "SORRY," and hang up
  --drop-after N       hang up when the Nth command arrives, unanswered
                       (HB is not counted)
  --flap MS            hang up MS ms after each connection is accepted
  --flood-bytes N      after "ATAS_OK", send N bytes of 'X' without CR

Output
  Standard output shows one line per event, written at once:
    listening <port>          first line, once the port is open
    connected <addr>:<port>   a gateway connected
    recv: <line>              each line from the gateway (the login lines
                              too), without its CR
    send: <text>              each prompt or line to the gateway, without
                              its CR
    login ok | login refused
    heartbeat check: <n> s | heartbeat check: off
    flood: <N> bytes
    dropped: <reason>         the simulator hangs up: heartbeat timeout,
                              after command <N>, flap, replaced by a new
                              connection, line longer than <N> bytes
    error: <message>          a socket error
    closed                    the connection is gone, whoever ended it
    not sent, no connection: <line>
    stopped                   on SIGINT or SIGTERM
  Characters below 32 are shown as <N>: a TAB is <9>.
  --quiet              leave out the recv: and send: lines
  --stamps FILE        write "<AlarmId> <ns>" to FILE for each SA received:
                       the steady clock's nanoseconds when its bytes were
                       read (for latency measurements across processes)
  -h, --help           show this text

Typing
  Each line typed on standard input is sent to the gateway as it stands,
  followed by CR. \t stands for TAB. End of input does not stop the
  simulator; SIGINT (Ctrl-C) or SIGTERM does.

Example (commissioning): point the gateway's ATAS address and port at this
machine, port 5000, with its configured credentials; acknowledge each alarm
from terminal T7 two seconds after accepting it:
  )";
    text += program;
    text += R"( --bind 0.0.0.0 --port 5000 --user atas --password secret \
      --auto-ack 2000 --ack-terminal T7
Then type  OPM\t4711\t2001\t2\tT1  to acknowledge alarm 4711 of
destination 2001 from terminal T1 by hand.
)";
    return text;
}

}  // namespace kelvarix::pbxsim
