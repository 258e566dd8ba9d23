// Reading Kelvarix.ini: the INI rules both readers share, and the settings
// the loader takes from them.
#include "host/ini_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "host/config_loader.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

struct LookupCase {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    std::string expected;  // "<default>" when the lookup must fall back
};

// Every rule holds for both readers: the parser that Linux reads
// Kelvarix.ini with, and the platform's private-profile reader, which on
// Windows is GetPrivateProfileStringA itself. A case that fails for one
// reader only is a place where the two disagree.
class IniLookup : public testing::TestWithParam<LookupCase> {};

// A file as Notepad saves it as "Unicode": a byte-order mark, then UTF-16.
std::string Utf16(std::u16string_view text, bool big_endian) {
    std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8);
        const char low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}

TEST_P(IniLookup, BothReadersReadLikeThePrivateProfileReader) {
    const LookupCase& c = GetParam();
    EXPECT_EQ(IniFile::parse(c.content).get(c.section, c.key, "<default>"), c.expected)
        << "the parser";
    test::TempDir dir;
    const std::string path = dir.write("Kelvarix.ini", c.content);
    EXPECT_EQ(ReadIniString(c.section, c.key, "<default>", path), c.expected)
        << "the platform's reader";
}

const LookupCase kLookups[] = {
    {"NamesIgnoreCase", "[atas]\nportnumber=1\n", "ATAS", "PortNumber", "1"},
    {"FirstKeyWins", "[A]\nk=1\nK=2\n", "A", "k", "1"},
    {"FirstSectionWins", "[A]\nx=1\n[a]\nk=2\n", "A", "k", "<default>"},
    {"KeyOfOtherSection", "[A]\n[B]\nk=1\n", "A", "k", "<default>"},
    {"KeyBeforeAnyHeader", "k=1\n[A]\n", "A", "k", "<default>"},
    {"BlanksAroundRemovedInnerKept", "[A]\n \t k \t = \t a  b \t\n", "A", "k", "a  b"},
    {"KeyEndsAtFirstEquals", "[A]\nk=a=b\n", "A", "k", "a=b"},
    {"LineWithoutEqualsHidesLaterKey", "[A]\nk\nk=2\n", "A", "k", "<default>"},
    {"EmptyValueIsNotDefault", "[A]\nk=\n", "A", "k", ""},
    {"DoubleQuotesRemoved", "[A]\nk=\"  x \"\n", "A", "k", "  x "},
    {"SingleQuotesRemoved", "[A]\nk= 'x' \n", "A", "k", "x"},
    {"MismatchedQuotesKept", "[A]\nk=\"x'\n", "A", "k", "\"x'"},
    {"LoneQuoteKept", "[A]\nk=\"\n", "A", "k", "\""},
    {"QuotedEmpty", "[A]\nk=\"\"\n", "A", "k", ""},
    {"SemicolonLineIsComment", "[A]\n \t;k=1\nk=2\n", "A", "k", "2"},
    {"HashIsOrdinaryText", "[A]\n#k=1\n", "A", "#k", "1"},
    {"TextAfterValueKept", "[A]\nk=4000 ; port\n", "A", "k", "4000 ; port"},
    {"HeaderTrimmedTailIgnored", "[ A b ] tail\nk=1\n", "a B", "k", "1"},
    {"IndentedHeader", "  [A]\nk=1\n", "A", "k", "1"},
    {"OpenBracketIsNoHeader", "[A]\n[B\nk=1\n", "A", "k", "1"},
    {"CrEnds", "[A]\rk=1\rj=2", "A", "j", "2"},
    // Values of a file with a byte-order mark come in Windows-1252; one
    // without keeps its bytes.
    {"Utf8Bom", "\xEF\xBB\xBF[A]\nk=\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5", "A", "k", "\xE9 \x80 ?"},
    {"Utf16LittleEndian", Utf16(u"[A]\r\nk = \u00E9 \u20AC\r\n", false), "A", "k", "\xE9 \x80"},
    {"Utf16BigEndian", Utf16(u"[A]\r\nk=\u65E5 x\r\n", true), "A", "k", "? x"},
    {"NoBomKeepsBytes", "[A]\nk=caf\xC3\xA9\n", "A", "k", "caf\xC3\xA9"},
    {"VerticalTabAndFormFeedAreBlanks", "[\v A\f]\n\f k \v=\v v \f\n", "A", "k", "v"},
    {"LongValueCut", "[A]\nk=" + std::string(3000, 'x'), "A", "k", std::string(2047, 'x')},
};
INSTANTIATE_TEST_SUITE_P(Rules, IniLookup, testing::ValuesIn(kLookups),
                         [](const auto& info) { return std::string(info.param.name); });

