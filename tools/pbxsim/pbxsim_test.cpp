// The PBX simulator's session without sockets: what the end-to-end tests,
// which drive its plain replies and fault personalities, do not reach.
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

// The gateway writes each line whole; the simulator must also take one
// typed in pieces, and refuse a wrong password.
TEST(PbxSimSession, LoginAcrossReadsAndRefusal) {
    Session session({});
    std::string printed = Printed(session.start(t0));
    for (const char* bytes : {"kelv", "arix\r", "kelvarix \rSA\t1\t2\tx\r", "ATE0\r"})
        printed += Printed(session.on_data(bytes, t0));
    EXPECT_EQ(printed,
              "send: USERNAME:\nrecv: kelvarix\nsend: PASSWORD:\nrecv: kelvarix \nsend: SORRY,\n"
              "login refused\n(close)\n");
}

struct Script {
    const char* name;
    SessionConfig config;
    // Bytes from the gateway at a moment after the login; no bytes: the timer fires then.
    std::vector<std::pair<Millis, std::string>> steps;
    std::string printed;
    std::optional<TimePoint> next_deadline{};
};

TEST(PbxSimSession, ScriptsAfterTheLogin) {
    const SessionConfig auto_operations{.auto_read = 20ms, .auto_ack = 50ms, .ack_terminal = "T7"};
    SessionConfig delayed_sa = auto_operations;
    delayed_sa.replies["SA"] = {Answer::ack, 100ms};
    const std::vector<Script> scripts = {
        {"any-case keywords; no reply to HB, PA, blank lines, none keywords; nack'd HBC: no check",
         {.replies = {{"SM", {Answer::nack, 0ms}},
                      {"MCA", {Answer::none, 0ms}},
                      {"HBC", {Answer::nack, 0ms}}}},
         {{0ms, "RESET\r sm \tR\rHB\rMCA\t2001\rPA\t2001\tT1\r\rATE0\rHBC\t2\r"}},
         "recv: RESET\nsend: ack\nrecv:  sm <9>R\nsend: nack\nrecv: HB\nrecv: MCA<9>2001\n"
         "recv: PA<9>2001<9>T1\nrecv: \nrecv: ATE0\nsend: ack\nrecv: HBC<9>2\nsend: nack\n"},
        {"a delayed reply holds back the ones behind it; a refused alarm gets no operations",
         {.default_reply = {Answer::ack, 0ms},
          .replies = {{"SA", {Answer::nack, 100ms}}},
          .auto_read = 20ms},
         {{0ms, "SA\t1\t2001\tFire\r"}, {10ms, "ATE0\r"}, {99ms, ""}, {100ms, ""}},
         "recv: SA<9>1<9>2001<9>Fire\nrecv: ATE0\nsend: nack\nsend: ack\n"},
        {"--auto-read and --auto-ack, with the SA's own terminal or --ack-terminal",
         auto_operations,
         {{0ms, "SA\t1\t2001\tF\r"}, {1ms, "SA\t2\t2002\tS\tT3\r"}, {21ms, ""}, {60ms, ""}},
         "recv: SA<9>1<9>2001<9>F\nsend: ack\nrecv: SA<9>2<9>2002<9>S<9>T3\nsend: ack\n"
         "send: OPM<9>1<9>2001<9>1<9>T7\nsend: OPM<9>2<9>2002<9>1<9>T3\n"
         "send: OPM<9>1<9>2001<9>2<9>T7\nsend: OPM<9>2<9>2002<9>2<9>T3\n"},
        {"DA cancels its alarm's operations, RESET all; operations count from the reply",
         delayed_sa,
         {{0ms, "SA\t1\t2001\tA\rSA\t1\t2002\tB\rDA\t1\t2001\r"},
          {100ms, ""},
          {119ms, ""},
          {120ms, ""},
          {130ms, "RESET\r"}},
         "recv: SA<9>1<9>2001<9>A\nrecv: SA<9>1<9>2002<9>B\nrecv: DA<9>1<9>2001\nsend: ack\n"
         "send: ack\nsend: ack\nsend: OPM<9>1<9>2002<9>1<9>T7\nrecv: RESET\nsend: ack\n"},
        {"after HBC any line restarts the wait; none for its seconds drops the link",
         {},
         {{0ms, "HBC\t2\r"}, {1500ms, "X\r"}, {3499ms, ""}, {3500ms, ""}},
         "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\nrecv: X\nsend: ack\n"
         "dropped: heartbeat timeout\n(close)\n"},
        {"ATE1 ends the heartbeat check; --send-hb: a late wake-up sends one beat, not all",
         {.send_heartbeat = 500ms},
         {{0ms, "HBC\t2\rATE1\r"}, {500ms, ""}, {2200ms, ""}},
         "recv: HBC<9>2\nsend: ack\nheartbeat check: 2 s\nrecv: ATE1\nsend: ack\nheartbeat check: "
         "off\nsend: HB\nsend: HB\n",
         t0 + 2500ms},
    };
    for (const Script& script : scripts) {
        SCOPED_TRACE(script.name);
        Session session(script.config);
        session.start(t0);
        session.on_data("kelvarix\rkelvarix\r", t0);  // the login, which the gateway's tests check
        std::string printed;
        for (const auto& [at, bytes] : script.steps) {
            printed += Printed(bytes.empty() ? session.on_timer(t0 + at)
                                             : session.on_data(bytes, t0 + at));
        }
        EXPECT_EQ(printed, script.printed);
        EXPECT_EQ(session.next_deadline(), script.next_deadline);
    }
}

// A keyword given in lower case must still match, and a mistyped answer must
// not quietly become an ack; other mistakes stop the simulator with a message.
TEST(PbxSimOptions, ReplyKeywordsInAnyCaseAndNoQuietAck) {
    using Args = std::vector<std::string_view>;
    const auto parsed = parse_options(Args{"--reply", "sa=delay:40:nack"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->session.replies.at("SA"), (ReplyMode{Answer::nack, 40ms}));
    EXPECT_FALSE(parse_options(Args{"--reply", "SA=delay:5:later"}).options);
}

}  // namespace
}  // namespace kelvarix::pbxsim
