// Alarms through the real gateway against the PBX simulator's fault
// personalities: heartbeats under load, and a PBX that is slow, silent, late,
// hangs up or floods.

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

using namespace std::string_literals;

class PbxLinkTest : public GatewayTest {};

// Heartbeats keep the link alive (the simulator drops it after HBC's 4 s
// without a line) under alarms whose replies take 200 ms and whose
// acknowledgements come meanwhile: HB, MCA and DA keep their turn.
TEST_F(PbxLinkTest, HeartbeatsKeepTheirCadenceUnderAStreamOfAlarms) {
    // The load generator then takes the alarm server's place.
    Session({"--reply", "SA=delay:200", "--auto-ack", "100"}, "HeartbeatInterval=4\nSendMCA=1");
    constexpr int kAlarms = 25;  // about five seconds of alarms, longer than the interval
    ChildProcess load(BuiltBinary("kelvarix-alarmsim"),
                      {"--port", std::to_string(server_port_), "--load", std::to_string(kAlarms)});
    ASSERT_EQ(load.WaitForExit(std::chrono::seconds(60)), 0) << load.Describe();
    EXPECT_TRUE(Has(load.Stdout(), "replies: 25 sent=25 ")) << load.Describe();
    ASSERT_TRUE(pbx_->WaitForStdout("recv: MCA<9>", kAlarms)) << Describe();
    const std::string pbx = pbx_->Stdout();
    EXPECT_EQ(CountOf(pbx, "dropped: heartbeat timeout"), 0u) << pbx;
    EXPECT_EQ(CountOf(pbx, "connected "), 1u) << pbx;
    // Acknowledgements were handled while alarms still came, not after.
    EXPECT_LT(pbx.find("recv: MCA<9>"), pbx.rfind("recv: SA<9>")) << pbx;

    // HB went on every second while the alarms flowed (the simulator's check
    // cannot tell: every SA counts as a line for it).
    const std::string_view sa = "[KVX -> ATAS]    SA<9>", hb = " HB<13>\n";
    EXPECT_TRUE(InOrder(gateway_->Stdout(), {sa, hb, hb, hb, sa})) << Describe();
}

// An alarm that comes while the PBX has not even prompted for the login waits
// for the session's set-up, goes out after it and gets exactly one reply.
TEST_F(PbxLinkTest, AlarmDuringASlowLoginWaitsForTheSetUp) {
    StartPbx({"--prompt-delay", "1000"});
    StartGateway();
    ASSERT_TRUE(pbx_->WaitForStdout("connected ")) << Describe();
    AlarmServer server = Connect();
    ASSERT_TRUE(server.Send(AlarmLine("6001") + "\n"));
    ASSERT_EQ(CountOf(pbx_->Stdout(), "send: USERNAME:"), 0u) << Describe();
    ASSERT_TRUE(Fence(server)) << Describe();
    EXPECT_EQ(server.Lines(), (Texts{"sent (6001)", "buffered (FENCE)"}));
    EXPECT_TRUE(InOrder(pbx_->Stdout(), {"recv: ATE1\n", "recv: SM<9>", "recv: SA<9>6001<9>"}))
        << Describe();
    EXPECT_EQ(CountOf(pbx_->Stdout(), "recv: SA"), 1u) << Describe();
}

struct LinesCase {
    const char* name;
    Texts pbx_options;
    std::string lines;
    Texts replies;
    Texts pbx_shows;  // each exactly once
    const char* gateway_shows;
};

