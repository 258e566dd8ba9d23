// The gateway's own defences, tested on the real binary: the alarm-server
// port bound to one address, connections only from allowed clients, logs
// that cannot be written, and an alarm server that sends faster than the PBX
// takes alarms.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/fault_peers.h"
#include "e2e/process.h"

namespace kelvarix::e2e {
namespace {

constexpr std::string_view kStarted = "Kelvarix was started";

std::string Reply(std::string_view word, std::string_view id) {
    return std::string(word) + " (" + std::string(id) + ")";
}

class HardeningTest : public ::testing::Test {
protected:
    void StartGateway(std::string_view ini) {
        folder_.emplace(ini);
        Launch();
    }
    void Launch() {
        gateway_.emplace(StartLeanGateway(*folder_));
        ASSERT_TRUE(gateway_->WaitForStdout(kStarted)) << gateway_->Describe();
    }
    std::optional<RawClient> From(const std::string& address, const std::string& to = "127.0.0.1") {
        return RawClient::Connect(server_port_, to, address);
    }
    // The gateway answers this connection: a status-0 line gets its reply.
    static bool Answers(RawClient& client, std::string_view id) {
        return client.Send("0|0|E|" + std::string(id) + "|2001||probe|T\n") &&
               client.WaitForLine(Reply("buffered", id));
    }

