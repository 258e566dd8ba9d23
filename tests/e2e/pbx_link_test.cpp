// Alarms through the real gateway against the PBX simulator and its fault
// personalities: set-up and heartbeat, and a PBX that is slow, silent, late,
// hangs up or floods. Each test names its promise: the gateway runs on, every
// alarm line gets exactly one reply while its connection lasts, held-back
// alarms reach the PBX once it is back, and memory stays bounded.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

using Texts = std::vector<std::string>;
using namespace std::string_literals;

class PbxLinkTest : public GatewayTest {};

// The set-up goes out in order, and heartbeats keep the link alive (the
// simulator drops it after HBC's 4 s without a line), also under a stream of
// alarms whose replies take 200 ms and whose acknowledgements the PBX sends
// meanwhile: HB, MCA and DA keep their turn between the alarms.
TEST_F(PbxLinkTest, SetUpInOrderAndHeartbeatsKeepTheirCadenceUnderAStreamOfAlarms) {
    StartPbx({"--reply", "SA=delay:200", "--auto-ack", "100"});
    StartGateway("ResetAlarmsAtConnect=1\nHeartbeatInterval=4\nSendMCA=1");
    ASSERT_TRUE(WaitForSession()) << Describe();
    EXPECT_TRUE(InOrder(pbx_->Stdout(), {"login ok\nrecv: RESET\nsend: ack\n"
                                         "recv: ATE0\nsend: ack\nrecv: HBC<9>4\nsend: ack\n"
                                         "heartbeat check: 4 s\nrecv: SM<9>Read<9>Acknowledge\n"}))
        << Describe();
    // HB goes out every quarter of the interval: five of them span more than the
    // time the simulator waits for a line.
    ASSERT_TRUE(pbx_->WaitForStdout("recv: HB\n", 5)) << Describe();

    constexpr int kAlarms = 25;  // about five seconds of alarms, longer than the interval
    ChildProcess load(BuiltBinary("kelvarix-alarmsim"),
                      {"--port", std::to_string(server_port_), "--load", std::to_string(kAlarms)});
    ASSERT_EQ(load.WaitForExit(std::chrono::seconds(60)), 0) << load.Describe();
    EXPECT_NE(load.Stdout().find("replies: 25 sent=25 "), std::string::npos) << load.Describe();
    ASSERT_TRUE(pbx_->WaitForStdout("recv: MCA<9>", kAlarms)) << Describe();
    const std::string pbx = pbx_->Stdout();
    EXPECT_EQ(CountOf(pbx, "recv: SA<9>"), static_cast<std::size_t>(kAlarms)) << pbx;
    EXPECT_EQ(CountOf(pbx, "dropped: heartbeat timeout"), 0u) << pbx;
    EXPECT_EQ(CountOf(pbx, "connected "), 1u) << pbx;
    // Acknowledgements were handled while alarms still came, not after.
    EXPECT_LT(pbx.find("recv: MCA<9>"), pbx.rfind("recv: SA<9>")) << pbx;

    // HB went on every second while the alarms flowed (the simulator's check
    // cannot tell: every SA counts as a line for it).
    const std::string gateway = gateway_->Stdout();
    const std::size_t first_sa = gateway.find("[KVX -> ATAS]    SA<9>");
    const std::string during =
        gateway.substr(first_sa, gateway.rfind("[KVX -> ATAS]    SA<9>") - first_sa);
    EXPECT_GE(CountOf(during, " HB<13>\n"), 3u) << Describe();
}

// An alarm that comes while the PBX has not even prompted for the login waits
// for the session's set-up, goes out after it and gets exactly one reply. The
// alarm server's acknowledgement, by tag in any case, deletes it on the PBX.
TEST_F(PbxLinkTest, AlarmDuringASlowLoginWaitsForTheSetUp) {
    StartPbx({"--prompt-delay", "1000"});
    StartGateway();
    ASSERT_TRUE(pbx_->WaitForStdout("connected ")) << Describe();
    AlarmServer server = Connect();
    ASSERT_TRUE(server.Send("1|0|60|6001|2001||Slow prompt|SLOW-1\n"));
    ASSERT_EQ(CountOf(pbx_->Stdout(), "send: USERNAME:"), 0u) << Describe();
    ASSERT_TRUE(server.WaitForLines(1)) << Describe();
    ASSERT_TRUE(server.Send("2|0|60|6001|2001|||slow-1\n"));
    ASSERT_TRUE(pbx_->WaitForStdout("recv: DA<9>6001<9>2001\n")) << Describe();
    ASSERT_TRUE(Fence(server)) << Describe();
    EXPECT_EQ(server.Lines(), (Texts{"sent (6001)", "sent (6001)", "buffered (FENCE)"}));
    EXPECT_TRUE(InOrder(pbx_->Stdout(), {"recv: kelvarix\n", "recv: kelvarix\n", "recv: ATE1\n",
                                         "recv: SM<9>Read<9>Acknowledge\n",
                                         "recv: SA<9>6001<9>2001<9>Slow prompt\n", "recv: DA"}))
        << Describe();
    EXPECT_EQ(CountOf(pbx_->Stdout(), "recv: "), 6u) << Describe();
}

