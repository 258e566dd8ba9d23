// Alarms through the real gateway: from the test as the alarm server,
// through kelvarix, to the PBX simulator, and the acknowledgements back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

class AlarmFlowTest : public GatewayTest {};

// An alarm's life: a terminal's acknowledgement is reported with MCA, written
// to the SCADA file and deletes the event's other destination; an alarm of
// that event is refused from then on; an acknowledgement from the alarm
// server deletes every destination with the tag, in any case, without MCA.
TEST_F(AlarmFlowTest, AcknowledgementsFromTheTerminalAndFromTheAlarmServer) {
    const std::string scada = home_.path("scada-ack.txt");
    StartPbx({}, 0, /*keyboard=*/true);
    StartGateway("HeartbeatInterval=60\nSendMCA=1\nSCADAAckFile=" + scada);
    ASSERT_TRUE(WaitForSession()) << Describe();
    AlarmServer server = Connect();
    const auto send = [&](const std::string& line) {
        const std::size_t before = server.Lines().size();
        return server.Send(line + "\n") && server.WaitForLines(before + 1) ? server.Lines().back()
                                                                           : "(none)";
    };
    ASSERT_EQ(send("1|0|88|4711|2001||Fire room 12|FIRE-2"), "sent (4711)") << Describe();
    ASSERT_EQ(send("1|0|88|4712|2002||Fire room 12|FIRE-2"), "sent (4712)") << Describe();

    pbx_->Process().Type("OPM\\t4711\\t2001\\t2\\tT9");
    // One tick handles both entries, the acknowledged one first.
    ASSERT_TRUE(pbx_->WaitFor("recv: DA<9>4712<9>2002\n")) << Describe();
    ASSERT_TRUE(WaitUntil([&] { return !ReadFile(scada).empty(); }));
    EXPECT_EQ(ReadFile(scada), "FIRE-2\t4711\t88\tT9\r\n");
    EXPECT_TRUE(InOrder(pbx_->Output(), {"recv: MCA<9>2001<9>\n", "recv: DA<9>4712"}))
        << Describe();
    EXPECT_TRUE(
        WaitForGatewayLine("Deleted message from PBX (AlarmId: 4712, EventId: 88, Tag: "
                           "FIRE-2, Destination: 2002, TermId: )"))
        << Describe();
    EXPECT_TRUE(InOrder(gateway_->Stdout(), {"Sent MCA to PBX (AlarmId: 4711, EventId: 88, Tag: "
                                             "FIRE-2, Destination: 2001, TermId: )",
                                             "Deleted message from PBX (AlarmId: 4712"}))
        << Describe();

    EXPECT_EQ(send("1|0|88|4711|2001||Fire room 12|FIRE-2"), "failed (4711)") << Describe();
    EXPECT_EQ(send("1|0|88|4713|2003||Fire room 12|FIRE-2"), "failed (4713)") << Describe();
    ASSERT_TRUE(WaitForGatewayLine("Alarm has already been acknowledged by TermId 'T9', threw", 2))
        << Describe();

    ASSERT_EQ(send("1|0|90|4800|2003|T7|Gas hall B|GAS-1"), "sent (4800)") << Describe();
    ASSERT_EQ(send("1|0|90|4801|2004||Gas hall B|GAS-1"), "sent (4801)") << Describe();
    ASSERT_EQ(send("1|0|91|4802|2003||Smoke hall C|SMOKE-1"), "sent (4802)") << Describe();
    EXPECT_EQ(send("2|0|90|4800|2003|||gas-1"), "sent (4800)") << Describe();
    ASSERT_TRUE(pbx_->WaitFor("recv: DA<9>4801<9>2004\n")) << Describe();
    ASSERT_TRUE(WaitForGatewayLine("Removed old or deleted message from queue (AlarmId: 4801"))
        << Describe();
    const std::string pbx = pbx_->Output();
    EXPECT_EQ(CountOf(pbx, "recv: DA<9>4800<9>2003\n"), 1u) << pbx;
    EXPECT_EQ(CountOf(pbx, "recv: DA"), 3u) << pbx;  // the other tag stays on the PBX
    EXPECT_EQ(CountOf(pbx, "recv: MCA"), 1u) << pbx;
    EXPECT_EQ(CountOf(pbx, "recv: SA<9>4713"), 0u) << pbx;
    EXPECT_EQ(CountOf(pbx, "recv: SA<9>4711"), 1u) << pbx;
    EXPECT_EQ(ReadFile(scada), "FIRE-2\t4711\t88\tT9\r\n");
    // Acknowledgements are never reported to the alarm server.
    EXPECT_EQ(server.Lines().size(), 8u);
}