    int server_port_ = FreeLocalPort();
    std::optional<TempProgramFolder> folder_;
    std::optional<ChildProcess> gateway_;
};

// --- ListenAddress ------------------------------------------------------------

// With ListenAddress set, the alarm-server port is open on that address
// only: another loopback address of the same machine is refused.
TEST_F(HardeningTest, ListenAddressOpensThePortOnThatAddressOnly) {
    for (const std::string address : {"127.0.0.1", "127.0.0.2"}) {
        SCOPED_TRACE(address);
        server_port_ = FreeLocalPort();
        gateway_.reset();
        StartGateway(FaultIni(server_port_, FreeLocalPort(), {}, "ListenAddress=" + address));
        const std::string other = address == "127.0.0.1" ? "127.0.0.2" : "127.0.0.1";
        std::optional<RawClient> allowed = From({}, address);
        ASSERT_TRUE(allowed) << folder_->SystemLog();
        EXPECT_TRUE(Answers(*allowed, "L1"));
        EXPECT_FALSE(From({}, other)) << "the port is open on " << other;
    }
}

// A ListenAddress that is no address is reported, and the port does not
// quietly open on every interface instead.
TEST_F(HardeningTest, ListenAddressThatIsNoAddressOpensNothing) {
    StartGateway(FaultIni(server_port_, FreeLocalPort(), {}, "ListenAddress=gateway.example"));
    EXPECT_TRUE(folder_->WaitForSystemLog("Failed to set Orvane server socket port " +
                                          std::to_string(server_port_) + " in listening mode ("))
        << folder_->SystemLog();
    EXPECT_FALSE(From({}, "127.0.0.1"));
    EXPECT_FALSE(From({}, "127.0.0.2"));
    EXPECT_TRUE(gateway_->Running());
}

// --- AllowedClients -----------------------------------------------------------

// A client not in AllowedClients is closed at once and logged; it neither
// replaces the alarm server's connection nor gets a line to the PBX.
TEST_F(HardeningTest, StrangerIsTurnedAwayWithoutDisturbingTheAlarmServer) {
    PbxSim pbx({});
    StartGateway(FaultIni(server_port_, pbx.Port(), {}, "AllowedClients=127.0.0.9, 127.0.0.1"));
    std::optional<RawClient> alarm_server = From("127.0.0.1");
    ASSERT_TRUE(alarm_server);
    ASSERT_TRUE(Answers(*alarm_server, "before"));

    std::optional<RawClient> stranger = From("127.0.0.2");
    ASSERT_TRUE(stranger);  // the kernel accepts; the gateway then hangs up
    stranger->Send(AlarmLine("X1") + "\n");
    EXPECT_TRUE(stranger->WaitForClose());
    EXPECT_TRUE(stranger->Lines().empty());
    EXPECT_TRUE(folder_->WaitForSystemLog("Refused Orvane connection from 127.0.0.2 (not in AllowedClients)"))
        << folder_->SystemLog();

    ASSERT_TRUE(folder_->WaitForSystemLog("Successfully connected to"));
    ASSERT_TRUE(alarm_server->Send(AlarmLine("A1") + "\n"));
    EXPECT_TRUE(Answers(*alarm_server, "after"));
    EXPECT_EQ(alarm_server->Lines(), (std::vector<std::string>{Reply("buffered", "before"), Reply("sent", "A1"),
                                                               Reply("buffered", "after")}));
    EXPECT_FALSE(alarm_server->Closed());
    EXPECT_EQ(pbx.WaitForAlarms("A1"), 1u);
    EXPECT_EQ(pbx.AlarmsReceived("X1"), 0u);
    EXPECT_EQ(CountOf(folder_->SystemLog(), "Orvane Alarm Server connected"), 1u);
}

// An allowed client's address is recognised also when it reaches a port
// opened with an IPv6 socket (an IPv4 address seen as ::ffff:a.b.c.d).
TEST_F(HardeningTest, AllowedClientsAppliesToIpv4PeersOfAnIpv6Socket) {
    StartGateway(FaultIni(server_port_, FreeLocalPort(), {},
                          "ListenAddress=::ffff:127.0.0.1\nAllowedClients=127.0.0.2"));
    if (folder_->SystemLog().find("Failed to set Orvane server socket port") != std::string::npos) {
        GTEST_SKIP() << "no IPv6 sockets here: " << folder_->SystemLog();
    }
    std::optional<RawClient> allowed = From("127.0.0.2");
    ASSERT_TRUE(allowed) << folder_->SystemLog();
    EXPECT_TRUE(Answers(*allowed, "mapped"));
    std::optional<RawClient> refused = From("127.0.0.1");
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->WaitForClose());
    EXPECT_TRUE(folder_->WaitForSystemLog("Refused Orvane connection from 127.0.0.1 (not in AllowedClients)"))
        << folder_->SystemLog();
    EXPECT_FALSE(allowed->Closed());
}

// --- logs that cannot be written ----------------------------------------------

// The tests run as root, for whom permission bits stop nothing; each case
// makes the log files fail in a way that holds for root too.
struct LogTrap {
    const char* name;
    void (*arrange)(const TempProgramFolder& folder);
    friend void PrintTo(const LogTrap& trap, std::ostream* out) { *out << trap.name; }
};

// A file named LogFiles: no path through it is a folder (ENOTDIR).
void LogFilesIsAFile(const TempProgramFolder& folder) { folder.WriteFile("LogFiles", "not a folder"); }

// LogFiles leads into /proc, where no file can be made (ENOENT).
void LogFilesLeadsIntoProc(const TempProgramFolder& folder) {
    std::filesystem::create_directory_symlink("/proc/self/fdinfo", folder.Path() + "LogFiles");
}

// Today's log files lead to /dev/full: every write fails as on a full disk (ENOSPC).
void DiskIsFull(const TempProgramFolder& folder) {
    std::filesystem::create_directory(folder.LogFolder());
    for (const char* extension : {".Log", ".Dbg"}) {
        std::filesystem::create_symlink("/dev/full", folder.LogFolder() + TodaysDate() + extension);
    }
}

class LogTrapTest : public HardeningTest, public ::testing::WithParamInterface<LogTrap> {};

// Logs that cannot be written never stop the gateway or its alarms: it
// starts, forwards each alarm and answers it, and still shows its lines.
TEST_P(LogTrapTest, GatewayStartsAndForwardsAlarms) {
    PbxSim pbx({});
    folder_.emplace(FaultIni(server_port_, pbx.Port()));
    GetParam().arrange(*folder_);
    // The premise: a log line cannot be written.
    {
        const std::string path = folder_->TodaysLogPath();
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        const bool written = fd >= 0 && ::write(fd, "x\r\n", 3) == 3;
        if (fd >= 0) ::close(fd);
        ASSERT_FALSE(written) << "the log could be written: " << path;
    }
    Launch();
    ASSERT_TRUE(gateway_->WaitForStdout("Successfully connected to")) << gateway_->Describe();
    std::optional<RawClient> client = From({});
    ASSERT_TRUE(client);
    for (const char* id : {"G1", "G2"}) {
        ASSERT_TRUE(client->Send(AlarmLine(id) + "\n"));
        EXPECT_TRUE(client->WaitForLine(Reply("sent", id))) << gateway_->Describe();
        EXPECT_EQ(pbx.WaitForAlarms(id), 1u);
    }
    EXPECT_TRUE(gateway_->WaitForStdout("Alarm to PBX (success) (AlarmId: G2"));
    EXPECT_TRUE(gateway_->Running());
}

INSTANTIATE_TEST_SUITE_P(Logs, LogTrapTest,
                         ::testing::Values(LogTrap{"LogFilesIsAFile", LogFilesIsAFile},
                                           LogTrap{"LogFilesLeadsIntoProc", LogFilesLeadsIntoProc},
                                           LogTrap{"DiskIsFull", DiskIsFull}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- an alarm server faster than the PBX --------------------------------------

// While an alarm waits for the PBX, an alarm server that keeps sending is
// held back by TCP once about 1 MiB waits in the gateway, so the gateway's
// memory stays bounded; once the PBX is gone every line gets its one reply.
TEST_F(HardeningTest, FloodWhileAnAlarmWaits_IsHeldBackAndEveryLineAnswered) {
    // The PBX takes the login and never answers an SA: the first alarm waits
    // for up to a minute, until the PBX goes away.
    std::optional<PbxSim> pbx(std::in_place, std::vector<std::string>{"--reply", "SA=none", "--quiet"});
    StartGateway(FaultIni(server_port_, pbx->Port(), "CommandTimeout=60"));
    ASSERT_TRUE(folder_->WaitForSystemLog("Turned on echo")) << folder_->SystemLog();
    const std::size_t rss_before = ResidentKiB(gateway_->Pid());

    // 64 MiB of alarms: far more than the socket buffers of the kernel hold,
    // so a gateway that read on regardless would have to keep most of it.
    constexpr std::size_t kTextBytes = 2000;
    constexpr std::size_t kFloodBytes = 64u * 1024 * 1024;
    std::string flood;
    std::size_t count = 0;
    while (flood.size() < kFloodBytes) {
        flood += AlarmLine("F" + std::to_string(++count), kTextBytes) + "\n";
    }
    std::optional<RawClient> client = From({});
    ASSERT_TRUE(client);

    // Send until the gateway takes nothing more for a second (or all is sent).
    std::size_t pushed = 0;
    auto last_progress = std::chrono::steady_clock::now();
    while (pushed < flood.size() &&
           std::chrono::steady_clock::now() - last_progress < std::chrono::seconds(1)) {
        const std::size_t n = client->SendSome(std::string_view(flood).substr(pushed, 256 * 1024));
        if (n > 0) {
            pushed += n;
            last_progress = std::chrono::steady_clock::now();
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    const std::size_t rss_held = ResidentKiB(gateway_->Pid());
    RecordProperty("flood_bytes", static_cast<int>(flood.size()));
    RecordProperty("bytes_taken_while_held", static_cast<int>(pushed));
    RecordProperty("rss_kib_before", static_cast<int>(rss_before));
    RecordProperty("rss_kib_while_held", static_cast<int>(rss_held));
    ASSERT_LT(pushed, flood.size()) << "the gateway read the whole flood while its first alarm waited";
    EXPECT_TRUE(folder_->WaitForSystemLog("stopped reading until it is handled")) << folder_->SystemLog();
    EXPECT_LT(rss_held, rss_before + MemoryAllowanceKiB());

    // The PBX goes: the waiting alarm fails, and so does every line after it.
    pbx.reset();
    ASSERT_TRUE(client->Send(std::string_view(flood).substr(pushed))) << "the gateway stopped reading for good";
    ASSERT_TRUE(client->WaitForLines(count)) << client->Lines().size() << " of " << count << " answered";
    const std::vector<std::string>& lines = client->Lines();
    ASSERT_EQ(lines.size(), count);
    for (std::size_t n = 1; n <= count; ++n) {
        ASSERT_EQ(lines[n - 1], Reply("failed", "F" + std::to_string(n))) << "line " << n;
    }
    EXPECT_TRUE(folder_->WaitForSystemLog("Orvane receive backlog handled, reading again"));
    // The log lines of the last alarm are written last.
    EXPECT_TRUE(gateway_->WaitForStdout("threw message (AlarmId: F" + std::to_string(count) + ","));
    RecordProperty("rss_kib_after", static_cast<int>(ResidentKiB(gateway_->Pid())));
    EXPECT_TRUE(gateway_->Running());
}

}  // namespace
}  // namespace kelvarix::e2e
