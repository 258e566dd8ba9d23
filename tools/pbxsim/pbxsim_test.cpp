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

// What the simulator prints for the actions, with "(close)" for a hang-up.
std::string Printed(const std::vector<Action>& actions) {
    std::string printed;
    for (const Action& action : actions) {
        if (action.kind == Action::Kind::close) printed += "(close)\n";
        if (const auto line = output_line(action, false)) printed += *line + "\n";
    }
    return printed;
}

TEST(PbxSimSession, LoginAcrossReadsAndRefusal) {
    Session session({});
    std::string printed = Printed(session.start(t0));
    for (const char* bytes : {"kelv", "arix\r", "kelvarix\n\r"})
        printed += Printed(session.on_data(bytes, t0));
    EXPECT_EQ(printed,
              "send: USERNAME:\nrecv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix\nsend: "
              "ATAS_OK\nlogin ok\n");

    Session refusing({});
    refusing.start(t0);
    EXPECT_EQ(
        Printed(refusing.on_data("kelvarix\rkelvarix \rSA\t1\t2\tx\r", t0)),
        "recv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix \nsend: SORRY,\nlogin refused\n(close)\n");
    EXPECT_EQ(Printed(refusing.on_data("ATE0\r", t0)), "");
}

// Bytes from the gateway at a moment after the login; no bytes: the timer fires then.
struct Step {
    Millis at;
    std::string bytes;
};

struct Script {
    const char* name;
    SessionConfig config;
    std::vector<Step> steps;
    std::string printed;
    std::optional<Millis> next_deadline{};
};