// An alarm that comes while the PBX has not even prompted for the login waits
// for the session's set-up, goes out after it and gets exactly one reply.
TEST_F(AlarmFlowTest, AlarmDuringASlowLoginWaitsForTheSetUp) {
    StartPbx({"--prompt-delay", "1000"});
    StartGateway();
    ASSERT_TRUE(pbx_->WaitFor("connected ")) << Describe();
    AlarmServer server = Connect();
    ASSERT_TRUE(server.Send("1|0|60|6001|2001||Slow prompt|SLOW-1\n"));
    ASSERT_EQ(CountOf(pbx_->Output(), "send: USERNAME:"), 0u) << Describe();
    ASSERT_TRUE(Fence(server)) << Describe();
    EXPECT_EQ(server.Lines(), (std::vector<std::string>{"sent (6001)", "buffered (FENCE)"}));
    const std::vector<std::string> expected = {"kelvarix", "kelvarix", "ATE1",
                                               "SM<9>Read<9>Acknowledge",
                                               "SA<9>6001<9>2001<9>Slow prompt"};
    EXPECT_EQ(pbx_->Received(), expected) << Describe();
    EXPECT_EQ(CountOf(pbx_->Output(), "login ok"), 1u) << Describe();
}

// A second alarm-server connection replaces the first: the first is closed,
// its unfinished line is dropped (glued to the next connection's text it
// would be alarm 9001), its waiting alarm still goes out once, and the
// second connection gets the replies of its own lines only.
TEST_F(AlarmFlowTest, SecondConnectionReplacesTheFirst) {
    StartPbx({"--reply", "SA=delay:800"});
    StartGateway("CommandTimeout=5");
    ASSERT_TRUE(WaitForSession()) << Describe();
    AlarmServer first = Connect();
    ASSERT_TRUE(first.Send(AlarmLine("K1") + "\n1|0|77|9001|2001||Partial"));
    ASSERT_TRUE(pbx_->WaitFor("recv: SA<9>K1<9>")) << Describe();
    ASSERT_TRUE(WaitForGatewayLine("1|0|77|9001|2001||Partial")) << Describe();

    AlarmServer second = Connect();
    EXPECT_TRUE(first.WaitForClose()) << Describe();
    ASSERT_TRUE(second.Send("1|0|78|9002|2002||Whole|T-2\n"));
    ASSERT_TRUE(Fence(second)) << Describe();
    EXPECT_EQ(second.Lines(), (std::vector<std::string>{"sent (9002)", "buffered (FENCE)"}));
    EXPECT_TRUE(first.Lines().empty());
    EXPECT_TRUE(WaitForGatewayLine("Alarm to PBX (success) (AlarmId: K1")) << Describe();
    EXPECT_EQ(pbx_->WaitForAlarms("K1"), 1u);
    EXPECT_EQ(CountOf(pbx_->Output(), "recv: SA<9>9001"), 0u) << Describe();
    EXPECT_EQ(CountOf(gateway_->Stdout(), "Orvane Alarm Server connected"), 2u) << Describe();
}

}  // namespace
}  // namespace kelvarix::e2e
