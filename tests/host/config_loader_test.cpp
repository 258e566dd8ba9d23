#include "host/config_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace kelvarix {
namespace {

Settings load_ok(const std::string& content) {
    const LoadResult result = LoadSettings(IniFile::parse(content), "Kelvarix.ini");
    if (const auto* error = std::get_if<ConfigError>(&result)) {
        ADD_FAILURE() << error->message;
        return {};
    }
    return std::get<Settings>(result);
}

TEST(LoadSettings, EveryKeyReachesItsOwnSetting) {
    // Distinct values, so a key read into the wrong member or from the wrong
    // section shows.
    const Settings s = load_ok(
        "[general]\nLogFileDays = 4 5\n"
        "[ORVANE]\nServerPort=2001.5\nListenAddress= 127.0.0.1 \n"
        "AllowedClients=10.0.0.1,10.0.0.2\n"
        "[Atas]\nIPAddress=  pbx.local \nPortNumber= 4000 \nConnectTimeout=11\n"
        "ReconnectInterval=12\nUsername=   op1  \nPassword=\"\tpw \"\nCommandTimeout=13\n"
        "ResetAlarmsAtConnect=-1\nHeartbeatInterval=14\nSM_Read=R1\nSM_Acknowledge=A1\n"
        "BufferWhenDisconnected=0.5\nMaxBufferedMessages=15\nQueueDeleteTime=16\n"
        "SCADAAckFile=/var/ack.txt\nSendMCA=2\n");
    EXPECT_EQ(
        std::tuple(s.LogFileDays, s.ServerPort, s.PortNumber, s.ConnectTimeout, s.ReconnectInterval,
                   s.CommandTimeout, s.HeartbeatInterval, s.MaxBufferedMessages, s.QueueDeleteTime),
        std::tuple(45, 2002, 4000, 11, 12, 13, 14, 15, 16));
    EXPECT_EQ((std::vector<std::string>{s.ListenAddress, s.AllowedClients, s.IPAddress, s.Username,
                                        s.Password, s.SM_Read, s.SM_Acknowledge, s.SCADAAckFile}),
              (std::vector<std::string>{"127.0.0.1", "10.0.0.1,10.0.0.2", "pbx.local", "op1",
                                        "\tpw",  // quoted, so the reader keeps the tab
                                        "R1", "A1", "/var/ack.txt"}));
    EXPECT_EQ(std::tuple(s.ResetAlarmsAtConnect, s.BufferWhenDisconnected, s.SendMCA),
              std::tuple(true, true, true));
}

TEST(LoadSettings, MissingKeysTakeTheirDefaultsButEmptyOnesDoNot) {
    const Settings defaults = load_ok("[ATAS]\nPortNumber=4000\n");
    EXPECT_EQ(std::tuple(defaults.LogFileDays, defaults.QueueDeleteTime, defaults.ServerPort,
                         defaults.SendMCA),
              std::tuple(30, 600, 0, false));
    const Settings empty =
        load_ok("[General]\nLogFileDays=\n[ATAS]\nPortNumber=1\nQueueDeleteTime=\n");
    EXPECT_EQ(std::tuple(empty.LogFileDays, empty.QueueDeleteTime), std::tuple(0, 0));
    // Only PortNumber is strict; other numbers take what stands at the start.
    EXPECT_EQ(load_ok("[Orvane]\nServerPort=80 (web)\n[ATAS]\nPortNumber=1\n").ServerPort, 80);
}

// A PortNumber that is empty or no number is started on by the end-to-end tests.
TEST(LoadSettings, AnErrorNamesTheFirstFailingKeyInOneShortLine) {
    struct Case {
        std::string content;
        const char* section;
        const char* key;
        std::string value;
        std::string message_part;
    };
    const Case cases[] = {
        {"[General]\nLogFileDays=32768\n[ATAS]\nPortNumber=1\n", "General", "LogFileDays", "32768",
         "LogFileDays = \"32768\" is outside -32768 to 32767"},
        {"[ATAS]\nPortNumber=1\nQueueDeleteTime=1e10\n", "ATAS", "QueueDeleteTime", "1e10",
         "QueueDeleteTime = \"1e10\" is outside"},
        // The first in key order wins.
        {"[Orvane]\nServerPort=3e9\n[ATAS]\nPortNumber=x\n", "Orvane", "ServerPort", "3e9",
         "[Orvane] ServerPort"},
        // Control characters are not shown, long values are shortened.
        {"[ATAS]\nPortNumber=\x1b[2J\x07\n", "ATAS", "PortNumber", "\x1b[2J\x07", "\"?[2J?\""},
        {"[ATAS]\nPortNumber=" + std::string(500, '9'), "ATAS", "PortNumber", std::string(500, '9'),
         "\"" + std::string(64, '9') + "...\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        const LoadResult result = LoadSettings(IniFile::parse(c.content), "Kelvarix.ini");
        ASSERT_TRUE(std::holds_alternative<ConfigError>(result));
        const ConfigError& e = std::get<ConfigError>(result);
        EXPECT_EQ(std::tuple(e.section, e.key, e.value), std::tuple(c.section, c.key, c.value));
        EXPECT_NE(e.message.find(c.message_part), std::string::npos) << e.message;
        EXPECT_NE(e.message.find("Kelvarix.ini"), std::string::npos) << e.message;
        EXPECT_LT(e.message.size(), 200u);
        for (char ch : e.message) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << e.message;
    }
}

}  // namespace
}  // namespace kelvarix
