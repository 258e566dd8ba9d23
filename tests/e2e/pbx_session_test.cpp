// The gateway's ATAS session against the PBX simulator: login, set-up,
// heartbeat, reconnection and refusal, and the heartbeat under load.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e/gateway_rig.h"

namespace kelvarix::e2e::rig {
namespace {

// Seconds since midnight of a window line's "HH:MM:SS" lead.
int SecondOfDay(std::string_view line) {
    return std::stoi(std::string(line.substr(0, 2))) * 3600 +
           std::stoi(std::string(line.substr(3, 2))) * 60 + std::stoi(std::string(line.substr(6, 2)));
}

class PbxSessionTest : public GatewayTest {
protected:
    std::string PbxAddress() const { return "127.0.0.1:" + std::to_string(pbx_->Port()); }
};

TEST_F(PbxSessionTest, LogsInSetsUpInOrderAndHeartbeatsKeepTheIdleLinkAlive) {
    StartPbx();
    // HB goes out every quarter of the interval: every second.
    StartGateway("ResetAlarmsAtConnect=1\nHeartbeatInterval=4\n");
    ASSERT_TRUE(WaitForSessionSetUp()) << Describe();

    const std::vector<std::string> setup = {"kelvarix", "kelvarix", "RESET", "ATE0", "HBC<9>4",
                                            "SM<9>Read<9>Acknowledge"};
    const std::vector<std::string> received = pbx_->Received();
    ASSERT_GE(received.size(), setup.size()) << Describe();
    EXPECT_EQ(std::vector<std::string>(received.begin(), received.begin() + setup.size()), setup);
    EXPECT_TRUE(InOrder(GatewayOutput(),
                        {"Connecting to " + PbxAddress(), "Successfully connected to " + PbxAddress(),
                         "Successfully reset all alarms using RESET",
                         "Turned off echo and turned on heartbeat using ATE0",
                         "Successfully set heartbeat timeout (HBC) to 4 seconds",
                         "Successfully set menu (SM)"}))
        << GatewayOutput();
    ASSERT_TRUE(pbx_->WaitForOutput("heartbeat check: 4 s")) << Describe();

    // The point is that time passes: longer than the simulator waits for a
    // line before it hangs up.
    std::this_thread::sleep_for(std::chrono::seconds(6));

    const std::string pbx = pbx_->Output();
    EXPECT_EQ(CountOf(pbx, "dropped: heartbeat timeout"), 0u) << pbx;
    EXPECT_EQ(CountOf(pbx, "closed"), 0u) << pbx;
    EXPECT_EQ(CountOf(pbx, "connected "), 1u) << pbx;
    // About six heartbeats; one per interval would be too few to be safe.
    EXPECT_GE(CountOf(pbx, "recv: HB\n"), 3u) << pbx;
}

TEST_F(PbxSessionTest, ReconnectsAndSetsUpAgainWhenThePbxComesBackAfterDroppingTheLink) {
    StartPbx();
    StartGateway("HeartbeatInterval=60\n");
    ASSERT_TRUE(WaitForSessionSetUp()) << Describe();
    const int port = pbx_->Port();

    pbx_->Process().Kill();
    ASSERT_TRUE(WaitForGatewayLine("ATAS socket was closed")) << Describe();
    StartPbx({}, port);

    ASSERT_TRUE(WaitForSessionSetUp(2)) << Describe();
    EXPECT_TRUE(InOrder(GatewayOutput(), {"Successfully set menu (SM)", "ATAS socket was closed",
                                          "Connecting to " + PbxAddress(),
                                          "Successfully connected to " + PbxAddress(),
                                          "Successfully set menu (SM)"}))
        << GatewayOutput();
    // The new session carries alarms.
    AlarmServerSocket server(server_port_);
    EXPECT_EQ(ReplyTo(server, "1|0|50|7001|2001||After reconnect|R-1"), "sent (7001)") << Describe();
    EXPECT_EQ(CountOf(pbx_->Output(), "recv: SA<9>7001<9>2001<9>After reconnect\n"), 1u) << Describe();
}

TEST_F(PbxSessionTest, RefusedLoginIsLoggedAsFailedConnectAndRetried) {
    StartPbx({"--refuse-login"});
    StartGateway("HeartbeatInterval=60\n");

    ASSERT_TRUE(pbx_->WaitForCount("login refused", 2)) << Describe();
    ASSERT_TRUE(WaitForGatewayLine("Connecting to " + PbxAddress(), 2)) << Describe();
    EXPECT_TRUE(InOrder(GatewayOutput(), {"Connecting to " + PbxAddress(), "Failed to connect to " + PbxAddress(),
                                          "Connecting to " + PbxAddress()}))
        << GatewayOutput();
    EXPECT_EQ(CountOf(GatewayOutput(), "Successfully connected to"), 0u) << GatewayOutput();
    EXPECT_EQ(CountOf(pbx_->Output(), "recv: ATE0"), 0u) << pbx_->Output();
}

TEST_F(PbxSessionTest, HeartbeatsKeepTheirCadenceAndAcksAreHandledUnderAStreamOfAlarms) {
    // Each alarm's reply takes 200 ms, and a terminal acknowledges it 100 ms
    // after that: the command lane is never idle for long.
    StartPbx({"--reply", "SA=delay:200", "--auto-ack", "100"});
    constexpr int kHeartbeatInterval = 4;
    StartGateway("HeartbeatInterval=" + std::to_string(kHeartbeatInterval) + "\nSendMCA=1\n");
    ASSERT_TRUE(WaitForSessionSetUp()) << Describe();

    constexpr int kAlarms = 25;  // about five seconds of alarms, longer than the interval
    ChildProcess load(BuiltBinary("kelvarix-alarmsim"),
                      {"--port", std::to_string(server_port_), "--load", std::to_string(kAlarms)});
    const auto status = load.WaitForExit(std::chrono::seconds(60));
    ASSERT_TRUE(status.has_value()) << load.Describe();
    EXPECT_EQ(*status, ExitedWith(0)) << load.Describe();
    EXPECT_NE(load.Stdout().find("replies: 25 sent=25 "), std::string::npos) << load.Describe();

    ASSERT_TRUE(pbx_->WaitForCount("recv: MCA<9>", kAlarms)) << Describe();
    const std::string pbx = pbx_->Output();
    EXPECT_EQ(CountOf(pbx, "recv: SA<9>"), static_cast<std::size_t>(kAlarms)) << pbx;
    EXPECT_EQ(CountOf(pbx, "dropped: heartbeat timeout"), 0u) << pbx;
    // Acknowledgements were handled while alarms still came, not after.
    EXPECT_LT(pbx.find("recv: MCA<9>"), pbx.rfind("recv: SA<9>")) << pbx;

    // From the end of the set-up to the last alarm, no gap between
    // heartbeats is as long as the interval.
    const std::vector<std::string> lines = Lines(GatewayOutput());
    std::vector<int> moments;
    for (const std::string& line : lines) {
        if (line.find("Successfully set menu (SM)") != std::string::npos ||
            (line.find("[KVX -> ATAS]") != std::string::npos && line.ends_with(" HB<13>"))) {
            moments.push_back(SecondOfDay(line));
        }
    }
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (it->find("Alarm to PBX (") != std::string::npos) {
            moments.push_back(SecondOfDay(*it));
            break;
        }
    }
    ASSERT_GE(moments.size(), 3u) << GatewayOutput();
    for (std::size_t i = 1; i < moments.size(); ++i) {
        const int gap = (moments[i] - moments[i - 1] + 86400) % 86400;
        EXPECT_LT(gap, kHeartbeatInterval) << "heartbeat gap before line " << i << "\n" << GatewayOutput();
    }
}

}  // namespace
}  // namespace kelvarix::e2e::rig
