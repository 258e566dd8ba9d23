#include "host/config_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/temp_dir.h"

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

ConfigError load_error(const std::string& content) {
    const LoadResult result = LoadSettings(IniFile::parse(content), "Kelvarix.ini");
    if (const auto* error = std::get_if<ConfigError>(&result)) return *error;
    ADD_FAILURE() << "loaded without error";
    return {};
}

TEST(LoadSettings, OnlyPortNumberGivesAllDefaults) {
    const Settings s = load_ok("[ATAS]\nPortNumber=4000\n");
    EXPECT_EQ(s.PortNumber, 4000);
    EXPECT_EQ(s.LogFileDays, 30);
    EXPECT_EQ(s.QueueDeleteTime, 600);
    for (std::int32_t n : {s.ServerPort, s.ConnectTimeout, s.ReconnectInterval, s.CommandTimeout,
                           s.HeartbeatInterval, s.MaxBufferedMessages}) {
        EXPECT_EQ(n, 0);
    }
    for (const std::string* t : {&s.IPAddress, &s.Username, &s.Password, &s.SM_Read,
                                 &s.SM_Acknowledge, &s.SCADAAckFile, &s.ListenAddress,
                                 &s.AllowedClients}) {
        EXPECT_EQ(*t, "");
    }
    EXPECT_FALSE(s.ResetAlarmsAtConnect);
    EXPECT_FALSE(s.BufferWhenDisconnected);
    EXPECT_FALSE(s.SendMCA);
}

TEST(LoadSettings, EveryKeyReachesItsOwnSetting) {
    // Distinct values, so a key read into the wrong member or from the wrong
    // section shows.
    const Settings s = load_ok(
        "[general]\nLogFileDays = 4 5\n"
        "[ORVANE]\nServerPort=2001.5\nListenAddress= 127.0.0.1 \nAllowedClients=10.0.0.1,10.0.0.2\n"
        "[Atas]\nIPAddress=  pbx.local \nPortNumber= 4000 \nConnectTimeout=11\nReconnectInterval=12\n"
        "Username=   op1  \nPassword=\"\tpw \"\nCommandTimeout=13\nResetAlarmsAtConnect=-1\n"
        "HeartbeatInterval=14\nSM_Read=R1\nSM_Acknowledge=A1\nBufferWhenDisconnected=0.5\n"
        "MaxBufferedMessages=15\nQueueDeleteTime=16\nSCADAAckFile=/var/ack.txt\nSendMCA=2\n");
    EXPECT_EQ(s.LogFileDays, 45);
    EXPECT_EQ(s.ServerPort, 2002);
    EXPECT_EQ(s.ListenAddress, "127.0.0.1");
    EXPECT_EQ(s.AllowedClients, "10.0.0.1,10.0.0.2");
    EXPECT_EQ(s.IPAddress, "pbx.local");
    EXPECT_EQ(s.PortNumber, 4000);
    EXPECT_EQ(s.ConnectTimeout, 11);
    EXPECT_EQ(s.ReconnectInterval, 12);
    EXPECT_EQ(s.Username, "op1");
    EXPECT_EQ(s.Password, "\tpw");  // quoted, so the reader keeps the tab
    EXPECT_EQ(s.CommandTimeout, 13);
    EXPECT_TRUE(s.ResetAlarmsAtConnect);
    EXPECT_EQ(s.HeartbeatInterval, 14);
    EXPECT_EQ(s.SM_Read, "R1");
    EXPECT_EQ(s.SM_Acknowledge, "A1");
    EXPECT_TRUE(s.BufferWhenDisconnected);
    EXPECT_EQ(s.MaxBufferedMessages, 15);
    EXPECT_EQ(s.QueueDeleteTime, 16);
    EXPECT_EQ(s.SCADAAckFile, "/var/ack.txt");
    EXPECT_TRUE(s.SendMCA);
}

TEST(LoadSettings, ValueConversions) {
    const auto load = [](const std::string& lines) { return load_ok("[ATAS]\nPortNumber=1\n" + lines + "\n"); };
    for (const auto& [v, port] : {std::pair{"2001.5", 2002}, {"2002.5", 2002}, {"abc", 0}, {"80 (web)", 80}}) {
        EXPECT_EQ(load(std::string("[Orvane]\nServerPort=") + v).ServerPort, port) << v;
    }
    for (const auto& [v, flag] : {std::pair{"yes", false}, {"2", true}, {"0.0", false}}) {
        EXPECT_EQ(load(std::string("SendMCA=") + v).SendMCA, flag) << v;
    }
    // Present but empty is not missing: the default does not apply.
    EXPECT_EQ(load("[General]\nLogFileDays=").LogFileDays, 0);
    EXPECT_EQ(load("QueueDeleteTime=").QueueDeleteTime, 0);
    EXPECT_EQ(load("Username=\"\top1 \"").Username, "\top1");
    const std::string long_text(3000, 'p');
    EXPECT_EQ(load("SCADAAckFile=" + long_text).SCADAAckFile, long_text.substr(0, 2047));
}

