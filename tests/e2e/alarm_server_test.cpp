// The alarm-server side of the real gateway: who may connect where, what an
// alarm server may throw at it, and logs that cannot be written.
#include <ctime>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "e2e/harness.h"

namespace kelvarix::e2e {
namespace {

class AlarmServerTest : public GatewayTest {};

// ListenAddress opens the port on that address only; one that is no address
// is reported and opens nothing (not every interface instead).
TEST_F(AlarmServerTest, ListenAddressOpensThePortOnThatAddressOnly) {
    for (const auto& [address, open_on] :
         {std::pair{"127.0.0.2", "127.0.0.2"}, std::pair{"gateway.example", "(none)"}}) {
        SCOPED_TRACE(address);
        server_port_ = FreeLocalPort();
        gateway_.reset();
        StartGateway({}, std::string("ListenAddress=") + address);
        EXPECT_EQ(Has(gateway_->Stdout(), "Failed to set Orvane server socket port"),
                  std::string(open_on) == "(none)");
        for (const std::string to : {"127.0.0.1", "127.0.0.2"}) {
            std::optional<AlarmServer> client = AlarmServer::Connect(server_port_, to);
            ASSERT_EQ(client.has_value(), to == open_on) << to << "\n" << Describe();
            EXPECT_TRUE(!client || Fence(*client)) << Describe();
        }
    }
}

// A client not in AllowedClients is closed at once and logged; it neither
// replaces the alarm server's connection nor gets a line to the PBX. An IPv4
// peer of an IPv6 socket (::ffff:a.b.c.d) is recognised too.
TEST_F(AlarmServerTest, StrangerIsTurnedAwayWithoutDisturbingTheAlarmServer) {
    StartPbx();
    for (const auto& [settings, allowed, stranger] :
         {std::tuple{"AllowedClients=127.0.0.9, 127.0.0.1", "127.0.0.1", "127.0.0.2"},
          std::tuple{"ListenAddress=::ffff:127.0.0.1\nAllowedClients=127.0.0.2", "127.0.0.2",
                     "127.0.0.1"}}) {
        SCOPED_TRACE(settings);
        gateway_.reset();
        StartGateway({}, settings);
        if (Has(gateway_->Stdout(), "Failed to set Orvane server socket port"))
            continue;  // no IPv6 here
        AlarmServer alarm_server = Connect(allowed);
        ASSERT_TRUE(Fence(alarm_server, "before")) << Describe();
        AlarmServer intruder = Connect(stranger);  // the kernel accepts; the gateway hangs up
        intruder.Send(AlarmLine("X1") + "\n");
        EXPECT_TRUE(intruder.WaitForClose());
        EXPECT_TRUE(intruder.Lines().empty());
        EXPECT_TRUE(WaitForGatewayLine("Refused Orvane connection from " + std::string(stranger) +
                                       " (not in AllowedClients)"))
            << Describe();
        ASSERT_TRUE(WaitForSession()) << Describe();
        ASSERT_TRUE(alarm_server.Send(AlarmLine("A1") + "\n"));
        ASSERT_TRUE(Fence(alarm_server, "after")) << Describe();
        EXPECT_EQ(alarm_server.Lines(),
                  (Texts{"buffered (before)", "sent (A1)", "buffered (after)"}));
        EXPECT_EQ(CountOf(pbx_->Stdout(), "recv: SA<9>X1"), 0u);
    }
}

// Logs that cannot be written never stop the gateway or its alarms. The
// tests run as root, for whom permission bits stop nothing; each case makes
// the log files fail in a way that holds for root too.
TEST_F(AlarmServerTest, LogsThatCannotBeWrittenStopNothing) {
    namespace fs = std::filesystem;
    const fs::path folder = home_.path("LogFiles");
    const std::time_t now = std::time(nullptr);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    const std::string today = (folder / date).string();
    for (const bool disk_full : {false, true}) {
        const std::string id = disk_full ? "DiskIsFull" : "LogFilesIsAFile";
        SCOPED_TRACE(id);
        gateway_.reset();
        fs::remove_all(folder);
        if (disk_full) {  // ENOSPC on every write
            fs::create_directory(folder);
            for (const char* kind : {".Log", ".Dbg"}) fs::create_symlink("/dev/full", today + kind);
        } else {
            home_.write("LogFiles", "not a folder");  // ENOTDIR
        }
        std::ofstream premise(today + ".Log", std::ios::app);
        ASSERT_FALSE(premise << "x\r\n" << std::flush) << "a log line could be written";

        EXPECT_EQ(Session().Answer(AlarmLine(id)), "sent (" + id + ")") << Describe();
        EXPECT_TRUE(WaitForGatewayLine("Alarm to PBX (success) (AlarmId: " + id)) << Describe();
        EXPECT_TRUE(gateway_->Running());
    }
}

// A second alarm-server connection replaces the first: the first is closed
// and its unfinished line dropped (glued to the next text it would be alarm
// 9001). Replies go to the current connection: a reconnected alarm server
// that sends its alarm again gets the first line's reply (failed after
// CommandTimeout), then the duplicate's, which takes the PBX's late answer.
TEST_F(AlarmServerTest, SecondConnectionReplacesTheFirstAndGetsItsReplies) {
    AlarmServer first = Session({"--reply", "SA=delay:3000"});
    ASSERT_TRUE(first.Send(AlarmLine("K1") + "\n1|0|77|9001|2001||Partial"));
    ASSERT_TRUE(pbx_->WaitForStdout("recv: SA<9>K1<9>")) << Describe();
    ASSERT_TRUE(WaitForGatewayLine("1|0|77|9001|2001||Partial")) << Describe();

    AlarmServer second = Connect();
    EXPECT_TRUE(first.WaitForClose()) << Describe();
    ASSERT_TRUE(second.Send(AlarmLine("K1") + "\n"));
    ASSERT_TRUE(Fence(second)) << Describe();
    EXPECT_EQ(second.Lines(), (Texts{"failed (K1)", "sent (K1)", "buffered (FENCE)"}));
    EXPECT_TRUE(first.Lines().empty());
    EXPECT_EQ(CountOf(pbx_->Stdout(), "recv: SA<9>K1<9>"), 2u) << Describe();
    EXPECT_TRUE(WaitForGatewayLine("Alarm to PBX (failed) (AlarmId: K1,")) << Describe();
    EXPECT_EQ(CountOf(pbx_->Stdout(), "recv: SA<9>9001"), 0u) << Describe();
    EXPECT_EQ(CountOf(gateway_->Stdout(), "Orvane Alarm Server connected"), 2u) << Describe();
}

// While an alarm waits for the PBX, an alarm server that keeps sending is
// held back by TCP (how much may wait first is the intake's unit test), so
// memory stays bounded; once the PBX is gone every line gets its one reply.
TEST_F(AlarmServerTest, FloodWhileAnAlarmWaitsIsHeldBackAndEveryLineAnswered) {
    // The first alarm waits until the PBX goes.
    AlarmServer client = Session({"--reply", "SA=none", "--quiet"}, "CommandTimeout=60");
    // 64 MiB: far more than the kernel's socket buffers hold, so a gateway
    // that read on regardless would have to keep most of it.
    std::string flood;
    std::size_t count = 0;
    while (flood.size() < 64u * 1024 * 1024)
        flood += AlarmLine("F" + std::to_string(++count), 2000) + "\n";
    std::size_t pushed = 0;  // until the gateway takes nothing more for a second
    ASSERT_FALSE(client.Send(flood, std::chrono::seconds(1), &pushed)) << "all of it was read";
    EXPECT_TRUE(WaitForGatewayLine("stopped reading until it is handled")) << Describe();

    pbx_.reset();  // the waiting alarm fails, and so does every line after it
    ASSERT_TRUE(client.Send(std::string_view(flood).substr(pushed)))
        << "the gateway stopped reading for good";
    client.WaitForLines(count);
    const Texts lines = client.Lines();
    ASSERT_EQ(lines.size(), count);
    for (std::size_t n = 1; n <= count; ++n)
        ASSERT_EQ(lines[n - 1], "failed (F" + std::to_string(n) + ")");
    EXPECT_TRUE(WaitForGatewayLine("Orvane receive backlog handled, reading again"));
}

// An alarm server that connects and disconnects in a tight loop, now and then
// with an alarm or half a line on its way, leaves no connection behind.
TEST_F(AlarmServerTest, ConnectDisconnectLoopLeavesNoConnectionBehind) {
    ASSERT_EQ(Session({"--quiet"}).Answer(AlarmLine("W")), "sent (W)") << Describe();  // warm-up
    const std::string descriptors = "/proc/" + std::to_string(gateway_->Pid()) + "/fd";
    const auto open_descriptors = [&] {
        return std::distance(std::filesystem::directory_iterator(descriptors), {});
    };
    const auto descriptors_before = open_descriptors();
    for (int n = 0; n < 300; ++n) {
        AlarmServer client = Connect();
        if (n % 3 == 1) client.Send(AlarmLine("C" + std::to_string(n)) + "\n");
        if (n % 3 == 2) client.Send("1|0|E|half a li");
    }
    // The gateway runs on; each connection of the loop was replaced (a log
    // write may hold one more descriptor).
    AlarmServer last = Connect();  // it gets the loop's late replies too
    ASSERT_TRUE(last.Send(AlarmLine("C-last") + "\n"));
    ASSERT_TRUE(last.WaitForLine("sent (C-last)")) << Describe();
    EXPECT_LE(open_descriptors(), descriptors_before + 2);
}

}  // namespace
}  // namespace kelvarix::e2e