// Whatever the PBX or the alarm server sends, every line gets one reply,
// in the order sent, and each alarm went out once, byte for byte.
TEST_F(PbxLinkTest, EachLineIsAnsweredOnceAndEachAlarmGoesOutOnce) {
    for (const LinesCase& c :
         {// NUL bytes and 8-bit characters are data like any other; an id may hold them too.
          LinesCase{"NulAndEightBitBytes",
                    {},
                    "1|0|E1|N1|2001||St\xF6rung \xC4\xD6\xDC \x80\xFF Raum\0 12|T1\n"
                    "1|0|E2|N\xFF\x80\0id|2001||plain|T2\n\0\0\0\n\xFF\xFE\x80|\x01\x02\n"s,
                    {"sent (N1)", "sent (N\xFF\x80\0id)"s, "buffered ()", "buffered ()"},
                    {"recv: SA<9>N1<9>2001<9>St\xF6rung \xC4\xD6\xDC \x80\xFF Raum<0> 12\n",
                     "recv: SA<9>N\xFF\x80<0>id<9>2001<9>plain\n"},
                    "Alarm to PBX (success)"},
          // Each reply comes when the next command arrives: the gateway takes
          // it for that command's reply, and never answers twice.
          LinesCase{"RepliesLate",
                    {"--late-reply"},
                    AlarmLine("R1") + "\n" + AlarmLine("R2") + "\n" + AlarmLine("R3") + "\n",
                    {"sent (R1)", "sent (R2)", "sent (R3)"},
                    {"recv: SA<9>R1<9>", "recv: SA<9>R2<9>", "recv: SA<9>R3<9>"},
                    "Failed to turn on echo"},
          // 1 MiB without CR is dropped; the link stays up and usable.
          LinesCase{"FloodsWithoutCr",
                    {"--flood-bytes", "1048576"},
                    AlarmLine("F1") + "\n",
                    {"sent (F1)"},
                    {"recv: SA<9>F1<9>"},
                    "ATAS receive buffer overflow"}}) {
        SCOPED_TRACE(c.name);
        AlarmServer client = Session(c.pbx_options);
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
        ExpectGatewayAnswers();
    }
}

struct PbxFault {
    const char* name;
    Texts pbx_options;  // none: nothing listens
    const char* ready;  // the gateway's line before the alarms come
    Texts replies;      // to L1 and L2
    Texts then_sent;    // what the working PBX gets after its set-up, in order
};

// No alarm goes into a session that is not set up, and none is lost to a PBX
// that hangs up: one whose SA is cut off fails at once (not after its long
// time-out), held-back ones stay held back while the gateway keeps trying,
// and a working PBX gets them once each, after its set-up and oldest first.
TEST_F(PbxLinkTest, HeldBackAlarmsReachTheNextWorkingPbx) {
    const Texts kBothHeldBack = {"buffered (L1)", "buffered (L2)"}, kAllThree = {"L1", "L2", "L3"};
    for (const PbxFault& fault :
         {PbxFault{"NobodyListens", {}, "Failed to connect to", kBothHeldBack, kAllThree},
          // Connected but never set up: the alarms wait out the login, then are held back.
          PbxFault{
              "NeverPrompts", {"--no-prompt"}, "Failed to connect to", kBothHeldBack, kAllThree},
          // ATE1, SM, then the SA: L1 is cut off while it waits, L2 each time it is sent.
          PbxFault{"HangsUpOnEachAlarm",
                   {"--drop-after", "3"},
                   "set menu (SM)",
                   {"failed (L1)", "buffered (L2)"},
                   {"L2", "L3"}}}) {
        SCOPED_TRACE(fault.name);
        pbx_.reset();
        int atas_port = FreeLocalPort();
        if (!fault.pbx_options.empty()) {
            StartPbx(fault.pbx_options);
            atas_port = pbx_->Port();
        }
        StartGateway("CommandTimeout=60\nBufferWhenDisconnected=1\nMaxBufferedMessages=10", {},
                     atas_port);
        ASSERT_TRUE(WaitForGatewayLine(fault.ready)) << Describe();
        AlarmServer client = Connect();
        ASSERT_TRUE(client.Send(AlarmLine("L1") + "\n" + AlarmLine("L2") + "\n"));
        ASSERT_TRUE(client.WaitForLines(2)) << Describe();
        EXPECT_EQ(client.Lines(), fault.replies);
        ASSERT_TRUE(WaitForGatewayLine("Connecting to", 2)) << Describe();
        const std::string faulty = pbx_ ? pbx_->Stdout() : "";
        EXPECT_EQ(CountOf(faulty, "recv: SA"), CountOf(faulty, "dropped: after command")) << faulty;

        StartPbx({"--port", std::to_string(atas_port)});                // in the faulty one's place
        ASSERT_TRUE(pbx_->WaitForStdout("recv: SM<9>")) << Describe();  // L3 comes after the set-up
        EXPECT_EQ(client.Answer(AlarmLine("L3")), "sent (L3)") << Describe();
        Texts sent;
        const std::string pbx = pbx_->Stdout();
        for (const std::string& line : Lines(pbx.substr(pbx.find("recv: SM<9>"))))
            if (line.starts_with("recv: SA<9>")) sent.push_back(line.substr(11, 2));
        EXPECT_EQ(sent, fault.then_sent) << Describe();
    }
}

}  // namespace
}  // namespace kelvarix::e2e
