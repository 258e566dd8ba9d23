#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "session.h"

namespace kelvarix::pbxsim {
namespace {

using namespace std::chrono_literals;
using Answer = ReplyMode::Answer;

const TimePoint t0 = TimePoint{} + 1h;

// Bytes from the gateway at a moment after the connection was accepted; no
// bytes: the timer fires then.
struct Step {
    Millis at;
    std::string bytes;
};

struct Script {
    const char* name;
    SessionConfig config;
    std::vector<Step> steps;
    std::string transcript;  // what the simulator prints, plus "(close)" and "(N bytes)"
    std::optional<Millis> next_deadline;
};

constexpr const char* kLogin = "kelvarix\rkelvarix\r";
const std::string kLoggedIn =
    "send: USERNAME:\nrecv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix\nsend: ATAS_OK\nlogin ok\n";

std::string Play(const Script& script, Session& session) {
    std::string transcript;
    const auto note = [&](const std::vector<Action>& actions) {
        for (const Action& action : actions) {
            if (action.kind == Action::Kind::close) transcript += "(close)\n";
            if (action.kind == Action::Kind::send_unlogged) {
                transcript += "(" + std::to_string(action.text.size()) + " bytes)\n";
            }
            if (const auto line = output_line(action, false)) transcript += *line + "\n";
        }
    };
    note(session.start(t0));
    for (const Step& step : script.steps) {
        note(step.bytes.empty() ? session.on_timer(t0 + step.at)
                                : session.on_data(step.bytes, t0 + step.at));
    }
    return transcript;
}

TEST(PbxSimSession, Scripts) {
    const SessionConfig auto_operations{.auto_read = 20ms, .auto_ack = 50ms, .ack_terminal = "T7"};
    SessionConfig delayed_sa = auto_operations;
    delayed_sa.replies["SA"] = {Answer::ack, 100ms};
    SessionConfig refused_sa = auto_operations;
    refused_sa.replies["SA"] = {Answer::nack, 0ms};
    const std::vector<Script> scripts = {
        {"credentials split across reads, LF ignored",
         {},
         {{0ms, "kelv"}, {0ms, "arix\r"}, {0ms, "kelvarix\n\r"}},
         kLoggedIn,
         std::nullopt},
        {"wrong password, and what follows is not read",
         {},
         {{0ms, "kelvarix\rkelvarix \rSA\t1\t2\tx\r"}, {0ms, "ATE0\r"}},
         "send: USERNAME:\nrecv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix \nsend: SORRY,\nlogin "
         "refused\n(close)\n",
         std::nullopt},
        {"--refuse-login",
         {.refuse_login = true},
         {{0ms, kLogin}},
         "send: USERNAME:\nrecv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix\nsend: SORRY,\nlogin "
         "refused\n(close)\n",
         std::nullopt},
        {"--prompt-delay",
         {.prompt_delay = 300ms},
         {{299ms, ""}, {300ms, ""}},
         "send: USERNAME:\n",
         std::nullopt},
        {"--no-prompt",
         {.prompt = false},
         {{0ms, kLogin}},
         "recv: kelvarix\nrecv: kelvarix\n",
         std::nullopt},
        {"replies by keyword in any case; none for HB, PA, empty lines and a keyword set to none",
         {.replies = {{"SM", {Answer::nack, 0ms}}, {"MCA", {Answer::none, 0ms}}}},
         {{0ms, kLogin}, {0ms, "RESET\r sm \tR\rHB\rMCA\t2001\rPA\t2001\tT1\r\rATE0\r"}},
         kLoggedIn +
             "recv: RESET\nsend: ack\nrecv:  sm <9>R\nsend: nack\nrecv: HB\nrecv: MCA<9>2001\n"
             "recv: PA<9>2001<9>T1\nrecv: \nrecv: ATE0\nsend: ack\n",
         std::nullopt},
        {"a delayed reply holds back the ones behind it",
         {.default_reply = {Answer::ack, 0ms}, .replies = {{"SA", {Answer::nack, 100ms}}}},
         {{0ms, kLogin}, {0ms, "SA\t1\t2001\tFire\r"}, {10ms, "RESET\r"}, {99ms, ""}, {100ms, ""}},
         kLoggedIn + "recv: SA<9>1<9>2001<9>Fire\nrecv: RESET\nsend: nack\nsend: ack\n",
         std::nullopt},
        {"--late-reply: each reply goes out when the next command (not HB or PA) arrives",
         {.replies = {{"ATE0", {Answer::nack, 0ms}}}, .late_reply = true},
         {{0ms, kLogin},
          {0ms, "ATE0\r"},
          {0ms, "HB\rPA\t2001\tT1\r"},
          {0ms, "HBC\t60\r"},
          {0ms, "SM\tR\r"}},
         kLoggedIn + "recv: ATE0\nrecv: HB\nrecv: PA<9>2001<9>T1\nrecv: HBC<9>60\nsend: "
                     "nack\nrecv: SM<9>R\n"
                     "send: ack\nheartbeat check: 60 s\n",
         60s},
        {"--auto-read and --auto-ack, with the SA's own terminal or --ack-terminal",
         auto_operations,
         {{0ms, kLogin},
          {0ms, "SA\t4711\t2001\tFire\r"},
          {1ms, "SA\t4712\t2002\tSmoke\tT3\r"},
          {21ms, ""},
          {60ms, ""}},
         kLoggedIn + "recv: SA<9>4711<9>2001<9>Fire\nsend: ack\nrecv: "
                     "SA<9>4712<9>2002<9>Smoke<9>T3\nsend: ack\n"
                     "send: OPM<9>4711<9>2001<9>1<9>T7\nsend: OPM<9>4712<9>2002<9>1<9>T3\n"
                     "send: OPM<9>4711<9>2001<9>2<9>T7\nsend: OPM<9>4712<9>2002<9>2<9>T3\n",
         std::nullopt},
        {"operations count from the reply",
         delayed_sa,
         {{0ms, kLogin}, {0ms, "SA\t1\t2001\tA\r"}, {100ms, ""}},
         kLoggedIn + "recv: SA<9>1<9>2001<9>A\nsend: ack\n",
         120ms},
        {"no operations for a refused alarm",
         refused_sa,
         {{0ms, kLogin}, {0ms, "SA\t1\t2001\tA\r"}},
         kLoggedIn + "recv: SA<9>1<9>2001<9>A\nsend: nack\n",
         std::nullopt},
        {"DA cancels its alarm's operations, RESET all",
         auto_operations,
         {{0ms, kLogin},
          {0ms, "SA\t1\t2001\tA\rSA\t1\t2002\tB\rDA\t1\t2001\r"},
          {20ms, ""},
          {30ms, "RESET\r"}},
         kLoggedIn + "recv: SA<9>1<9>2001<9>A\nsend: ack\nrecv: SA<9>1<9>2002<9>B\nsend: "
                     "ack\nrecv: DA<9>1<9>2001\n"
                     "send: ack\nsend: OPM<9>1<9>2002<9>1<9>T7\nrecv: RESET\nsend: ack\n",
         std::nullopt},
        {"after HBC, the link drops when no line comes for its seconds",
         {},
         {{0ms, kLogin}, {0ms, "HBC\t2\r"}, {1999ms, ""}, {2000ms, ""}},
         kLoggedIn + "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\ndropped: heartbeat "
                     "timeout\n(close)\n",
         std::nullopt},
        {"any line restarts the heartbeat wait",
         {},
         {{0ms, kLogin}, {0ms, "HBC\t2\r"}, {1500ms, "X\r"}, {3000ms, ""}},
         kLoggedIn + "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\nrecv: X\nsend: ack\n",
         3500ms},
        {"ATE1 ends the heartbeat check",
         {},
         {{0ms, kLogin}, {0ms, "HBC\t2\rATE1\r"}},
         kLoggedIn + "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\nrecv: ATE1\nsend: "
                     "ack\nheartbeat check: off\n",
         std::nullopt},
        {"no heartbeat check after a refused HBC",
         {.replies = {{"HBC", {Answer::nack, 0ms}}}},
         {{0ms, kLogin}, {0ms, "HBC\t2\r"}},
         kLoggedIn + "recv: HBC<9>2\nsend: nack\n",
         std::nullopt},
        {"--no-heartbeat-check",
         {.heartbeat_check = false},
         {{0ms, kLogin}, {0ms, "HBC\t2\r"}},
         kLoggedIn + "recv: HBC<9>2\nsend: ack\n",
         std::nullopt},
        {"--send-hb: a late wake-up sends one beat, not the missed ones",
         {.send_heartbeat = 500ms},
         {{0ms, kLogin}, {500ms, ""}, {2200ms, ""}},
         kLoggedIn + "send: HB\nsend: HB\n",
         2500ms},
        {"--drop-after counts commands but not HB, and reads no further",
         {.drop_after = 2},
         {{0ms, kLogin}, {0ms, "RESET\rHB\rATE0\rHBC\t5\r"}},
         kLoggedIn +
             "recv: RESET\nsend: ack\nrecv: HB\nrecv: ATE0\ndropped: after command 2\n(close)\n",
         std::nullopt},
        {"--flap",
         {.flap = 1s},
         {{999ms, ""}, {1s, ""}},
         "send: USERNAME:\ndropped: flap\n(close)\n",
         std::nullopt},
        {"--flood-bytes",
         {.flood_bytes = 5},
         {{0ms, kLogin}},
         "send: USERNAME:\nrecv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix\nsend: ATAS_OK\nlogin "
         "ok\n(5 bytes)\n"
         "flood: 5 bytes\n",
         std::nullopt},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        Session session(script.config);
        EXPECT_EQ(Play(script, session), script.transcript);
        const auto next = session.next_deadline();
        EXPECT_EQ(next ? std::optional<Millis>(std::chrono::duration_cast<Millis>(*next - t0))
                       : std::nullopt,
                  script.next_deadline);
    }
}

TEST(PbxSimOptions, ReplyModesAndMistakes) {
    const auto sa_mode = [](std::string_view mode) -> std::optional<ReplyMode> {
        const std::vector<std::string_view> args{"--reply", mode};
        const auto parsed = parse_options(args);
        if (!parsed.options) return std::nullopt;
        return parsed.options->session.replies.at("SA");
    };
    EXPECT_EQ(sa_mode("sa=none"), (ReplyMode{Answer::none, 0ms}));
    EXPECT_EQ(sa_mode("SA=delay:40"), (ReplyMode{Answer::ack, 40ms}));
    EXPECT_EQ(sa_mode("SA=delay:40:ack"), (ReplyMode{Answer::ack, 40ms}));
    EXPECT_EQ(sa_mode("SA=delay:0:nack"), (ReplyMode{Answer::nack, 0ms}));
    for (const auto& args :
         std::vector<std::vector<std::string_view>>{{"--port", "65536"},
                                                    {"--auto-ack"},
                                                    {"--send-hb", "0"},
                                                    {"--drop-after", "0"},
                                                    {"--reply", "SA"},
                                                    {"--reply", "=ack"},
                                                    {"--reply", "SA=ACK"},
                                                    {"--reply", "SA=delay:"},
                                                    {"--reply", "SA=delay:5:later"},
                                                    {"--quiet=yes"},
                                                    {"--colour"}}) {
        const auto parsed = parse_options(args);
        EXPECT_FALSE(parsed.options) << args[0];
        EXPECT_FALSE(parsed.error.empty()) << args[0];
    }
}

}  // namespace
}  // namespace kelvarix::pbxsim
