#include "session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvarix::pbxsim {
namespace {

using namespace std::chrono_literals;
using Kind = Action::Kind;

const TimePoint t0 = TimePoint{} + 1h;

std::vector<std::string> sent(const std::vector<Action>& actions) {
    std::vector<std::string> out;
    for (const auto& action : actions) {
        if (action.kind == Kind::send) out.push_back(action.text);
    }
    return out;
}

std::vector<std::string> events(const std::vector<Action>& actions) {
    std::vector<std::string> out;
    for (const auto& action : actions) {
        if (action.kind == Kind::event) out.push_back(action.text);
    }
    return out;
}

bool closes(const std::vector<Action>& actions) {
    return !actions.empty() && actions.back().kind == Kind::close;
}

using Lines = std::vector<std::string>;

// A session that has just answered the login with ATAS_OK.
Session logged_in(SessionConfig config = {}, TimePoint now = t0) {
    Session session(std::move(config));
    session.start(now);
    session.on_data("kelvarix\r", now);
    const auto actions = session.on_data("kelvarix\r", now);
    EXPECT_EQ(sent(actions), Lines{"ATAS_OK\r"});
    return session;
}

TEST(PbxSessionLogin, PromptsAndAcceptsCredentialsSplitAcrossReads) {
    Session session({});
    EXPECT_EQ(session.start(t0), (std::vector<Action>{{Kind::send, "USERNAME:"}}));
    EXPECT_TRUE(session.on_data("kelv", t0).empty());
    EXPECT_EQ(session.on_data("arix\r", t0),
              (std::vector<Action>{{Kind::received, "kelvarix"}, {Kind::send, "PASSWORD:"}}));
    EXPECT_EQ(
        session.on_data("kelvarix\n\r", t0),
        (std::vector<Action>{
            {Kind::received, "kelvarix"}, {Kind::send, "ATAS_OK\r"}, {Kind::event, "login ok"}}));
    EXPECT_EQ(session.next_deadline(), std::nullopt);
}

TEST(PbxSessionLogin, RefusesWithSorryAndIgnoresWhatFollows) {
    struct Case {
        const char* name;
        bool refuse_login;
        const char* user;
        const char* password;
    };
    for (const auto& c : {Case{"wrong user", false, "other", "kelvarix"},
                          Case{"wrong password", false, "kelvarix", "kelvarix "},
                          Case{"refuse-login", true, "kelvarix", "kelvarix"}}) {
        SCOPED_TRACE(c.name);
        SessionConfig config;
        config.refuse_login = c.refuse_login;
        Session session(config);
        session.start(t0);
        session.on_data(std::string{c.user} + "\r", t0);
        const auto actions = session.on_data(std::string{c.password} + "\rSA\t1\t2\tx\r", t0);
        EXPECT_EQ(sent(actions), Lines{"SORRY,\r"});
        EXPECT_EQ(events(actions), Lines{"login refused"});
        EXPECT_TRUE(closes(actions));
        EXPECT_TRUE(session.closing());
        EXPECT_TRUE(session.on_data("SA\t1\t2\tx\r", t0).empty());
    }
}

TEST(PbxSessionLogin, DelayedOrWithheldPrompt) {
    SessionConfig delayed;
    delayed.prompt_delay = 300ms;
    Session late(delayed);
    EXPECT_TRUE(late.start(t0).empty());
    EXPECT_EQ(late.next_deadline(), t0 + 300ms);
    EXPECT_TRUE(late.on_timer(t0 + 299ms).empty());
    EXPECT_EQ(sent(late.on_timer(t0 + 300ms)), Lines{"USERNAME:"});

    SessionConfig silent;
    silent.prompt = false;
    Session mute(silent);
    EXPECT_TRUE(mute.start(t0).empty());
    EXPECT_EQ(mute.next_deadline(), std::nullopt);
    EXPECT_TRUE(sent(mute.on_data("kelvarix\rkelvarix\r", t0)).empty());
}

TEST(PbxSessionReplies, AnswersPerKeywordInCommandOrder) {
    SessionConfig config;
    config.replies["SM"] = {ReplyMode::Answer::nack, 0ms};
    config.replies["MCA"] = {ReplyMode::Answer::none, 0ms};
    auto session = logged_in(config);
    // Keywords ignore case and surrounding spaces; HB, PA and empty lines get
    // no reply.
    const auto actions =
        session.on_data("RESET\r sm \tR\tA\rHB\rMCA\t2001\tT1\rPA\t2001\tT1\r\rATE0\r", t0);
    EXPECT_EQ(sent(actions), (Lines{"ack\r", "nack\r", "ack\r"}));
    EXPECT_EQ(actions.front(), (Action{Kind::received, "RESET"}));
}

TEST(PbxSessionReplies, DelayedReplyHoldsBackTheOnesBehindIt) {
    SessionConfig config;
    config.replies["SA"] = {ReplyMode::Answer::nack, 100ms};
    config.default_reply = {ReplyMode::Answer::ack, 0ms};
    auto session = logged_in(config);
    EXPECT_TRUE(sent(session.on_data("SA\t1\t2001\tFire\r", t0)).empty());
    EXPECT_TRUE(sent(session.on_data("RESET\r", t0 + 10ms)).empty());
    EXPECT_EQ(session.next_deadline(), t0 + 100ms);
    EXPECT_TRUE(session.on_timer(t0 + 99ms).empty());
    EXPECT_EQ(sent(session.on_timer(t0 + 100ms)), (Lines{"nack\r", "ack\r"}));
    EXPECT_EQ(session.next_deadline(), std::nullopt);
}

TEST(PbxSessionReplies, LateReplyGoesOutWhenTheNextCommandArrives) {
    SessionConfig config;
    config.late_reply = true;
    config.replies["ATE0"] = {ReplyMode::Answer::nack, 0ms};
    auto session = logged_in(config);
    EXPECT_TRUE(sent(session.on_data("ATE0\r", t0)).empty());
    EXPECT_TRUE(sent(session.on_data("HB\rPA\t2001\tT1\r", t0)).empty());
    auto actions = session.on_data("HBC\t60\r", t0);
    EXPECT_EQ(sent(actions), Lines{"nack\r"});  // ATE0's reply, while HBC waits
    EXPECT_TRUE(events(actions).empty());       // HBC's own reply is still held
    actions = session.on_data("SM\tR\r", t0);
    EXPECT_EQ(sent(actions), Lines{"ack\r"});
    EXPECT_EQ(events(actions), Lines{"heartbeat check: 60 s"});
}

SessionConfig auto_operations() {
    SessionConfig config;
    config.auto_read = 20ms;
    config.auto_ack = 50ms;
    config.ack_terminal = "T7";
    return config;
}

TEST(PbxSessionOperations, AcceptedAlarmIsReadThenAcknowledged) {
    auto session = logged_in(auto_operations());
    session.on_data("SA\t4711\t2001\tFire\r", t0);
    session.on_data("SA\t4712\t2002\tSmoke\tT3\r", t0 + 1ms);
    EXPECT_EQ(session.next_deadline(), t0 + 20ms);
    EXPECT_EQ(sent(session.on_timer(t0 + 21ms)),
              (Lines{"OPM\t4711\t2001\t1\tT7\r", "OPM\t4712\t2002\t1\tT3\r"}));
    EXPECT_EQ(sent(session.on_timer(t0 + 60ms)),
              (Lines{"OPM\t4711\t2001\t2\tT7\r", "OPM\t4712\t2002\t2\tT3\r"}));
    EXPECT_EQ(session.next_deadline(), std::nullopt);
}

TEST(PbxSessionOperations, OnlyAcceptedAlarmsAndCountedFromTheReply) {
    auto config = auto_operations();
    config.replies["SA"] = {ReplyMode::Answer::ack, 100ms};
    config.replies["XA"] = {ReplyMode::Answer::nack, 0ms};
    auto session = logged_in(config);
    session.on_data("SA\t4711\t2001\tFire\r", t0);
    EXPECT_EQ(sent(session.on_timer(t0 + 100ms)), Lines{"ack\r"});
    EXPECT_EQ(session.next_deadline(), t0 + 120ms);

    config.replies["SA"] = {ReplyMode::Answer::nack, 0ms};
    auto refused = logged_in(config);
    refused.on_data("SA\t4711\t2001\tFire\r", t0);
    EXPECT_EQ(refused.next_deadline(), std::nullopt);
}

TEST(PbxSessionOperations, DeleteAndResetCancelPendingOperations) {
    auto session = logged_in(auto_operations());
    session.on_data("SA\t1\t2001\tA\rSA\t1\t2002\tB\rSA\t2\t2001\tC\r", t0);
    session.on_data("DA\t1\t2001\r", t0);
    EXPECT_EQ(sent(session.on_timer(t0 + 20ms)),
              (Lines{"OPM\t1\t2002\t1\tT7\r", "OPM\t2\t2001\t1\tT7\r"}));
    session.on_data("RESET\r", t0 + 30ms);
    EXPECT_EQ(session.next_deadline(), std::nullopt);
}

TEST(PbxSessionHeartbeat, DropsWhenNoLineArrivesInTime) {
    auto session = logged_in();
    EXPECT_EQ(events(session.on_data("ATE0\rHBC\t2\r", t0)), Lines{"heartbeat check: 2 s"});
    EXPECT_EQ(session.next_deadline(), t0 + 2s);
    session.on_data("HB\r", t0 + 1500ms);  // any line restarts the wait
    EXPECT_TRUE(session.on_timer(t0 + 3s).empty());
    const auto actions = session.on_timer(t0 + 3500ms);
    EXPECT_EQ(events(actions), Lines{"dropped: heartbeat timeout"});
    EXPECT_TRUE(closes(actions));
    EXPECT_EQ(session.next_deadline(), std::nullopt);
}

TEST(PbxSessionHeartbeat, CheckOnlyAfterAnAcceptedHbcAndUntilEchoIsBackOn) {
    auto echo = logged_in();
    echo.on_data("HBC\t2\r", t0);
    echo.on_data("ATE1\r", t0);
    EXPECT_EQ(echo.next_deadline(), std::nullopt);

    SessionConfig refused;
    refused.replies["HBC"] = {ReplyMode::Answer::nack, 0ms};
    auto nacked = logged_in(refused);
    nacked.on_data("HBC\t2\r", t0);
    EXPECT_EQ(nacked.next_deadline(), std::nullopt);

    SessionConfig unchecked;
    unchecked.heartbeat_check = false;
    auto off = logged_in(unchecked);
    off.on_data("HBC\t2\r", t0);
    EXPECT_EQ(off.next_deadline(), std::nullopt);
}

TEST(PbxSessionHeartbeat, SendsItsOwnHeartbeatAfterLogin) {
    SessionConfig config;
    config.send_heartbeat = 500ms;
    auto session = logged_in(config);
    EXPECT_EQ(session.next_deadline(), t0 + 500ms);
    EXPECT_EQ(sent(session.on_timer(t0 + 500ms)), Lines{"HB\r"});
    // A late wake-up sends one beat, not the missed ones.
    EXPECT_EQ(sent(session.on_timer(t0 + 2200ms)), Lines{"HB\r"});
    EXPECT_EQ(session.next_deadline(), t0 + 2500ms);
}

TEST(PbxSessionFaults, DropAfterTheNthCommandWithoutAnswering) {
    SessionConfig config;
    config.drop_after = 2;
    auto session = logged_in(config);
    EXPECT_EQ(sent(session.on_data("RESET\rHB\r", t0)), Lines{"ack\r"});
    const auto actions = session.on_data("ATE0\rHBC\t5\r", t0);
    EXPECT_TRUE(sent(actions).empty());
    EXPECT_EQ(events(actions), Lines{"dropped: after command 2"});
    EXPECT_TRUE(closes(actions));
    EXPECT_EQ(actions.front(), (Action{Kind::received, "ATE0"}));
    EXPECT_EQ(actions.size(), 3u);  // HBC is not even read
}

TEST(PbxSessionFaults, FlapFloodAndEndlessLine) {
    SessionConfig flap;
    flap.flap = 1s;
    Session flapping(flap);
    flapping.start(t0);
    EXPECT_EQ(flapping.next_deadline(), t0 + 1s);
    EXPECT_TRUE(closes(flapping.on_timer(t0 + 1s)));

    SessionConfig flood;
    flood.flood_bytes = 5;
    Session flooding(flood);
    flooding.start(t0);
    flooding.on_data("kelvarix\r", t0);
    const auto actions = flooding.on_data("kelvarix\r", t0);
    ASSERT_EQ(actions.size(), 5u);
    EXPECT_EQ(actions[1], (Action{Kind::send, "ATAS_OK\r"}));
    EXPECT_EQ(actions[3], (Action{Kind::send_unlogged, "XXXXX"}));
    EXPECT_EQ(actions[4], (Action{Kind::event, "flood: 5 bytes"}));

    auto endless = logged_in();
    EXPECT_TRUE(closes(endless.on_data(std::string((1 << 20) + 1, 'Y'), t0)));
}

TEST(PbxSessionOutput, OperatorLinesAndPrintedForm) {
    auto session = logged_in();
    const auto actions = session.operator_line("OPM\\t4711\\t2001\\t2\\tT1");
    EXPECT_EQ(actions, (std::vector<Action>{{Kind::send, "OPM\t4711\t2001\t2\tT1\r"}}));
    EXPECT_EQ(output_line(actions[0], false), "send: OPM<9>4711<9>2001<9>2<9>T1");
    EXPECT_EQ(output_line({Kind::received, "SA\t1\x1b"}, false), "recv: SA<9>1<27>");
    EXPECT_EQ(output_line({Kind::send, "USERNAME:"}, false), "send: USERNAME:");
    EXPECT_EQ(output_line({Kind::received, "x"}, true), std::nullopt);
    EXPECT_EQ(output_line({Kind::event, "login ok"}, true), "login ok");
    EXPECT_EQ(output_line({Kind::send_unlogged, "XX"}, false), std::nullopt);
}

}  // namespace
}  // namespace kelvarix::pbxsim
