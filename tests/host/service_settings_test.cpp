#include "host/service_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "host/ini_reader.h"
#include "host/service_mode.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

TEST(WithIniValue, SetsTheKeyThatTheReaderSeesAndKeepsTheRest) {
    // What the rows say, then the file before and after.
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"empty file", "", "[Parameters]\nRunAsService=1\n"},
        {"names in another case", "[parameters]\n runasservice = 0 \nOther=x\n",
         "[parameters]\nRunAsService=1\nOther=x\n"},
        {"key added at the end of its section", "[Parameters]\nOther=x\n\n[Next]\nA=1\n",
         "[Parameters]\nOther=x\nRunAsService=1\n\n[Next]\nA=1\n"},
        {"only the first section of a name counts",
         "[Parameters]\nA=1\n[Parameters]\nRunAsService=0\n",
         "[Parameters]\nA=1\nRunAsService=1\n[Parameters]\nRunAsService=0\n"},
        {"a comment is no key", "[Parameters]\n;RunAsService=0\n",
         "[Parameters]\n;RunAsService=0\nRunAsService=1\n"},
        {"a key before any section is no key", "RunAsService=0\n",
         "RunAsService=0\n[Parameters]\nRunAsService=1\n"},
        {"last line without an ending", "[Parameters]\nOther=x",
         "[Parameters]\nOther=x\nRunAsService=1\n"},
        {"section missing", "[Other]\nx=1", "[Other]\nx=1\n[Parameters]\nRunAsService=1\n"},
        {"CR LF kept", "\xEF\xBB\xBF[Parameters]\r\nRunAsService=0\r\n",
         "\xEF\xBB\xBF[Parameters]\r\nRunAsService=1\r\n"},
    };
    for (const auto& [name, before, expected] : cases) {
        const std::string after = WithIniValue(before, "Parameters", "RunAsService", "1");
        EXPECT_EQ(after, expected) << name;
        EXPECT_EQ(IniFile::parse(after).get("Parameters", "RunAsService", "missing"), "1") << name;
    }
}

// A stored text that is no whole number counts as 0: a window rather than
// no start at all.
TEST(ReadRunAsService, OnlyAWholeNumberOtherThanZeroMeansService) {
    test::TempDir folder;
    const ServiceSettingsStore store(folder.path("KelvarixService.ini"));
    EXPECT_FALSE(ReadRunAsService(store));  // no file
    folder.write("KelvarixService.ini", "[Parameters]\nRunAsService= -1 ");
    EXPECT_TRUE(ReadRunAsService(store));
    for (const char* stored : {"0", "abc", "1.0", "99999999999"}) {
        folder.write("KelvarixService.ini", std::string("[Parameters]\nRunAsService=") + stored);
        EXPECT_FALSE(ReadRunAsService(store)) << stored;
    }
}

}  // namespace
}  // namespace kelvarix
