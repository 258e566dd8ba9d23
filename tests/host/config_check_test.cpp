#include "host/config_check.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <filesystem>
#include <iterator>
#include <string>

#include "platform/tcp_listener.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

// A file the check finds nothing wrong with, its times at the least sound value,
// its SCADA file in a folder that may be written; {port} is a free port.
constexpr std::string_view kCleanIni =
    "[General]\nLogFileDays=30\n[Orvane]\nServerPort={port}\n"
    "[ATAS]\nIPAddress=127.0.0.1\nPortNumber=2001\nPassword=Secr3t\n"
    "ConnectTimeout=1\nReconnectInterval=10\nCommandTimeout=1\nQueueDeleteTime=1\n"
    "SCADAAckFile={dir}ack.txt\n";

struct CheckCase {
    const char* name;
    std::string from, to;  // one change to the clean file; {dir} is the program folder
    std::string said;      // a part of the report
    int status = 1;
    bool hold_port = false;
};

std::string Replaced(std::string text, std::string_view from, const std::string& to) {
    if (const auto at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

class ConfigCheckTable : public testing::TestWithParam<CheckCase> {};

TEST_P(ConfigCheckTable, NamesTheKeyAndExitsWithItsStatus) {
    const CheckCase& c = GetParam();
    const test::TempDir dir;
    const std::string folder = dir.path("");
    asio::io_context io;
    TcpListener holder(io.get_executor());  // finds a free port, and holds it when asked
    ASSERT_EQ(holder.Listen("", 0, nullptr), "");
    const std::string port = std::to_string(holder.LocalPort());
    if (!c.hold_port) holder.Close();
    const auto fill = [&](const std::string& text) {
        return Replaced(Replaced(text, "{port}", port), "{dir}", folder);
    };
    const std::string ini = fill(Replaced(std::string(kCleanIni), c.from, c.to));
    dir.write("Kelvarix.ini", ini);

    std::string report;
    const int status = RunConfigCheck(folder, report);
    EXPECT_EQ(status, c.status) << report;
    EXPECT_NE(report.find(fill(c.said)), std::string::npos) << report;
    EXPECT_EQ(report.find("Secr3t"), std::string::npos) << report;
    // The check writes nothing.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
    EXPECT_EQ(dir.read("Kelvarix.ini"), ini);
    if (status == 2) {  // the start's own message
        const LoadResult start = LoadSettings(folder + "Kelvarix.ini");
        EXPECT_NE(report.find(std::get<ConfigError>(start).message), std::string::npos) << report;
    }
}

const CheckCase kCases[] = {
    {"Clean", "", "", "Password               = \"******\"  (file)", 0},
    {"TextAfterNumber", "CommandTimeout=1", "CommandTimeout=1s",
     "CommandTimeout: \"1s\" is read as 1: \"s\" is ignored"},
    {"Rounded", "ReconnectInterval=10", "ReconnectInterval=2.5",
     "ReconnectInterval: \"2.5\" is rounded to 2"},
    {"EmptyIsNotDefault", "QueueDeleteTime=1",
     "QueueDeleteTime=", "QueueDeleteTime: is empty: read as 0, not as the default 600"},
    {"FlagWord", "[ATAS]\n", "[ATAS]\nSendMCA=yes\n",
     "SendMCA: \"yes\" is not a number: read as off"},
    {"MisspeltKey", "ReconnectInterval", "ReconectInterval",
     ":10: [ATAS] ReconectInterval: the gateway never reads this key; did you mean "
     "ReconnectInterval?"},
    {"KeyInWrongSection", "[ATAS]\n", "[ATAS]\nServerPort=1\n",
     "ServerPort: the gateway never reads this key; it belongs in [Orvane]"},
    // The long one in [ATAS] is read, not the short one before it in [Orvane].
    {"TooLong", "[ATAS]\nIPAddress=127.0.0.1",
     "IPAddress=x\n[ATAS]\nIPAddress=" + std::string(2048, 'a'),
     "IPAddress: is longer than 2047 characters: the rest is cut off"},
    {"MisspeltSection", "[General]", "[Genral]",
     ":1: [Genral]: the gateway reads no such section (did you mean [General]?)"},
    // CR LF counts as one line end.
    {"KeyTwice", "PortNumber=2001\n", "PortNumber=2001\r\nPortNumber=2002\r\n",
     ":8: [ATAS] PortNumber: is given again: only the first, at line 7, is read"},
    {"SectionTwice", "Time=1\n", "Time=1\n[atas]\nUsername=op\n",
     ":13: [atas]: is given again: only the first, at line 5, is read"},
    {"ScadaFolderMissing", "[ATAS]\n", "[ATAS]\nSCADAAckFile={dir}none/ack.txt\n",
     "SCADAAckFile: its folder {dir}none does not exist"},
    {"StoreFolderMissing", "[General]\n", "[General]\nAlarmStore=none/a.db\n",
     "AlarmStore: its folder {dir}none does not exist"},
    {"PortInUse", "", "", "ServerPort: port {port} is in use by another program", 1, true},
    {"PbxNameUnknown", "IPAddress=127.0.0.1", "IPAddress=pbx.invalid",
     "IPAddress: \"pbx.invalid\" does not resolve"},
    {"ClientNotAnAddress", "[Orvane]\n", "[Orvane]\nAllowedClients=10.0.0.1, alarms\n",
     "AllowedClients: \"alarms\" is not an IP address"},
    {"BufferLimitWithoutBuffer", "[ATAS]\n", "[ATAS]\nMaxBufferedMessages=50\n",
     "MaxBufferedMessages: is set, but BufferWhenDisconnected is off"},
    {"AttemptOnEveryTick", "ConnectTimeout=1\nReconnectInterval=10",
     "ConnectTimeout=0\nReconnectInterval=0",
     "ReconnectInterval: is 0 or less, and so is ConnectTimeout"},
    {"PortNumberMissing", "PortNumber=2001\n", "", "[ATAS] PortNumber is missing", 2},
};
INSTANTIATE_TEST_SUITE_P(Warnings, ConfigCheckTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvarix
