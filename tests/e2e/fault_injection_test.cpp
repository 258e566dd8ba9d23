// Faults of the PBX and of the alarm server, played against the real gateway
// on loopback. Each test names the promise it checks: the gateway runs on,
// every alarm line of status 0 to 3 gets exactly one reply while its
// connection lasts, held-back alarms reach the PBX once it is back, and its
// memory stays bounded.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "e2e/fault_peers.h"
#include "e2e/process.h"

namespace kelvarix::e2e {
namespace {

constexpr std::string_view kStarted = "Kelvarix was started";
constexpr std::size_t kMiB = 1024 * 1024;

std::string Reply(std::string_view word, std::string_view id) {
    return std::string(word) + " (" + std::string(id) + ")";
}

class FaultTest : public ::testing::Test {
protected:
    // The gateway on a fresh program folder, looking for the PBX at atas_port.
    void StartGateway(int atas_port, std::string_view atas_extra = {}) {
        folder_.emplace(FaultIni(server_port_, atas_port, atas_extra));
        gateway_.emplace(StartLeanGateway(*folder_));
        ASSERT_TRUE(gateway_->WaitForStdout(kStarted)) << gateway_->Describe();
        // The port was free when chosen; another program may have taken it since.
        ASSERT_TRUE(gateway_->WaitForStdout("Orvane server socket port " + std::to_string(server_port_) +
                                            " was set in listening mode"))
            << gateway_->Describe();
    }
    // Waits until the gateway has logged `text` at least `count` times.
    bool WaitForLogCount(std::string_view text, std::size_t count) {
        return WaitUntil([&] { return CountOf(folder_->SystemLog(), text) >= count; });
    }
    // Waits until the session with the simulator is set up for alarms.
    bool WaitForSession(std::size_t count = 1) {
        return WaitUntil([&] {
            const std::string log = folder_->SystemLog();
            return CountOf(log, "Turned on echo and turned off heartbeat using ATE1") +
                       CountOf(log, "Failed to turn on echo and turn off heartbeat using ATE1") >=
                   count;
        });
    }
    // Every traffic log file (*.Dbg), for a run across midnight too.
    std::string TrafficLog() const {
        std::string log;
        for (std::string name : folder_->SystemLogNames()) {
            name.replace(name.size() - 3, 3, "Dbg");
            log += ReadFile(folder_->LogFolder() + name);
        }
        return log;
    }
    RawClient Client(const std::string& from = {}) {
        std::optional<RawClient> client = RawClient::Connect(server_port_, "127.0.0.1", from);
        if (!client) throw std::runtime_error("cannot connect to the gateway");
        return std::move(*client);
    }
    // A status-0 line is answered at once, after every line before it: once
    // its reply is in, so are the replies of all earlier lines.
    static bool Fence(RawClient& client, std::string_view id = "FENCE") {
        return client.Send("0|0|E|" + std::string(id) + "|2001||fence|T\n") &&
               client.WaitForLine(Reply("buffered", id));
    }
    // The gateway is alive: a new alarm-server connection is accepted and answered.
    void ExpectGatewayAnswers() {
        ASSERT_TRUE(gateway_->Running()) << gateway_->Describe();
        RawClient probe = Client();
        EXPECT_TRUE(Fence(probe, "PROBE")) << gateway_->Describe();
    }

    int server_port_ = FreeLocalPort();
    std::optional<TempProgramFolder> folder_;  // before the gateway: it outlives it
    std::optional<ChildProcess> gateway_;
};

// --- the PBX side ------------------------------------------------------------

// A PBX that hangs up while an alarm waits for its reply: the alarm is answered
// "failed" once the link is gone (not after its long time-out), and the
// gateway reconnects and forwards the next alarm.
TEST_F(FaultTest, PbxHangingUpOnAWaitingAlarm_FailsItOnceAndReconnects) {
    PbxSim pbx({"--drop-after", "2"});  // ATE1 is command 1, the SA command 2
    StartGateway(pbx.Port(), "CommandTimeout=60");
    ASSERT_TRUE(WaitForSession(1)) << folder_->SystemLog();
    RawClient client = Client();
    ASSERT_TRUE(client.Send(AlarmLine("A1") + "\n"));
    ASSERT_TRUE(client.WaitForLines(1)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines()[0], Reply("failed", "A1"));

    ASSERT_TRUE(WaitForSession(2)) << folder_->SystemLog();
    ASSERT_TRUE(client.Send(AlarmLine("A2") + "\n"));
    ASSERT_TRUE(client.WaitForLines(2)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines()[1], Reply("failed", "A2"));
    ASSERT_TRUE(Fence(client));
    EXPECT_EQ(client.Lines().size(), 3u);
    EXPECT_EQ(pbx.WaitForAlarms("A1"), 1u);
    EXPECT_EQ(pbx.WaitForAlarms("A2"), 1u);
    ExpectGatewayAnswers();
}

// A held-back alarm whose SA the PBX hung up on is not lost: it stays held
// back and reaches the next PBX that takes it.
TEST_F(FaultTest, BufferedAlarmCutOffByAHangUp_ReachesThePbxAfterReconnecting) {
    const int atas_port = FreeLocalPort();
    StartGateway(atas_port, "BufferWhenDisconnected=1\nMaxBufferedMessages=10");
    RawClient client = Client();
    ASSERT_TRUE(client.Send(AlarmLine("B1") + "\n"));
    ASSERT_TRUE(client.WaitForLine(Reply("buffered", "B1"))) << folder_->SystemLog();
    {
        PbxSim dropping({"--drop-after", "2"}, atas_port);
        ASSERT_TRUE(dropping.WaitForOutput("dropped: after command 2")) << folder_->SystemLog();
        EXPECT_EQ(dropping.WaitForAlarms("B1"), 1u);
    }
    PbxSim pbx({}, atas_port);
    EXPECT_TRUE(WaitUntil([&] { return pbx.AlarmsReceived("B1") == 1; })) << folder_->SystemLog();
    ASSERT_TRUE(Fence(client));
    EXPECT_EQ(client.Lines().size(), 2u);  // B1 was answered once, when it was held back
    ExpectGatewayAnswers();
}

struct LoginFault {
    const char* name;
    std::vector<std::string> options;
    // A long one shows that a refused login ends its attempt at once.
    const char* connect_timeout;
    friend void PrintTo(const LoginFault& fault, std::ostream* out) { *out << fault.name; }
};

class LoginFaultTest : public FaultTest, public ::testing::WithParamInterface<LoginFault> {};

// A PBX that takes the connection but never finishes the login: no alarm goes
// into the unfinished session, each is answered "buffered" once, the
// gateway keeps trying, and all of them reach a working PBX later, oldest
// first.
TEST_P(LoginFaultTest, AlarmsAreHeldBackOnceAndReachTheNextWorkingPbx) {
    std::optional<PbxSim> faulty(std::in_place, GetParam().options);
    const int atas_port = faulty->Port();
    StartGateway(atas_port, std::string("BufferWhenDisconnected=1\nMaxBufferedMessages=10\nConnectTimeout=") +
                                GetParam().connect_timeout);
    ASSERT_TRUE(WaitForLogCount("Failed to connect to", 1)) << folder_->SystemLog();
    RawClient client = Client();
    ASSERT_TRUE(client.Send(AlarmLine("L1") + "\n" + AlarmLine("L2") + "\n"));
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines(),
              (std::vector<std::string>{Reply("buffered", "L1"), Reply("buffered", "L2"),
                                        Reply("buffered", "FENCE")}));
    ASSERT_TRUE(WaitForLogCount("Failed to connect to", 2)) << folder_->SystemLog();
    EXPECT_EQ(CountOf(faulty->Output(), "recv: SA"), 0u) << faulty->Output();
    faulty.reset();