struct ErrorCase {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    std::string value;
    const char* message_part;
};

class LoadSettingsError : public testing::TestWithParam<ErrorCase> {};

TEST_P(LoadSettingsError, NamesTheFirstFailingKey) {
    const ErrorCase& c = GetParam();
    const ConfigError e = load_error(c.content);
    EXPECT_EQ(e.section, c.section);
    EXPECT_EQ(e.key, c.key);
    EXPECT_EQ(e.value, c.value);
    EXPECT_NE(e.message.find(c.message_part), std::string::npos) << e.message;
    EXPECT_NE(e.message.find("Kelvarix.ini"), std::string::npos) << e.message;
    for (char ch : e.message) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << e.message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadSettingsError,
    testing::Values(
        ErrorCase{"EmptyFile", "", "ATAS", "PortNumber", "", "[ATAS] PortNumber is missing"},
        ErrorCase{"PortNumberInOtherSection", "[General]\nPortNumber=4000\n", "ATAS", "PortNumber", "",
                  "PortNumber is missing"},
        ErrorCase{"PortNumberLetters", "[ATAS]\nPortNumber=abc\n", "ATAS", "PortNumber", "abc",
                  "PortNumber = \"abc\" is not a whole number"},
        ErrorCase{"PortNumberEmpty", "[ATAS]\nPortNumber=\n", "ATAS", "PortNumber", "",
                  "PortNumber = \"\" is not"},
        ErrorCase{"PortNumberWithComment", "[ATAS]\nPortNumber=4000 ; pbx\n", "ATAS", "PortNumber",
                  "4000 ; pbx", "\"4000 ; pbx\""},
        ErrorCase{"PortNumberTooLarge", "[ATAS]\nPortNumber=2147483648\n", "ATAS", "PortNumber",
                  "2147483648", "\"2147483648\""},
        ErrorCase{"LogFileDaysBeyond16Bit", "[General]\nLogFileDays=32768\n[ATAS]\nPortNumber=1\n",
                  "General", "LogFileDays", "32768", "LogFileDays = \"32768\" is outside -32768 to 32767"},
        ErrorCase{"QueueDeleteTimeBeyond32Bit", "[ATAS]\nPortNumber=1\nQueueDeleteTime=1e10\n", "ATAS",
                  "QueueDeleteTime", "1e10", "QueueDeleteTime = \"1e10\" is outside"},
        ErrorCase{"FirstInKeyOrderWins", "[Orvane]\nServerPort=3e9\n[ATAS]\nPortNumber=x\n", "Orvane",
                  "ServerPort", "3e9", "[Orvane] ServerPort"},
        ErrorCase{"ControlCharactersNotShown", "[ATAS]\nPortNumber=\x1b[2J\x07\n", "ATAS", "PortNumber",
                  "\x1b[2J\x07", "\"?[2J?\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadSettings, LongValueShortenedInMessage) {
    const std::string value(500, '9');
    const ConfigError e = load_error("[ATAS]\nPortNumber=" + value + "\n");
    EXPECT_EQ(e.value, value);
    EXPECT_LT(e.message.size(), 200u);
}

TEST(LoadSettings, FromFile) {
    test::TempDir dir;
    const std::string path =
        dir.write("Kelvarix.ini", "\xEF\xBB\xBF[ATAS]\r\nPortNumber=4000\r\nIPAddress=pbx\r\n");
    const LoadResult ok = LoadSettings(path);
    ASSERT_TRUE(std::holds_alternative<Settings>(ok));
    EXPECT_EQ(std::get<Settings>(ok).PortNumber, 4000);
    EXPECT_EQ(std::get<Settings>(ok).IPAddress, "pbx");

    const LoadResult missing = LoadSettings(dir.path("Kelvarix.ini.old"));
    ASSERT_TRUE(std::holds_alternative<ConfigError>(missing));
    const ConfigError& e = std::get<ConfigError>(missing);
    EXPECT_EQ(e.key, "PortNumber");
    EXPECT_NE(e.message.find("cannot be read"), std::string::npos) << e.message;
    EXPECT_NE(e.message.find(dir.path("Kelvarix.ini.old")), std::string::npos) << e.message;
}

}  // namespace
}  // namespace kelvarix
