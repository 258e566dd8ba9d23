// Alarms through the real gateway: from a test playing the alarm server,
// through kelvarix, to the PBX simulator, and the acknowledgements back.
#include <gtest/gtest.h>

#include <string>

#include "e2e/gateway_rig.h"

namespace kelvarix::e2e::rig {
namespace {

class AlarmFlowTest : public GatewayTest {
protected:
    std::string ScadaPath() const { return folder_.Path() + "scada-ack.txt"; }

    // Terminal acknowledgements are reported with MCA and written to the
    // SCADA file; alarms are held back while the PBX is down.
    std::string Extra() const {
        return "HeartbeatInterval=60\nSendMCA=1\nSCADAAckFile=" + ScadaPath() +
               "\nBufferWhenDisconnected=1\nMaxBufferedMessages=10\n";
    }

    void StartBoth(const std::vector<std::string>& pbx_arguments = {}, bool keyboard = false) {
        StartPbx(pbx_arguments, 0, keyboard);
        StartGateway(Extra());
        ASSERT_TRUE(WaitForSessionSetUp()) << Describe();
    }
};

TEST_F(AlarmFlowTest, TerminalAckSendsMcaWritesScadaLineAndDeletesTheOtherDestinationOfTheEvent) {
    ASSERT_NO_FATAL_FAILURE(StartBoth({}, /*keyboard=*/true));
    AlarmServerSocket server(server_port_);
    ASSERT_EQ(ReplyTo(server, "1|0|88|4711|2001||Fire alarm room 12|FIRE-2"), "sent (4711)") << Describe();
    ASSERT_EQ(ReplyTo(server, "1|0|88|4712|2002||Fire alarm room 12|FIRE-2"), "sent (4712)") << Describe();

    pbx_->Type("OPM\\t4711\\t2001\\t2\\tT9");

    // One tick handles both entries, the acknowledged one first.
    ASSERT_TRUE(pbx_->WaitForOutput("recv: DA<9>4712<9>2002\n")) << Describe();
    ASSERT_TRUE(WaitForTextInFile(ScadaPath(), "\n")) << Describe();
    EXPECT_EQ(ReadFile(ScadaPath()), "FIRE-2\t4711\t88\tT9\r\n");
    const std::string pbx = pbx_->Output();
    EXPECT_EQ(CountOf(pbx, "recv: MCA<9>2001<9>\n"), 1u) << pbx;
    EXPECT_EQ(CountOf(pbx, "recv: MCA"), 1u) << pbx;
    EXPECT_EQ(CountOf(pbx, "recv: DA<9>4711"), 0u) << pbx;
    EXPECT_TRUE(WaitForGatewayLine(
        "Sent MCA to PBX (AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, TermId: )"))
        << Describe();
    EXPECT_TRUE(WaitForGatewayLine(
        "Deleted message from PBX (AlarmId: 4712, EventId: 88, Tag: FIRE-2, Destination: 2002, TermId: )"))
        << Describe();
    // Acknowledgements are never reported to the alarm server.
    EXPECT_EQ(server.Received(), "sent (4711)\nsent (4712)\n");
}

TEST_F(AlarmFlowTest, AlarmServerAckDeletesEveryDestinationWithTheTagInAnyCaseWithoutMcaOrScadaLine) {
    ASSERT_NO_FATAL_FAILURE(StartBoth());
    AlarmServerSocket server(server_port_);
    ASSERT_EQ(ReplyTo(server, "1|0|90|4800|2003|T7|Gas leak hall B|GAS-1"), "sent (4800)") << Describe();
    ASSERT_EQ(ReplyTo(server, "1|0|90|4801|2004||Gas leak hall B|GAS-1"), "sent (4801)") << Describe();
    ASSERT_EQ(ReplyTo(server, "1|0|91|4802|2003||Smoke hall C|SMOKE-1"), "sent (4802)") << Describe();

    EXPECT_EQ(ReplyTo(server, "2|0|90|4800|2003|||gas-1"), "sent (4800)") << Describe();

    ASSERT_TRUE(pbx_->WaitForOutput("recv: DA<9>4800<9>2003\n")) << Describe();
    ASSERT_TRUE(pbx_->WaitForOutput("recv: DA<9>4801<9>2004\n")) << Describe();
    ASSERT_TRUE(WaitForGatewayLine("Removed old or deleted message from queue (AlarmId: 4801")) << Describe();
    const std::string pbx = pbx_->Output();
    EXPECT_EQ(CountOf(pbx, "recv: DA"), 2u) << pbx;  // the other tag stays on the PBX
    EXPECT_EQ(CountOf(pbx, "recv: MCA"), 0u) << pbx;
    EXPECT_EQ(ReadFile(ScadaPath()), "");
    EXPECT_EQ(CountOf(GatewayOutput(), "Found message to ack (AlarmId: 4800"), 2u) << GatewayOutput();
}

TEST_F(AlarmFlowTest, DuplicateOfAnAcknowledgedEventIsRefusedAndNeverReachesThePbx) {
    ASSERT_NO_FATAL_FAILURE(StartBoth({"--auto-ack", "0", "--ack-terminal", "T3"}));
    AlarmServerSocket server(server_port_);
    const std::string alarm = "1|0|88|4711|2001||Fire alarm room 12|FIRE-2";
    ASSERT_EQ(ReplyTo(server, alarm), "sent (4711)") << Describe();
    ASSERT_TRUE(pbx_->WaitForOutput("recv: MCA<9>2001<9>\n")) << Describe();

    EXPECT_EQ(ReplyTo(server, alarm), "failed (4711)") << Describe();
    EXPECT_EQ(ReplyTo(server, "1|0|88|4713|2003||Fire alarm room 12|FIRE-2"), "failed (4713)") << Describe();
    // Another event still goes through; its reply also means the refused
    // lines are done with.
    EXPECT_EQ(ReplyTo(server, "1|0|89|4714|2001||Fire alarm room 14|FIRE-4"), "sent (4714)") << Describe();

    const std::string pbx = pbx_->Output();
    EXPECT_EQ(CountOf(pbx, "recv: SA<9>4711<9>"), 1u) << pbx;
    EXPECT_EQ(CountOf(pbx, "recv: SA<9>4713<9>"), 0u) << pbx;
    // The reply reaches the socket before the gateway's own echo of it
    // reaches our pipe: wait for the echo so the count below is complete.
    ASSERT_TRUE(WaitForGatewayLine("sent (4714)")) << Describe();
    EXPECT_EQ(CountOf(GatewayOutput(), "Alarm has already been acknowledged by TermId 'T3', threw message "),
              2u)
        << GatewayOutput();
}

TEST_F(AlarmFlowTest, AlarmsBufferedWhileThePbxIsDownGoOutOldestFirstWhenItComesBack) {
    int atas_port = FreeLocalPort();
    while (atas_port == server_port_) atas_port = FreeLocalPort();
    StartGateway(Extra(), atas_port);
    ASSERT_TRUE(WaitForGatewayLine("Failed to connect to 127.0.0.1:" + std::to_string(atas_port)))
        << Describe();

    AlarmServerSocket server(server_port_);
    EXPECT_EQ(ReplyTo(server, "1|0|71|5001|2001||First|B-1"), "buffered (5001)") << Describe();
    EXPECT_EQ(ReplyTo(server, "1|0|72|5002|2002||Second|B-2"), "buffered (5002)") << Describe();
    EXPECT_EQ(ReplyTo(server, "1|0|73|5003|2003||Third|B-3"), "buffered (5003)") << Describe();

    StartPbx({}, atas_port);
    ASSERT_TRUE(pbx_->WaitForCount("recv: SA<9>", 3)) << Describe();
    EXPECT_TRUE(InOrder(pbx_->Output(), {"recv: SM<9>", "recv: SA<9>5001<9>2001<9>First\n",
                                         "recv: SA<9>5002<9>2002<9>Second\n",
                                         "recv: SA<9>5003<9>2003<9>Third\n"}))
        << pbx_->Output();
    ASSERT_TRUE(WaitForGatewayLine("Alarm to PBX (success) (AlarmId: 5003")) << Describe();
    EXPECT_EQ(CountOf(GatewayOutput(), "Alarm to PBX (success)"), 3u) << GatewayOutput();
    // Their replies were given when they were held back.
    EXPECT_EQ(server.Received(), "buffered (5001)\nbuffered (5002)\nbuffered (5003)\n");
}

TEST_F(AlarmFlowTest, SecondAlarmServerConnectionReplacesTheFirstAndDropsItsUnfinishedLine) {
    ASSERT_NO_FATAL_FAILURE(StartBoth());
    constexpr std::string_view kConnected = "Orvane Alarm Server connected";
    AlarmServerSocket first(server_port_);
    ASSERT_TRUE(WaitForGatewayLine(kConnected)) << Describe();
    first.Send("1|0|77|9001|2001||Partial");
    ASSERT_TRUE(WaitForGatewayLine("1|0|77|9001|2001||Partial")) << Describe();

    AlarmServerSocket second(server_port_);
    ASSERT_TRUE(WaitForGatewayLine(kConnected, 2)) << Describe();
    EXPECT_TRUE(first.WaitForEof()) << Describe();

    // Glued to the first connection's rest, this would be alarm 9001.
    EXPECT_EQ(ReplyTo(second, "1|0|78|9002|2002||Whole|T-2"), "sent (9002)") << Describe();
    EXPECT_EQ(CountOf(pbx_->Output(), "recv: SA<9>9001"), 0u) << pbx_->Output();
    EXPECT_EQ(CountOf(GatewayOutput(), kConnected), 2u) << GatewayOutput();
    EXPECT_EQ(first.Received(), "");
}

TEST_F(AlarmFlowTest, AlarmDuringASlowLoginWaitsForTheSessionSetUpAndGetsExactlyOneReply) {
    StartPbx({"--prompt-delay", "1000"});
    StartGateway(Extra());
    ASSERT_TRUE(pbx_->WaitForOutput("connected ")) << Describe();
    AlarmServerSocket server(server_port_);
    server.SendLine("1|0|60|6001|2001||Slow prompt|SLOW-1");
    // Sent while the PBX has not even prompted for the user name.
    ASSERT_EQ(CountOf(pbx_->Output(), "send: USERNAME:"), 0u) << Describe();

    EXPECT_EQ(server.NextLine().value_or(""), "sent (6001)") << Describe();
    // A status-0 line is answered at once: whatever came before its reply
    // is all the alarm got.
    EXPECT_EQ(ReplyTo(server, "0|0|61|MARK|2001||Marker|M"), "buffered (MARK)") << Describe();
    EXPECT_EQ(server.Received(), "sent (6001)\nbuffered (MARK)\n");

    const std::vector<std::string> expected = {"kelvarix", "kelvarix", "ATE0", "HBC<9>60",
                                               "SM<9>Read<9>Acknowledge",
                                               "SA<9>6001<9>2001<9>Slow prompt"};
    EXPECT_EQ(pbx_->Received(), expected) << Describe();
    EXPECT_EQ(CountOf(pbx_->Output(), "login ok"), 1u) << Describe();
}

}  // namespace
}  // namespace kelvarix::e2e::rig
