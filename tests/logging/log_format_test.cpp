#include "logging/log_format.h"

#include <gtest/gtest.h>

namespace kelvarix {
namespace {

const LocalTime kTime{2012, 3, 14, 9, 5, 7};

// The ordinary line is checked through the logger.
TEST(SystemLogLayout, SeparatorAndEmptyTexts) {
    // A text that begins with "-" stands alone in the file, not in the list.
    EXPECT_EQ(SystemFileLine(kTime, "-----"), "-----\r\n");
    EXPECT_EQ(SystemListLine(kTime, "-----"), "09:05:07 [SYSTEM]         -----");
    // The empty text keeps the time stamp and its trailing blank.
    EXPECT_EQ(SystemFileLine({2009, 1, 2, 3, 4, 5}, ""), "09-01-02 03:04:05 \r\n");
    EXPECT_EQ(FormatDate({2009, 1, 2, 3, 4, 5}), "2009-01-02");
}

TEST(TrafficLogLayout, TagsAreSixteenCharacters) {
    std::vector<std::string> tags;
    for (const TrafficTag tag : {TagToATAS, TagFromATAS, TagToOrvane, TagFromOrvane, TagSystem}) {
        tags.emplace_back(TrafficTagText(tag));
    }
    EXPECT_EQ(tags,
              (std::vector<std::string>{"[KVX -> ATAS]   ", "[KVX <- ATAS]   ", "[KVX -> ORVANE] ",
                                        "[KVX <- ORVANE] ", "[SYSTEM]        "}));
}

TEST(TrafficLogLayout, ControlCharactersBecomeVisible) {
    EXPECT_EQ(EscapeTraffic("a\tb\r\n"), "a<9>b<13><10>");
    EXPECT_EQ(EscapeTraffic(std::string("x\0y", 3)), "x<0>y");
    EXPECT_EQ(EscapeTraffic("\x1f<13>"), "<31><13>");  // < and > of the text stay
    EXPECT_EQ(EscapeTraffic("\xe9 ok"), "\xe9 ok");    // 8-bit characters are copied
}

TEST(TrafficLogLayout, FoldingAt118WithIndent) {
    const std::string prefix(26, 'p');
    auto lengths = [&](std::size_t text_length) {
        std::vector<std::size_t> result;
        for (const std::string& piece : FoldForList(prefix + std::string(text_length, 'x'), 26)) {
            result.push_back(piece.size());
        }
        return result;
    };
    EXPECT_EQ(lengths(0), (std::vector<std::size_t>{26}));
    EXPECT_EQ(lengths(92), (std::vector<std::size_t>{118}));
    EXPECT_EQ(lengths(93), (std::vector<std::size_t>{118, 27}));
    EXPECT_EQ(lengths(200), (std::vector<std::size_t>{118, 118, 42}));

    const auto pieces = FoldForList(prefix + std::string(92, 'x') + "LAST", 26);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1], std::string(26, ' ') + "LAST");
}

}  // namespace
}  // namespace kelvarix