TEST(PbxSimSession, ScriptsAfterTheLogin) {
    const SessionConfig auto_operations{.auto_read = 20ms, .auto_ack = 50ms, .ack_terminal = "T7"};
    SessionConfig delayed_sa = auto_operations;
    delayed_sa.replies["SA"] = {Answer::ack, 100ms};
    SessionConfig refused_sa = auto_operations;
    refused_sa.replies["SA"] = {Answer::nack, 0ms};
    const std::vector<Script> scripts = {
        {"replies by keyword in any case; none for HB, PA, empty lines and a keyword set to none",
         {.replies = {{"SM", {Answer::nack, 0ms}}, {"MCA", {Answer::none, 0ms}}}},
         {{0ms, "RESET\r sm \tR\rHB\rMCA\t2001\rPA\t2001\tT1\r\rATE0\r"}},
         "recv: RESET\nsend: ack\nrecv:  sm <9>R\nsend: nack\nrecv: HB\nrecv: MCA<9>2001\n"
         "recv: PA<9>2001<9>T1\nrecv: \nrecv: ATE0\nsend: ack\n"},
        {"a delayed reply holds back the ones behind it",
         {.default_reply = {Answer::ack, 0ms}, .replies = {{"SA", {Answer::nack, 100ms}}}},
         {{0ms, "SA\t1\t2001\tFire\r"}, {10ms, "RESET\r"}, {99ms, ""}, {100ms, ""}},
         "recv: SA<9>1<9>2001<9>Fire\nrecv: RESET\nsend: nack\nsend: ack\n"},
        {"--late-reply: each reply goes out when the next command (not HB or PA) arrives",
         {.replies = {{"ATE0", {Answer::nack, 0ms}}}, .late_reply = true},
         {{0ms, "ATE0\r"}, {0ms, "HB\rPA\t2001\tT1\r"}, {0ms, "HBC\t60\r"}, {0ms, "SM\tR\r"}},
         "recv: ATE0\nrecv: HB\nrecv: PA<9>2001<9>T1\nrecv: HBC<9>60\nsend: nack\nrecv: SM<9>R\n"
         "send: ack\nheartbeat check: 60 s\n",
         60s},
        {"--auto-read and --auto-ack, with the SA's own terminal or --ack-terminal",
         auto_operations,
         {{0ms, "SA\t4711\t2001\tFire\r"},
          {1ms, "SA\t4712\t2002\tSmoke\tT3\r"},
          {21ms, ""},
          {60ms, ""}},
         "recv: SA<9>4711<9>2001<9>Fire\nsend: ack\nrecv: SA<9>4712<9>2002<9>Smoke<9>T3\nsend: "
         "ack\n"
         "send: OPM<9>4711<9>2001<9>1<9>T7\nsend: OPM<9>4712<9>2002<9>1<9>T3\n"
         "send: OPM<9>4711<9>2001<9>2<9>T7\nsend: OPM<9>4712<9>2002<9>2<9>T3\n"},
        {"operations count from the reply",
         delayed_sa,
         {{0ms, "SA\t1\t2001\tA\r"}, {100ms, ""}},
         "recv: SA<9>1<9>2001<9>A\nsend: ack\n",
         120ms},
        {"no operations for a refused alarm",
         refused_sa,
         {{0ms, "SA\t1\t2001\tA\r"}},
         "recv: SA<9>1<9>2001<9>A\nsend: nack\n"},
        {"DA cancels its alarm's operations, RESET all",
         auto_operations,
         {{0ms, "SA\t1\t2001\tA\rSA\t1\t2002\tB\rDA\t1\t2001\r"}, {20ms, ""}, {30ms, "RESET\r"}},
         "recv: SA<9>1<9>2001<9>A\nsend: ack\nrecv: SA<9>1<9>2002<9>B\nsend: ack\nrecv: "
         "DA<9>1<9>2001\n"
         "send: ack\nsend: OPM<9>1<9>2002<9>1<9>T7\nrecv: RESET\nsend: ack\n"},
        {"after HBC, the link drops when no line comes for its seconds",
         {},
         {{0ms, "HBC\t2\r"}, {1999ms, ""}, {2000ms, ""}},
         "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\ndropped: heartbeat timeout\n(close)\n"},
        {"any line restarts the heartbeat wait",
         {},
         {{0ms, "HBC\t2\r"}, {1500ms, "X\r"}, {3000ms, ""}},
         "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\nrecv: X\nsend: ack\n",
         3500ms},
        {"ATE1 ends the heartbeat check",
         {},
         {{0ms, "HBC\t2\rATE1\r"}},
         "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\nrecv: ATE1\nsend: ack\nheartbeat check: "
         "off\n"},
        {"no heartbeat check after a refused HBC",
         {.replies = {{"HBC", {Answer::nack, 0ms}}}},
         {{0ms, "HBC\t2\r"}},
         "recv: HBC<9>2\nsend: nack\n"},
        {"--no-heartbeat-check",
         {.heartbeat_check = false},
         {{0ms, "HBC\t2\r"}},
         "recv: HBC<9>2\nsend: ack\n"},
        {"--send-hb: a late wake-up sends one beat, not the missed ones",
         {.send_heartbeat = 500ms},
         {{500ms, ""}, {2200ms, ""}},
         "send: HB\nsend: HB\n",
         2500ms},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        Session session(script.config);
        session.start(t0);
        ASSERT_EQ(Printed(session.on_data("kelvarix\rkelvarix\r", t0)),
                  "recv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix\nsend: ATAS_OK\nlogin ok\n");
        std::string printed;
        for (const Step& step : script.steps) {
            printed += Printed(step.bytes.empty() ? session.on_timer(t0 + step.at)
                                                  : session.on_data(step.bytes, t0 + step.at));
        }
        EXPECT_EQ(printed, script.printed);
        const auto next = session.next_deadline();
        EXPECT_EQ(
            next ? std::optional(std::chrono::duration_cast<Millis>(*next - t0)) : std::nullopt,
            script.next_deadline);
    }
}

TEST(PbxSimOptions, ReplyModesAndMistakes) {
    EXPECT_EQ(parse_reply_mode("none"), (ReplyMode{Answer::none, 0ms}));
    EXPECT_EQ(parse_reply_mode("delay:40"), (ReplyMode{Answer::ack, 40ms}));
    EXPECT_EQ(parse_reply_mode("delay:40:ack"), (ReplyMode{Answer::ack, 40ms}));
    EXPECT_EQ(parse_reply_mode("delay:0:nack"), (ReplyMode{Answer::nack, 0ms}));
    for (const char* mistake : {"ACK", "delay:", "delay:x", "delay:5:later"}) {
        EXPECT_EQ(parse_reply_mode(mistake), std::nullopt) << mistake;
    }
    using Args = std::vector<std::string_view>;
    for (const Args& args :
         {Args{"--reply", "SA"}, Args{"--reply", "=ack"}, Args{"--port", "65536"},
          Args{"--send-hb", "0"}, Args{"--drop-after", "0"}, Args{"--quiet=yes"}}) {
        EXPECT_FALSE(parse_options(args).options) << args[0];
    }
    const auto parsed = parse_options(Args{"--reply", "sa=none"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->session.replies.at("SA"), (ReplyMode{Answer::none, 0ms}));
}

}  // namespace
}  // namespace kelvarix::pbxsim
