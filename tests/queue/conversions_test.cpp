#include "queue/conversions.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "queue/get_field.h"

namespace kelvarix {
namespace {

// How one text reads as a number, as a 32-bit and a 16-bit whole number
// (rounded half to even), as a strict whole number and as a flag.
TEST(Numbers, EachConversionReadsTheText) {
    constexpr std::nullopt_t no = std::nullopt;
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::string zeros(5000, '0'), nines(10000, '9');  // far beyond a double's digits
    struct Case {
        std::string text;
        double number;
        std::optional<std::int32_t> n32, n16, strict;
        bool flag;
    };
    const Case cases[] = {
        {"\t4 \n5", 45, 45, 45, no, true},
        {"4\r5", 4, 4, 4, no, true},
        {" - 7", -7, -7, -7, no, true},
        {" 4000 ", 4000, 4000, 4000, 4000, true},
        {"+5", 5, 5, 5, 5, true},
        {"   ", 0, 0, 0, no, false},
        {"+-5", 0, 0, 0, no, false},
        {"1.2.3", 1.2, 1, 1, no, true},
        {".5", 0.5, 0, 0, no, true},
        {"2001.5", 2001.5, 2002, 2002, no, true},
        {"2.7", 2.7, 3, 3, no, true},
        {"1E+3", 1000, 1000, 1000, no, true},
        {"1D-2", 0.01, 0, 0, no, true},
        {"2.5d1", 25, 25, 25, no, true},
        {"1e+", 1, 1, 1, no, true},
        {"e5", 0, 0, 0, no, false},
        {"1e309", kInf, no, no, no, true},
        {"1e999999999999999999999", kInf, no, no, no, true},
        {"1e-99999999999999999999", 0, 0, 0, no, false},
        {"0e999999999999", 0, 0, 0, no, false},
        {"-" + nines, -kInf, no, no, no, true},
        {"1" + zeros + "e-5000", 1, 1, 1, no, true},
        {"0." + zeros + "5e5001", 5, 5, 5, no, true},
        {"&H1A", 26, 26, 26, no, true},
        {"& h a F f", 2815, 2815, 2815, no, true},
        {"&O17", 15, 15, 15, no, true},
        {"&o8", 0, 0, 0, no, false},
        {"&H?", 0, 0, 0, no, false},
        {"&X1", 0, 0, 0, no, false},
        {"-&H10", 0, 0, 0, no, false},
        {"32767.5", 32767.5, 32768, no, no, true},
        {"-32768.5", -32768.5, -32768, -32768, no, true},
        {"-32769", -32769, -32769, no, -32769, true},
        {"0000000000002147483647", 2147483647, 2147483647, no, 2147483647, true},
        {"2147483647.5", 2147483647.5, no, no, no, true},
        {"2147483648", 2147483648.0, no, no, no, true},
        {"-2147483648", kMin, kMin, no, kMin, true},
        {"-2147483648.5", -2147483648.5, kMin, no, no, true},
        {"-2147483649", -2147483649.0, no, no, no, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE('"' + c.text.substr(0, 40) + '"');
        EXPECT_DOUBLE_EQ(ParseLenientNumber(c.text), c.number);
        EXPECT_EQ(ToNumber32(c.text), c.n32);
        const auto n16 = ToNumber16(c.text);
        EXPECT_EQ(n16 ? std::optional<std::int32_t>(*n16) : no, c.n16);
        EXPECT_EQ(ToStrictNumber(c.text), c.strict);
        EXPECT_EQ(ToFlag(c.text), c.flag);
    }
}

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