    PbxSim pbx({}, atas_port);
    ASSERT_TRUE(WaitUntil([&] { return pbx.AlarmsReceived("L2") == 1; })) << folder_->SystemLog();
    EXPECT_EQ(pbx.WaitForAlarms("L1"), 1u);
    EXPECT_TRUE(InOrder(pbx.Output(), {"recv: SA<9>L1<9>", "recv: SA<9>L2<9>"})) << pbx.Output();
    ASSERT_TRUE(client.Send(AlarmLine("L3") + "\n"));
    EXPECT_TRUE(client.WaitForLine(Reply("sent", "L3"))) << folder_->SystemLog();
    ExpectGatewayAnswers();
}

INSTANTIATE_TEST_SUITE_P(Pbx, LoginFaultTest,
                         ::testing::Values(LoginFault{"NeverPrompts", {"--no-prompt"}, "1"},
                                           LoginFault{"RefusesTheLogin", {"--refuse-login"}, "60"},
                                           LoginFault{"HangsUpInTheLogin", {"--no-prompt", "--flap", "300"}, "1"}),
                         [](const auto& info) { return std::string(info.param.name); });

// A PBX that is down, or that hangs up during the login, is tried once per
// ConnectTimeout, not in a tight loop: every attempt takes its time-out.
class AttemptPacingTest : public FaultTest,
                          public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(AttemptPacingTest, OneAttemptPerConnectTimeout) {
    std::optional<PbxSim> pbx;
    if (!GetParam().empty()) pbx.emplace(GetParam());
    StartGateway(pbx ? pbx->Port() : FreeLocalPort(), "ConnectTimeout=3\nReconnectInterval=0");
    ASSERT_TRUE(WaitForLogCount("Connecting to", 1)) << folder_->SystemLog();
    // Attempts at 0, 3, 6 and 9 s; a fifth within 10 s is one too many.
    EXPECT_FALSE(WaitUntil([&] { return CountOf(folder_->SystemLog(), "Connecting to") >= 5; },
                           std::chrono::seconds(10)))
        << folder_->SystemLog();
    EXPECT_GE(CountOf(folder_->SystemLog(), "Failed to connect to"), 2u) << folder_->SystemLog();
}

INSTANTIATE_TEST_SUITE_P(Pbx, AttemptPacingTest,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--no-prompt", "--flap", "100"}),
                         [](const auto& info) { return info.param.empty() ? "Down" : "HangsUpInTheLogin"; });

// A PBX that logs in and then answers nothing: every alarm is answered
// "failed" once, in the order sent, and each SA went out once.
TEST_F(FaultTest, SilentPbx_EachAlarmFailsOnceInOrder) {
    PbxSim pbx({"--reply", "*=none"});
    StartGateway(pbx.Port());
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient client = Client();
    ASSERT_TRUE(client.Send(AlarmLine("S1") + "\n" + AlarmLine("S2") + "\n" + AlarmLine("S3") + "\n"));
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines(),
              (std::vector<std::string>{Reply("failed", "S1"), Reply("failed", "S2"),
                                        Reply("failed", "S3"), Reply("buffered", "FENCE")}));
    for (const char* id : {"S1", "S2", "S3"}) EXPECT_EQ(pbx.WaitForAlarms(id), 1u) << id;
    ExpectGatewayAnswers();
}

// A PBX that sends 1 MiB without CR: the text is dropped, the link stays up
// and usable for the next alarm, and the gateway's memory stays bounded.
TEST_F(FaultTest, PbxFloodWithoutCr_IsDroppedAndTheLinkStaysUsable) {
    PbxSim pbx({"--flood-bytes", std::to_string(kMiB), "--quiet"});
    StartGateway(pbx.Port());
    const std::size_t rss_before = ResidentKiB(gateway_->Pid());
    ASSERT_TRUE(folder_->WaitForSystemLog("ATAS receive buffer overflow")) << folder_->SystemLog();
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient client = Client();
    ASSERT_TRUE(client.Send(AlarmLine("F1") + "\n"));
    ASSERT_TRUE(client.WaitForLines(1)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines()[0], Reply("sent", "F1"));
    EXPECT_EQ(CountOf(pbx.Output(), "closed"), 0u) << pbx.Output();
    const std::size_t rss_after = ResidentKiB(gateway_->Pid());
    RecordProperty("rss_kib_before", static_cast<int>(rss_before));
    RecordProperty("rss_kib_after", static_cast<int>(rss_after));
    EXPECT_LT(rss_after, rss_before + MemoryAllowanceKiB());
    ExpectGatewayAnswers();
}

// Each reply held back until the next command arrives (the gateway takes it
// for that command's reply) never produces a second reply or a second SA:
// every alarm is answered once.
TEST_F(FaultTest, LateReplies_EachAlarmIsStillAnsweredOnce) {
    PbxSim pbx({"--late-reply"});
    StartGateway(pbx.Port());
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient client = Client();
    for (const char* id : {"R1", "R2", "R3"}) ASSERT_TRUE(client.Send(AlarmLine(id) + "\n"));
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    ASSERT_EQ(client.Lines().size(), 4u);
    std::string replies;
    for (const std::string& line : client.Lines()) replies += line + "\n";
    for (const char* id : {"R1", "R2", "R3"}) {
        EXPECT_EQ(pbx.WaitForAlarms(id), 1u) << id;
        EXPECT_EQ(CountOf(replies, " (" + std::string(id) + ")\n"), 1u) << replies;
    }
    ExpectGatewayAnswers();
}

