#include "queue/get_field.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvarix {
namespace {

TEST(GetField, ReturnsTheNumberedFieldExactlyAsItStands) {
    struct Case {
        std::string text;
        int index;
        std::string delimiter, want;
    };
    const Case cases[] = {
        {"a|b|c", 2, "|", "c"},
        {"a|b|c", 3, "|", ""},
        {"a||c", 1, "|", ""},
        {" a | b", 1, "|", " b"},
        {"a|b", -1, "|", ""},
        // Several characters are one delimiter, matched as a whole and with case.
        {"a<>b<><>c", 3, "<>", "c"},
        {"a<b>c<>d", 0, "<>", "a<b>c"},
        {"a|||b", 1, "||", "|b"},
        {"aXbxc", 1, "x", "c"},
        // Without one, TAB is chosen, else ";", else every field is empty.
        {"a;b\tc;d", 1, "", "c;d"},
        {"a;b;c", 2, "", "c"},
        {"a|b c", 0, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE('"' + c.text + "\" field " + std::to_string(c.index));
        std::string delimiter = c.delimiter;
        EXPECT_EQ(GetField(c.text, c.index, delimiter), c.want);
        EXPECT_EQ(GetField(c.text, c.index, std::string_view(c.delimiter)), c.want);
        EXPECT_EQ(delimiter, c.delimiter.empty() ? ChooseDelimiter(c.text) : c.delimiter);
    }
    const std::string head(70'000, 'x');  // far beyond 16-bit positions
    EXPECT_EQ(GetField(head + "|middle|", 1, "|"), "middle");
}

}  // namespace
}  // namespace kelvarix
