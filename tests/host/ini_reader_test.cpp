#include "host/ini_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "host/temp_dir.h"

namespace kelvarix {
namespace {

struct LookupCase {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    const char* expected;  // "<default>" when the lookup must fall back
};

// Every rule holds for both readers: the parser that Linux reads
// Kelvarix.ini with, and the platform's private-profile reader, which on
// Windows is GetPrivateProfileStringA itself. A case that fails for one
// reader only is a place where the two disagree.
enum class Reader { Parsed, Platform };

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

class IniLookup : public testing::TestWithParam<std::tuple<Reader, LookupCase>> {};

TEST_P(IniLookup, ReadsLikeThePrivateProfileReader) {
    const auto& [reader, c] = GetParam();
    if (reader == Reader::Parsed) {
        EXPECT_EQ(IniFile::parse(c.content).get(c.section, c.key, "<default>"), c.expected);
    } else {
        test::TempDir dir;
        const std::string path = dir.write("Kelvarix.ini", c.content);
        EXPECT_EQ(ReadIniString(c.section, c.key, "<default>", path), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniLookup,
    testing::Combine(testing::Values(Reader::Parsed, Reader::Platform), testing::Values(
        LookupCase{"NamesIgnoreCase", "[atas]\nportnumber=1\n", "ATAS", "PortNumber", "1"},
        LookupCase{"FirstKeyWins", "[A]\nk=1\nK=2\n", "A", "k", "1"},
        LookupCase{"FirstSectionWins", "[A]\nx=1\n[a]\nk=2\n", "A", "k", "<default>"},
        LookupCase{"KeyOfOtherSection", "[A]\n[B]\nk=1\n", "A", "k", "<default>"},
        LookupCase{"KeyBeforeAnyHeader", "k=1\n[A]\n", "A", "k", "<default>"},
        LookupCase{"MissingSection", "[A]\nk=1\n", "B", "k", "<default>"},
        LookupCase{"BlanksAroundRemovedInnerKept", "[A]\n \t k \t = \t a  b \t\n", "A", "k", "a  b"},
        LookupCase{"InnerBlankInKey", "[A]\nmy key = v\n", "A", "my key", "v"},
        LookupCase{"KeyEndsAtFirstEquals", "[A]\nk=a=b\n", "A", "k", "a=b"},
        LookupCase{"LineWithoutEqualsHidesLaterKey", "[A]\nk\nk=2\n", "A", "k", "<default>"},
        LookupCase{"EmptyValueIsNotDefault", "[A]\nk=\n", "A", "k", ""},
        LookupCase{"DoubleQuotesRemoved", "[A]\nk=\"  x \"\n", "A", "k", "  x "},
        LookupCase{"SingleQuotesRemoved", "[A]\nk= 'x' \n", "A", "k", "x"},
        LookupCase{"OnlyOnePairRemoved", "[A]\nk=\"\"x\"\"\n", "A", "k", "\"x\""},
        LookupCase{"MismatchedQuotesKept", "[A]\nk=\"x'\n", "A", "k", "\"x'"},
        LookupCase{"LoneQuoteKept", "[A]\nk=\"\n", "A", "k", "\""},
        LookupCase{"QuotedEmpty", "[A]\nk=\"\"\n", "A", "k", ""},
        LookupCase{"SemicolonLineIsComment", "[A]\n \t;k=1\nk=2\n", "A", "k", "2"},
        LookupCase{"HashIsOrdinaryText", "[A]\n#k=1\n", "A", "#k", "1"},
        LookupCase{"TextAfterValueKept", "[A]\nk=4000 ; port\n", "A", "k", "4000 ; port"},
        LookupCase{"HeaderTrimmedTailIgnored", "[ A b ] tail\nk=1\n", "a B", "k", "1"},
        LookupCase{"IndentedHeader", "  [A]\nk=1\n", "A", "k", "1"},
        LookupCase{"OpenBracketIsNoHeader", "[A]\n[B\nk=1\n", "A", "k", "1"},
        LookupCase{"OpenBracketLeavesNoSection", "[A]\n[B\nk=1\n", "B", "k", "<default>"},
        LookupCase{"CrLfEnds", "[A]\r\nk=1\r\nj=2\r\n", "A", "k", "1"},
        LookupCase{"CrEnds", "[A]\rk=1\rj=2", "A", "j", "2"},
        LookupCase{"MixedEndsAndBlankLines", "[A]\n\r\n\r\rk=1", "A", "k", "1"},
        LookupCase{"Utf8BomSkipped", "\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "1"},
        // Values of a file with a byte-order mark come in Windows-1252; one
        // without keeps its bytes.
        LookupCase{"Utf8BomValueIn1252", "\xEF\xBB\xBF[A]\nk=caf\xC3\xA9 \xE2\x82\xAC \xE6\x97\xA5\n", "A", "k",
                   "caf\xE9 \x80 ?"},
        LookupCase{"Utf16LittleEndian", Utf16(u"[A]\r\nk = caf\u00E9 \u20AC\r\n", false), "A", "k", "caf\xE9 \x80"},
        LookupCase{"Utf16BigEndian", Utf16(u"[A]\r\nk=\u65E5 x\r\n", true), "A", "k", "? x"},
        LookupCase{"NoBomKeepsBytes", "[A]\nk=caf\xC3\xA9\n", "A", "k", "caf\xC3\xA9"},
        LookupCase{"VerticalTabAndFormFeedAreBlanks", "[\v A\f]\n\f k \v=\v v \f\n", "A", "k", "v"},
        LookupCase{"NoFinalLineEnd", "[A]\nk=last", "A", "k", "last"})),
    [](const auto& info) {
        const Reader reader = std::get<0>(info.param);
        return std::string(reader == Reader::Parsed ? "Parsed_" : "Platform_") +
               std::get<1>(info.param).name;
    });

TEST(IniFile, CutsLongValuesAndDefaultsTo2047Characters) {
    const std::string long_text(3000, 'x');
    const IniFile ini = IniFile::parse("[A]\nk=" + long_text + "\nq=\"" + long_text + "\"\n");
    EXPECT_EQ(ini.get("A", "k", ""), long_text.substr(0, 2047));
    EXPECT_EQ(ini.get("A", "q", ""), long_text.substr(0, 2047));
    EXPECT_EQ(ini.get("A", "missing", long_text), long_text.substr(0, 2047));
}

TEST(IniFile, FindTellsMissingFromEmpty) {
    const IniFile ini = IniFile::parse("[A]\nk=\n");
    EXPECT_EQ(ini.find("A", "k"), std::string());
    EXPECT_EQ(ini.find("A", "j"), std::nullopt);
}

TEST(ReadIniString, CutsLongValuesTo2047Characters) {
    test::TempDir dir;
    const std::string long_text(3000, 'x');
    const std::string path = dir.write("Kelvarix.ini", "[A]\r\nk=" + long_text + "\r\n");
    EXPECT_EQ(ReadIniString("A", "k", "", path), long_text.substr(0, 2047));
}

TEST(ReadIniString, ReadsFileOrFallsBackToDefault) {
    test::TempDir dir;
    const std::string path = dir.write("Kelvarix.ini", "\xEF\xBB\xBF[ATAS]\r\nPortNumber = 4000\r\n");
    EXPECT_EQ(ReadIniString("atas", "portnumber", "x", path), "4000");
    EXPECT_EQ(ReadIniString("ATAS", "IPAddress", "dflt", path), "dflt");
    EXPECT_EQ(ReadIniString("ATAS", "PortNumber", "dflt", dir.path("missing.ini")), "dflt");
    std::filesystem::create_directory(dir.path("folder.ini"));
    EXPECT_EQ(ReadIniString("ATAS", "PortNumber", "dflt", dir.path("folder.ini")), "dflt");
    EXPECT_FALSE(IniFile::load(dir.path("folder.ini")).has_value());
}

}  // namespace
}  // namespace kelvarix