// A reply that comes after its command gave up, while no command waits, is
// not kept for the next one: with every SA acknowledged 1.5 s late (after
// its 1 s time-out) both alarms fail, also the second, sent after the late
// "ack" of the first had come in.
TEST_F(FaultTest, RepliesAfterTheTimeOut_DoNotAnswerTheNextAlarm) {
    PbxSim pbx({"--reply", "SA=delay:1500"});
    StartGateway(pbx.Port());
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient client = Client();
    ASSERT_TRUE(client.Send(AlarmLine("D1") + "\n"));
    ASSERT_TRUE(client.WaitForLine(Reply("failed", "D1"))) << folder_->SystemLog();
    // The late "ack" of D1 has come in (after ATE1's) before D2 is sent.
    ASSERT_TRUE(WaitUntil([&] { return CountOf(TrafficLog(), "[KVX <- ATAS]    ack<13>") >= 2; }))
        << TrafficLog();
    ASSERT_TRUE(client.Send(AlarmLine("D2") + "\n"));
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines(), (std::vector<std::string>{Reply("failed", "D1"), Reply("failed", "D2"),
                                                        Reply("buffered", "FENCE")}));
    ExpectGatewayAnswers();
}

// A PBX link that drops every 1.5 s while alarms flow: every line is answered
// once, and every alarm answered "sent" or "buffered" reaches the PBX.
TEST_F(FaultTest, FlappingPbxLink_EveryAlarmAnsweredOnceAndHeldBackOnesDelivered) {
    PbxSim pbx({"--flap", "1500"});
    StartGateway(pbx.Port(), "BufferWhenDisconnected=1\nMaxBufferedMessages=1000");
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient client = Client();
    std::vector<std::string> ids;
    const auto start = std::chrono::steady_clock::now();
    for (int n = 1; n <= 80; ++n) {
        ids.push_back("P" + std::to_string(n));
        ASSERT_TRUE(client.Send(AlarmLine(ids.back()) + "\n"));
        // 20 alarms a second, so the flow spans several drops of the link.
        std::this_thread::sleep_until(start + n * std::chrono::milliseconds(50));
        client.Lines();
    }
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    ASSERT_GE(CountOf(pbx.Output(), "dropped: flap"), 2u) << "the link never dropped";

    std::vector<std::string> lines = client.Lines();
    ASSERT_EQ(lines.size(), ids.size() + 1) << folder_->SystemLog();
    std::size_t buffered = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::string& id = ids[i];
        const std::string& reply = lines[i];
        ASSERT_TRUE(reply == Reply("sent", id) || reply == Reply("failed", id) ||
                    reply == Reply("buffered", id))
            << "line " << i << ": " << reply;
        if (reply == Reply("buffered", id)) ++buffered;
        if (!reply.starts_with("failed")) {
            EXPECT_TRUE(WaitUntil([&] { return pbx.AlarmsReceived(id) >= 1; })) << id;
        }
    }
    RecordProperty("buffered", static_cast<int>(buffered));
    ExpectGatewayAnswers();
}

// --- the alarm-server side ----------------------------------------------------

// An alarm server that sends 16 MiB without LF: the overlong line is thrown
// away, the next line is answered, and the gateway's memory stays bounded.
TEST_F(FaultTest, AlarmServerFloodWithoutLf_IsDroppedWithBoundedMemory) {
    PbxSim pbx({"--quiet"});
    StartGateway(pbx.Port());
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    const std::size_t rss_before = ResidentKiB(gateway_->Pid());
    RawClient client = Client();
    const std::string chunk(kMiB, 'x');
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(client.Send(chunk)) << "the gateway stopped reading";
    ASSERT_TRUE(client.Send("\n" + AlarmLine("W1") + "\n"));
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines(),
              (std::vector<std::string>{Reply("sent", "W1"), Reply("buffered", "FENCE")}));
    EXPECT_TRUE(folder_->WaitForSystemLog("Orvane receive buffer overflow"));
    const std::size_t rss_after = ResidentKiB(gateway_->Pid());
    RecordProperty("rss_kib_before", static_cast<int>(rss_before));
    RecordProperty("rss_kib_after", static_cast<int>(rss_after));
    EXPECT_LT(rss_after, rss_before + MemoryAllowanceKiB());
    ExpectGatewayAnswers();
}

