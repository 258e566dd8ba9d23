#include "queue/get_field.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>

namespace kelvarix {
namespace {

struct FieldCase {
    std::string text;
    int index;
    std::string delimiter;
    std::string want;
};

TEST(GetField, ReturnsTheNumberedFieldExactlyAsItStands) {
    const FieldCase cases[] = {
        {"a|b|c", 0, "|", "a"},
        {"a|b|c", 1, "|", "b"},
        {"a|b|c", 2, "|", "c"},
        {"a|b|c", 3, "|", ""},
        {"a||c", 1, "|", ""},
        {"a||c", 2, "|", "c"},
        {"a|b|", 2, "|", ""},
        {"a|b|", 3, "|", ""},
        {"|b", 0, "|", ""},
        {"abc", 0, "|", "abc"},
        {"abc", 1, "|", ""},
        {"", 0, "|", ""},
        {"", 1, "|", ""},
        {"a|b", -1, "|", ""},
        {"a|b", -32768, "|", ""},
        {" a | b", 0, "|", " a "},
        {" a | b", 1, "|", " b"},
        {"a\tB c\t", 1, "\t", "B c"},
        // Several characters are one delimiter, skipped as a whole.
        {"a<>b<><>c", 1, "<>", "b"},
        {"a<>b<><>c", 2, "<>", ""},
        {"a<>b<><>c", 3, "<>", "c"},
        {"a<b>c<>d", 0, "<>", "a<b>c"},
        {"a|||b", 1, "||", "|b"},
        // The search respects case.
        {"aXbxc", 0, "x", "aXb"},
        {"aXbxc", 1, "x", "c"},
    };
    for (const FieldCase& c : cases) {
        std::string delimiter = c.delimiter;
        EXPECT_EQ(GetField(c.text, c.index, delimiter), c.want)
            << "text \"" << c.text << "\" field " << c.index << " delimiter \"" << c.delimiter
            << "\"";
        EXPECT_EQ(delimiter, c.delimiter) << "a given delimiter must stay as it is";
        EXPECT_EQ(GetField(c.text, c.index, std::string_view(c.delimiter)), c.want);
    }
}

TEST(GetField, EmptyDelimiterIsChosenFromTheTextAndStoredBack) {
    struct ChoiceCase {
        std::string text;
        std::string chosen;
        std::array<std::string, 3> fields;
    };
    const ChoiceCase cases[] = {
        {"a;b\tc;d", "\t", {"a;b", "c;d", ""}},  // TAB wins over ";"
        {"a;b;c", ";", {"a", "b", "c"}},
        {"\t", "\t", {"", "", ""}},
        {"a|b c", "", {"", "", ""}},  // neither: every field is empty
        {"", "", {"", "", ""}},
    };
    for (const ChoiceCase& c : cases) {
        EXPECT_EQ(ChooseDelimiter(c.text), c.chosen) << c.text;
        for (int index = 0; index < 3; ++index) {
            std::string delimiter;
            EXPECT_EQ(GetField(c.text, index, delimiter), c.fields[index])
                << "text \"" << c.text << "\" field " << index;
            EXPECT_EQ(delimiter, c.chosen);
            EXPECT_EQ(GetField(c.text, index, std::string_view{}), c.fields[index]);
        }
    }
}

TEST(GetField, HandlesTextsFarBeyondSixteenBitPositions) {
    const std::string head(70'000, 'x');
    const std::string tail(40'000, 'y');
    const std::string text = head + "|middle|" + tail;
    std::string delimiter = "|";
    EXPECT_EQ(GetField(text, 0, delimiter), head);
    EXPECT_EQ(GetField(text, 1, delimiter), "middle");
    EXPECT_EQ(GetField(text, 2, delimiter), tail);
    EXPECT_EQ(GetField(text, 3, delimiter), "");
}

// The one-pass splitter must give exactly GetField's fields, including for
// empty and multi-character delimiters and texts with fewer fields.
TEST(SplitFields, AgreesWithGetField) {
    std::mt19937 random(20120314);
    const std::string alphabet = "ab|;\t<> ";
    const std::string delimiters[] = {"|", "\t", "<>", "||", ""};
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 12);
        for (int i = 0; i < length; ++i) {
            text += alphabet[random() % alphabet.size()];
        }
        for (const std::string& given : delimiters) {
            std::array<std::string_view, 6> fields;
            SplitFields(text, given, fields);
            for (int index = 0; index < static_cast<int>(fields.size()); ++index) {
                std::string delimiter = given;
                ASSERT_EQ(fields[index], GetField(text, index, delimiter))
                    << "text \"" << text << "\" field " << index << " delimiter \"" << given
                    << "\"";
            }
        }
    }
}

}  // namespace
}  // namespace kelvarix