struct LinesCase {
    const char* name;
    Texts pbx_options;
    const char* atas_extra;
    std::string lines;
    Texts replies;
    Texts pbx_shows;  // each exactly once
    const char* gateway_shows;
    friend void PrintTo(const LinesCase& c, std::ostream* out) { *out << c.name; }
};

class LinesTest : public PbxLinkTest, public ::testing::WithParamInterface<LinesCase> {};

// Whatever the PBX or the alarm server sends, every line gets one reply,
// in the order sent, and each alarm went out once, byte for byte, while the
// gateway's memory stays bounded.
TEST_P(LinesTest, EachLineIsAnsweredOnceAndEachAlarmGoesOutOnce) {
    const LinesCase& c = GetParam();
    StartPbx(c.pbx_options);
    StartGateway(c.atas_extra);
    ASSERT_TRUE(WaitForSession()) << Describe();
    const std::size_t rss_before = ResidentKiB(gateway_->Pid());
    AlarmServer client = Connect();
    ASSERT_TRUE(client.Send(c.lines));
    ASSERT_TRUE(Fence(client)) << Describe();
    Texts replies = c.replies;
    replies.push_back("buffered (FENCE)");
    EXPECT_EQ(client.Lines(), replies);
    for (const std::string& line : c.pbx_shows) {
        EXPECT_TRUE(pbx_->WaitForStdout(line)) << line << "\n" << Describe();
        EXPECT_EQ(CountOf(pbx_->Stdout(), line), 1u) << line << "\n" << Describe();
    }
    EXPECT_TRUE(WaitForGatewayLine(c.gateway_shows)) << Describe();
    EXPECT_EQ(CountOf(pbx_->Stdout(), "closed"), 0u) << Describe();
    EXPECT_LT(ResidentKiB(gateway_->Pid()), rss_before + MemoryAllowanceKiB());
    ExpectGatewayAnswers();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinesTest,
    ::testing::Values(
        // NUL bytes and 8-bit characters are data like any other; an id may hold them too.
        LinesCase{"NulAndEightBitBytes",
                  {},
                  "",
                  "1|0|E1|N1|2001||St\xF6rung \xC4\xD6\xDC \x80\xFF Raum\0 12|T1\n"
                  "1|0|E2|N\xFF\x80\0id|2001||plain|T2\n\0\0\0\n\xFF\xFE\x80|\x01\x02\n"s,
                  {"sent (N1)", "sent (N\xFF\x80\0id)"s, "buffered ()", "buffered ()"},
                  {"recv: SA<9>N1<9>2001<9>St\xF6rung \xC4\xD6\xDC \x80\xFF Raum<0> 12\n",
                   "recv: SA<9>N\xFF\x80<0>id<9>2001<9>plain\n"},
                  "Alarm to PBX (success)"},
        LinesCase{"AnswersNothing",
                  {"--reply", "*=none"},
                  "CommandTimeout=1",
                  AlarmLine("S1") + "\n" + AlarmLine("S2") + "\n" + AlarmLine("S3") + "\n",
                  {"failed (S1)", "failed (S2)", "failed (S3)"},
                  {"recv: SA<9>S1<9>", "recv: SA<9>S2<9>", "recv: SA<9>S3<9>"},
                  "Alarm to PBX (failed)"},
        // Each reply comes when the next command arrives: the gateway takes
        // it for that command's reply, and never answers twice.
        LinesCase{"RepliesLate",
                  {"--late-reply"},
                  "",
                  AlarmLine("R1") + "\n" + AlarmLine("R2") + "\n" + AlarmLine("R3") + "\n",
                  {"sent (R1)", "sent (R2)", "sent (R3)"},
                  {"recv: SA<9>R1<9>", "recv: SA<9>R2<9>", "recv: SA<9>R3<9>"},
                  "Failed to turn on echo"},
        // 1 MiB without CR is dropped; the link stays up and usable.
        LinesCase{"FloodsWithoutCr",
                  {"--flood-bytes", "1048576"},
                  "",
                  AlarmLine("F1") + "\n",
                  {"sent (F1)"},
                  {"recv: SA<9>F1<9>"},
                  "ATAS receive buffer overflow"},
        // 16 MiB without LF from the alarm server: thrown away, the next line is answered.
        LinesCase{"AlarmServerFloodsWithoutLf",
                  {},
                  "",
                  std::string(16 << 20, 'x') + "\n" + AlarmLine("W1") + "\n",
                  {"sent (W1)"},
                  {"recv: SA<9>W1<9>"},
                  "Orvane receive buffer overflow"}),
    [](const auto& info) { return std::string(info.param.name); });