// NUL bytes and 8-bit characters are data like any other: each line is
// answered once with its identifier as sent, and the text reaches the PBX
// byte for byte.
TEST_F(FaultTest, NulAndEightBitBytes_AreAnsweredOnceAndForwardedUnchanged) {
    PbxSim pbx({});
    StartGateway(pbx.Port());
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient client = Client();
    using namespace std::string_literals;
    const std::string text = "St\xF6rung \xC4\xD6\xDC \xE9t\xE9 \x80\xFF Raum\0 12"s;
    const std::string odd_id = "N\xFF\x80\0id"s;
    ASSERT_TRUE(client.Send("1|0|E1|N1|2001||" + text + "|T1\n"));
    ASSERT_TRUE(client.Send("1|0|E2|" + odd_id + "|2001||plain|T2\n"));
    ASSERT_TRUE(client.Send("\0\0\0\n\xFF\xFE\x80|\x01\x02\n"s));  // read as status 0
    ASSERT_TRUE(Fence(client)) << folder_->SystemLog();
    EXPECT_EQ(client.Lines(),
              (std::vector<std::string>{Reply("sent", "N1"), Reply("sent", odd_id), Reply("buffered", ""),
                                        Reply("buffered", ""), Reply("buffered", "FENCE")}));
    const std::string shown_text = "St\xF6rung \xC4\xD6\xDC \xE9t\xE9 \x80\xFF Raum<0> 12";
    ASSERT_EQ(pbx.WaitForAlarms("N\xFF\x80<0>id"), 1u);  // the later of the two
    EXPECT_EQ(CountOf(pbx.Output(), "recv: SA<9>N1<9>2001<9>" + shown_text + "\n"), 1u)
        << pbx.Output();
    EXPECT_EQ(CountOf(pbx.Output(), "recv: SA<9>N\xFF\x80<0>id<9>2001<9>plain\n"), 1u)
        << pbx.Output();
    ExpectGatewayAnswers();
}

// An alarm server that connects and disconnects in a tight loop, now and
// then with an alarm on its way: the gateway runs on, keeps no connection
// behind, and its memory stays bounded.
TEST_F(FaultTest, ConnectDisconnectLoop_LeavesNoConnectionBehind) {
    PbxSim pbx({"--quiet"});
    StartGateway(pbx.Port());
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    {
        RawClient warm_up = Client();
        ASSERT_TRUE(Fence(warm_up));
    }
    const std::size_t descriptors_before = OpenDescriptors(gateway_->Pid());
    const std::size_t rss_before = ResidentKiB(gateway_->Pid());
    for (int n = 0; n < 300; ++n) {
        RawClient client = Client();
        if (n % 3 == 1) client.Send(AlarmLine("C" + std::to_string(n)) + "\n");
        if (n % 3 == 2) client.Send("1|0|E|half a li");
    }
    RawClient last = Client();
    ASSERT_TRUE(last.Send(AlarmLine("C-last") + "\n"));
    ASSERT_TRUE(last.WaitForLine(Reply("sent", "C-last"))) << folder_->SystemLog();
    // The connections of the loop are all closed by now (each was replaced);
    // a few descriptors may come and go with the log writes.
    EXPECT_LE(OpenDescriptors(gateway_->Pid()), descriptors_before + 2);
    const std::size_t rss_after = ResidentKiB(gateway_->Pid());
    RecordProperty("rss_kib_before", static_cast<int>(rss_before));
    RecordProperty("rss_kib_after", static_cast<int>(rss_after));
    EXPECT_LT(rss_after, rss_before + MemoryAllowanceKiB());
    ExpectGatewayAnswers();
}

// An alarm server that reconnects while its alarm waits for the PBX, and
// sends the alarm again: the new connection gets the first line's reply
// (failed: the PBX answers after CommandTimeout), then the duplicate's
// (which takes the PBX's late answer).
TEST_F(FaultTest, ReconnectAndResend_NewConnectionGetsBothRepliesInOrder) {
    PbxSim pbx({"--reply", "SA=delay:3000"});
    StartGateway(pbx.Port(), "CommandTimeout=2");
    ASSERT_TRUE(WaitForSession()) << folder_->SystemLog();
    RawClient first = Client();
    ASSERT_TRUE(first.Send(AlarmLine("K1") + "\n"));
    ASSERT_TRUE(pbx.WaitForOutput("recv: SA<9>K1<9>"));
    RawClient second = Client();
    EXPECT_TRUE(first.WaitForClose());
    ASSERT_TRUE(second.Send(AlarmLine("K1") + "\n"));
    ASSERT_TRUE(Fence(second)) << folder_->SystemLog();
    EXPECT_EQ(second.Lines(), (std::vector<std::string>{Reply("failed", "K1"), Reply("sent", "K1"),
                                                        Reply("buffered", "FENCE")}));
    EXPECT_TRUE(first.Lines().empty());
    EXPECT_EQ(pbx.WaitForAlarms("K1", 2), 2u);
    ExpectGatewayAnswers();
}

}  // namespace
}  // namespace kelvarix::e2e
