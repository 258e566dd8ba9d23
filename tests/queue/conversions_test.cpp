#include "queue/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace kelvarix {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct NumberCase {
    std::string text;
    double expected;
};

TEST(ParseLenientNumber, ReadsTheNumberAtTheStart) {
    const NumberCase cases[] = {
        {"", 0},          {"abc", 0},        {"4 5", 45},        {"\t4\n5", 45},
        {"4\r5", 4},      {"80 (web)", 80},  {"2001.5", 2001.5}, {"-1", -1},
        {"+7", 7},        {" - 7", -7},      {"--5", 0},         {"1.2.3", 1.2},
        {".5", 0.5},      {"5.", 5},         {".", 0},           {"-", 0},
        {"007", 7},       {"1,5", 1},        {"12abc", 12},      {"0x10", 0},
        {"0.000123", 0.000123},
        {"123456789012345678901234567890", 123456789012345678901234567890.0},
        // Exponents, with E or D.
        {"1e3", 1000},    {"1E+3", 1000},    {"1D-2", 0.01},     {"2.5d1", 25},
        {"1e", 1},        {"1e+", 1},        {"e5", 0},          {"1e3.5", 1000},
        {"1 e 2", 100},
        // Hexadecimal and octal.
        {"&H1F", 31},     {"&hff", 255},     {"& h F f", 255},   {"&O17", 15},
        {"&o8", 0},       {"&H", 0},         {"&X1", 0},         {"&HFFFF", 65535},
        {"&H10G", 16},    {"-&H10", 0},
    };
    for (const auto& c : cases) {
        EXPECT_DOUBLE_EQ(ParseLenientNumber(c.text), c.expected) << '"' << c.text << '"';
    }
}

TEST(ParseLenientNumber, ExtremeInputsStayDefined) {
    const std::string zeros(5000, '0');
    const std::string nines(10000, '9');
    const NumberCase cases[] = {
        {nines, kInf},
        {"-" + nines, -kInf},
        {"1e308", 1e308},
        {"1e309", kInf},
        {"1e999999999999999999999", kInf},
        {"1e-99999999999999999999", 0},
        {"0e999999999999", 0},
        {"0." + zeros + "1", 0},
        {"1" + zeros + "e-5000", 1},              // long mantissa scaled back down
        {"0." + zeros + "5e5001", 5},             // long fraction scaled back up
        {"&H" + std::string(1000, 'F'), kInf},
        {"1" + std::string(900, '0') + "1e-901", 1},  // digits beyond the kept ones
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseLenientNumber(c.text), c.expected) << c.text.substr(0, 40);
    }
    EXPECT_EQ(ToNumber32(nines), std::nullopt);
    EXPECT_EQ(ToNumber32("&H" + std::string(1000, 'F')), std::nullopt);
    EXPECT_EQ(ToNumber16("1e999999999999"), std::nullopt);
    EXPECT_TRUE(ToFlag(nines));
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    const std::pair<double, double> cases[] = {
        {2.5, 2},     {3.5, 4},       {-2.5, -2}, {-3.5, -4}, {0.5, 0},
        {1.5, 2},     {2.4999, 2},    {2.5000001, 3}, {-2.6, -3}, {7, 7},
        {1e300, 1e300}, {4503599627370495.5, 4503599627370496.0}, {kInf, kInf},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(RoundHalfEven(in), out) << in;
}

struct WholeCase {
    std::string text;
    std::optional<std::int32_t> expected;
};

TEST(ToNumber32, RoundsAndChecksTheRange) {
    const WholeCase cases[] = {
        {"2001.5", 2002},          {"2002.5", 2002},         {"abc", 0},
        {"80 (web)", 80},          {"", 0},                  {"-7.5", -8},
        {"2147483647", 2147483647}, {"2147483647.4", 2147483647},
        {"2147483647.5", std::nullopt},  // rounds up to 2^31
        {"2147483648", std::nullopt},
        {"-2147483648.5", -2147483647 - 1},  // rounds to the even -2^31
        {"-2147483649", std::nullopt},
        {"1e10", std::nullopt},
        {"&H7FFFFFFF", 2147483647},
        {"&HFFFFFFFF", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ToNumber32(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ToNumber16, RoundsAndChecksTheRange) {
    const WholeCase cases[] = {
        {"4 5", 45},          {"32767", 32767},      {"32768", std::nullopt},
        {"-32768", -32768},   {"-32769", std::nullopt},
        {"32767.5", std::nullopt}, {"-32768.5", -32768}, {"32766.5", 32766},
        {"100000", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = ToNumber16(c.text);
        EXPECT_EQ(got ? std::optional<std::int32_t>(*got) : std::nullopt, c.expected) << '"' << c.text << '"';
    }
}

TEST(ToInt16OrZero, StatusLikeFields) {
    const std::pair<const char*, std::int16_t> cases[] = {
        {"2.5", 2}, {"1.5", 2}, {"3.5", 4}, {"32768", 0}, {"-32769", 0},
        {"-1", -1}, {"AB", 0},  {" 7 ", 7}, {"", 0},      {"32767", 32767},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ToInt16OrZero(text), expected) << '"' << text << '"';
}

TEST(ToStrictNumber, WholeTextMustBeASignedWholeNumber) {
    const WholeCase cases[] = {
        {" 4000 ", 4000},      {"4000", 4000},          {"+5", 5},
        {"-5", -5},            {"0", 0},                {"0000000000002147483647", 2147483647},
        {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1},
        {"2147483648", std::nullopt}, {"-2147483649", std::nullopt},
        {"99999999999999999999999999", std::nullopt},
        {"40a", std::nullopt}, {"", std::nullopt},      {"   ", std::nullopt},
        {"+", std::nullopt},   {"-", std::nullopt},     {"+-5", std::nullopt},
        {"--5", std::nullopt}, {"- 5", std::nullopt},   {"4 000", std::nullopt},
        {"4000.0", std::nullopt}, {"\t4000", std::nullopt}, {"&H10", std::nullopt},
        {"1e3", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ToStrictNumber(c.text), c.expected) << '"' << c.text << '"';
}

TEST(ToFlag, NonZeroNumberIsTrue) {
    const std::pair<const char*, bool> cases[] = {
        {"1", true},   {"-1", true},  {"2", true},     {"0.5", true}, {"1e-5", true},
        {" 1", true},  {"&H1", true}, {"0", false},    {"", false},   {"no", false},
        {"yes", false}, {"true", false}, {"0.0", false}, {"-0", false}, {"0e5", false},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(ToFlag(text), expected) << '"' << text << '"';
}

TEST(TrimSpaces, RemovesOnlySpaces) {
    const std::pair<const char*, const char*> cases[] = {
        {"   op1  ", "op1"}, {"\top1 ", "\top1"}, {" op1\t ", "op1\t"},
        {"   ", ""},         {"", ""},            {" a  b ", "a  b"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(TrimSpaces(text), expected) << '"' << text << '"';
}

}  // namespace
}  // namespace kelvarix