// A reply that comes after its command gave up, while no command waits, is
// not kept for the next one: with every SA acknowledged 1.5 s late, after its
// 1 s time-out, the second alarm fails too, sent after the first's late "ack".
TEST_F(PbxLinkTest, ReplyAfterTheTimeOutDoesNotAnswerTheNextAlarm) {
    StartPbx({"--reply", "SA=delay:1500"});
    StartGateway("CommandTimeout=1");
    ASSERT_TRUE(WaitForSession()) << Describe();
    AlarmServer client = Connect();
    ASSERT_TRUE(client.Send(AlarmLine("D1") + "\n"));
    ASSERT_TRUE(client.WaitForLine("failed (D1)")) << Describe();
    // After ATE1's and SM's: D1's late "ack".
    ASSERT_TRUE(WaitForGatewayLine("[KVX <- ATAS]    ack<13>", 3)) << Describe();
    ASSERT_TRUE(client.Send(AlarmLine("D2") + "\n"));
    ASSERT_TRUE(Fence(client)) << Describe();
    EXPECT_EQ(client.Lines(), (Texts{"failed (D1)", "failed (D2)", "buffered (FENCE)"}));
}

struct PbxFault {
    const char* name;
    Texts pbx_options;  // none: nothing listens
    const char* ready;  // the gateway's line before the alarms come
    Texts replies;      // to L1 and L2
    friend void PrintTo(const PbxFault& fault, std::ostream* out) { *out << fault.name; }
};

class PbxFaultTest : public PbxLinkTest, public ::testing::WithParamInterface<PbxFault> {};

// No alarm goes into a session that is not set up, and none is lost to a PBX
// that hangs up: one whose SA is cut off fails at once (not after its long
// time-out), held-back ones stay held back while the gateway keeps trying,
// and a working PBX gets them once each, after its set-up and oldest first.
TEST_P(PbxFaultTest, HeldBackAlarmsReachTheNextWorkingPbx) {
    int atas_port = FreeLocalPort();
    if (!GetParam().pbx_options.empty()) {
        StartPbx(GetParam().pbx_options);
        atas_port = pbx_->Port();
    }
    StartGateway("CommandTimeout=60\nBufferWhenDisconnected=1\nMaxBufferedMessages=10", {},
                 atas_port);
    ASSERT_TRUE(WaitForGatewayLine(GetParam().ready)) << Describe();
    AlarmServer client = Connect();
    ASSERT_TRUE(client.Send(AlarmLine("L1") + "\n" + AlarmLine("L2") + "\n"));
    ASSERT_TRUE(client.WaitForLines(2)) << Describe();
    EXPECT_EQ(client.Lines(), GetParam().replies);
    ASSERT_TRUE(WaitForGatewayLine("Connecting to", 2)) << Describe();
    const std::string faulty = pbx_ ? pbx_->Stdout() : "";
    EXPECT_EQ(CountOf(faulty, "recv: SA"), CountOf(faulty, "dropped: after command")) << faulty;

    StartPbx({}, atas_port);
    ASSERT_TRUE(pbx_->WaitForStdout("recv: SM<9>")) << Describe();  // L3 comes after the set-up
    ASSERT_TRUE(client.Send(AlarmLine("L3") + "\n"));
    EXPECT_TRUE(client.WaitForLine("sent (L3)")) << Describe();
    ASSERT_EQ(pbx_->WaitForAlarms("L3"), 1u) << Describe();
    std::vector<std::string> order{"recv: SM<9>"};
    for (const std::string id : {"L1", "L2"}) {
        const bool held = client.Lines()[id == "L1" ? 0 : 1] == Reply("buffered", id);
        EXPECT_EQ(CountOf(pbx_->Stdout(), "recv: SA<9>" + id + "<9>"), held ? 1u : 0u) << id;
        if (held) order.push_back("recv: SA<9>" + id + "<9>");
    }
    order.push_back("recv: SA<9>L3<9>");
    EXPECT_TRUE(InOrder(pbx_->Stdout(), {order.begin(), order.end()})) << Describe();
}

