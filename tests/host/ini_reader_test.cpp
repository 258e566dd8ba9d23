#include "host/ini_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

TEST_P(IniLookup, BothReadersReadLikeThePrivateProfileReader) {
    const LookupCase& c = GetParam();
    EXPECT_EQ(IniFile::parse(c.content).get(c.section, c.key, "<default>"), c.expected)
        << "the parser";
    test::TempDir dir;
    const std::string path = dir.write("Kelvarix.ini", c.content);
    EXPECT_EQ(ReadIniString(c.section, c.key, "<default>", path), c.expected)
        << "the platform's reader";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, IniLookup,
    testing::Values(
        LookupCase{"NamesIgnoreCase", "[atas]\nportnumber=1\n", "ATAS", "PortNumber", "1"},
        LookupCase{"FirstKeyWins", "[A]\nk=1\nK=2\n", "A", "k", "1"},
        LookupCase{"FirstSectionWins", "[A]\nx=1\n[a]\nk=2\n", "A", "k", "<default>"},
        LookupCase{"KeyOfOtherSection", "[A]\n[B]\nk=1\n", "A", "k", "<default>"},
        LookupCase{"KeyBeforeAnyHeader", "k=1\n[A]\n", "A", "k", "<default>"},
        LookupCase{"MissingSection", "[A]\nk=1\n", "B", "k", "<default>"},
        LookupCase{"BlanksAroundRemovedInnerKept", "[A]\n \t k \t = \t a  b \t\n", "A", "k",
                   "a  b"},
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
        LookupCase{"NoFinalLineEnd", "[A]\nk=last", "A", "k", "last"},
        LookupCase{"LongValueCut", "[A]\nk=" + std::string(3000, 'x'), "A", "k",
                   std::string(2047, 'x')}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(IniFile, QuotedValuesAndDefaultsAreCutToo) {
    const std::string long_text(3000, 'x');
    const IniFile ini = IniFile::parse("[A]\nq=\"" + long_text + "\"\n");
    EXPECT_EQ(ini.get("A", "q", ""), long_text.substr(0, 2047));
    EXPECT_EQ(ini.get("A", "missing", long_text), long_text.substr(0, 2047));
}

// Only a regular file is read: anything else counts as missing.
TEST(ReadIniString, FallsBackToTheDefaultWithoutAFile) {
    test::TempDir dir;
    std::filesystem::create_directory(dir.path("folder.ini"));
    for (const std::string& path : {dir.path("missing.ini"), dir.path("folder.ini")}) {
        EXPECT_EQ(ReadIniString("ATAS", "PortNumber", "dflt", path), "dflt") << path;
    }
    EXPECT_FALSE(IniFile::load(dir.path("folder.ini")).has_value());
}

}  // namespace
}  // namespace kelvarix