// Only a regular file is read: anything else counts as missing. A default is
// cut like a value.
TEST(ReadIniString, FallsBackToTheDefaultWithoutAFile) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.path("folder.ini"));
    for (const std::string& path : {dir.path("missing.ini"), dir.path("folder.ini")}) {
        EXPECT_EQ(ReadIniString("ATAS", "PortNumber", "dflt", path), "dflt") << path;
    }
    EXPECT_FALSE(IniFile::load(dir.path("folder.ini")).has_value());
    EXPECT_EQ(IniFile::parse("").get("A", "k", std::string(3000, 'x')), std::string(2047, 'x'));
}

// Throws, and so fails the test, when the content does not load.
Settings load_ok(const std::string& content) {
    return std::get<Settings>(LoadSettings(IniFile::parse(content), "Kelvarix.ini"));
}

TEST(LoadSettings, EveryKeyReachesItsOwnSettingAndAMissingOneItsDefault) {
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

    // Missing keys take their defaults, empty ones do not.
    const Settings defaults = load_ok("[ATAS]\nPortNumber=4000\n");
    EXPECT_EQ(std::tuple(defaults.LogFileDays, defaults.QueueDeleteTime, defaults.ServerPort,
                         defaults.SendMCA),
              std::tuple(30, 600, 0, false));
    const Settings empty =
        load_ok("[General]\nLogFileDays=\n[ATAS]\nPortNumber=1\nQueueDeleteTime=\n");
    EXPECT_EQ(std::tuple(empty.LogFileDays, empty.QueueDeleteTime), std::tuple(0, 0));
}

// A PortNumber that is empty or no number is started on by the end-to-end tests.
TEST(LoadSettings, AnErrorNamesTheFirstFailingKeyInOneShortLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"[General]\nLogFileDays=32768\n[ATAS]\nPortNumber=1\n",
         "Kelvarix.ini: [General] LogFileDays = \"32768\" is outside -32768 to 32767"},
        {"[ATAS]\nPortNumber=1\nQueueDeleteTime=1e10\n",
         "[ATAS] QueueDeleteTime = \"1e10\" is outside"},
        // The first in key order wins.
        {"[Orvane]\nServerPort=3e9\n[ATAS]\nPortNumber=x\n", "[Orvane] ServerPort = \"3e9\""},
        // Control characters are not shown, long values are shortened.
        {"[ATAS]\nPortNumber=\x1b[2J\x07\n", "[ATAS] PortNumber = \"?[2J?\""},
        {"[ATAS]\nPortNumber=" + std::string(500, '9'), "= \"" + std::string(64, '9') + "...\""},
    };
    for (const auto& [content, part] : cases) {
        const LoadResult result = LoadSettings(IniFile::parse(content), "Kelvarix.ini");
        ASSERT_TRUE(std::holds_alternative<ConfigError>(result)) << content;
        const std::string& message = std::get<ConfigError>(result).message;
        EXPECT_NE(message.find(part), std::string::npos) << message;
        EXPECT_LT(message.size(), 200u);
        for (char ch : message) EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << message;
    }
}

}  // namespace
}  // namespace kelvarix