const Texts kBothHeldBack = {"buffered (L1)", "buffered (L2)"};
INSTANTIATE_TEST_SUITE_P(
    Pbx, PbxFaultTest,
    ::testing::Values(
        PbxFault{"NobodyListens", {}, "Failed to connect to", kBothHeldBack},
        PbxFault{"NeverPrompts", {"--no-prompt"}, "Failed to connect to", kBothHeldBack},
        PbxFault{"RefusesTheLogin", {"--refuse-login"}, "Failed to connect to", kBothHeldBack},
        PbxFault{"HangsUpInTheLogin",
                 {"--no-prompt", "--flap", "300"},
                 "Failed to connect to",
                 kBothHeldBack},
        // ATE1, SM, then the SA: L1 is cut off while it waits, L2 each time it is sent.
        PbxFault{"HangsUpOnEachAlarm",
                 {"--drop-after", "3"},
                 "set menu (SM)",
                 {"failed (L1)", "buffered (L2)"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A PBX that is down, or that hangs up during the login, is tried once per
// ConnectTimeout, not in a tight loop: every attempt takes its time-out.
TEST_F(PbxLinkTest, AttemptsOnAPbxThatIsDownArePacedByTheConnectTimeout) {
    for (const Texts& pbx_options : {Texts{}, Texts{"--no-prompt", "--flap", "100"}}) {
        SCOPED_TRACE(pbx_options.empty() ? "down" : "hangs up in the login");
        pbx_.reset();
        int atas_port = FreeLocalPort();
        if (!pbx_options.empty()) {
            StartPbx(pbx_options);
            atas_port = pbx_->Port();
        }
        StartGateway("ConnectTimeout=3\nReconnectInterval=0", {}, atas_port);
        ASSERT_TRUE(WaitForGatewayLine("Connecting to")) << Describe();
        // Attempts at 0, 3, 6 and 9 s; a fifth within 10 s is one too many.
        EXPECT_FALSE(WaitUntil([&] { return CountOf(gateway_->Stdout(), "Connecting to") >= 5; },
                               std::chrono::seconds(10)))
            << Describe();
        EXPECT_GE(CountOf(gateway_->Stdout(), "Failed to connect to"), 2u) << Describe();
    }
}

// A link that drops every 1.5 s while 20 alarms a second flow: every line is
// answered once, and every alarm answered "sent" or "buffered" reaches the PBX.
TEST_F(PbxLinkTest, FlappingLinkLosesNoAlarm) {
    StartPbx({"--flap", "1500"});
    StartGateway("BufferWhenDisconnected=1\nMaxBufferedMessages=1000");
    ASSERT_TRUE(WaitForSession()) << Describe();
    AlarmServer client = Connect();
    const auto start = std::chrono::steady_clock::now();
    for (int n = 1; n <= 80; ++n) {
        ASSERT_TRUE(client.Send(AlarmLine("P" + std::to_string(n)) + "\n"));
        // Paced, so the flow spans several drops of the link.
        std::this_thread::sleep_until(start + n * std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(Fence(client)) << Describe();
    ASSERT_GE(CountOf(pbx_->Stdout(), "dropped: flap"), 2u) << "the link never dropped";
    const Texts lines = client.Lines();
    ASSERT_EQ(lines.size(), 81u) << Describe();
    for (int n = 1; n <= 80; ++n) {
        const std::string id = "P" + std::to_string(n);
        const std::string& reply = lines[n - 1];
        ASSERT_TRUE(reply == Reply("sent", id) || reply == Reply("failed", id) ||
                    reply == Reply("buffered", id))
            << reply;
        EXPECT_TRUE(reply.starts_with("failed") || pbx_->WaitForAlarms(id) >= 1) << id;
    }
    ExpectGatewayAnswers();
}

}  // namespace
}  // namespace kelvarix::e2e
