#include "logging/log_format.h"

#include <gtest/gtest.h>

namespace kelvarix {
namespace {

const LocalTime kTime{2012, 3, 14, 9, 5, 7};

TEST(SystemLogLayout, FileAndListLines) {
    EXPECT_EQ(SystemFileLine(kTime, "Kelvarix was started"),
              "12-03-14 09:05:07 Kelvarix was started\r\n");
    EXPECT_EQ(SystemListLine(kTime, "Kelvarix was started"),
              "09:05:07 [SYSTEM]         Kelvarix was started");
    // A text that begins with "-" stands alone in the file, not in the list.
    EXPECT_EQ(SystemFileLine(kTime, "-----"), "-----\r\n");
    EXPECT_EQ(SystemListLine(kTime, "-----"), "09:05:07 [SYSTEM]         -----");
    // The empty text keeps the time stamp and its trailing blank.
    EXPECT_EQ(SystemFileLine(kTime, ""), "12-03-14 09:05:07 \r\n");
    EXPECT_EQ(SystemListLine(kTime, ""), "09:05:07 [SYSTEM]         ");
    // The system log does no escaping.
    EXPECT_EQ(SystemFileLine(kTime, "a\rb\nc"), "12-03-14 09:05:07 a\rb\nc\r\n");
}

TEST(SystemLogLayout, DatesAndTimesArePadded) {
    const LocalTime t{2009, 1, 2, 3, 4, 5};
    EXPECT_EQ(FormatDate(t), "2009-01-02");
    EXPECT_EQ(FormatTime(t), "03:04:05");
    EXPECT_EQ(FormatFileTimeStamp(t), "09-01-02 03:04:05 ");
}

TEST(TrafficLogLayout, TagsAreSixteenCharacters) {
    for (const TrafficTag tag : {TagSystem, TagToATAS, TagFromATAS, TagToOrvane, TagFromOrvane}) {
        EXPECT_EQ(TrafficTagText(tag).size(), 16u);
    }
    EXPECT_EQ(TrafficTagText(TagToATAS), "[KVX -> ATAS]   ");
    EXPECT_EQ(TrafficTagText(TagFromATAS), "[KVX <- ATAS]   ");
    EXPECT_EQ(TrafficTagText(TagToOrvane), "[KVX -> ORVANE] ");
    EXPECT_EQ(TrafficTagText(TagFromOrvane), "[KVX <- ORVANE] ");
}

TEST(TrafficLogLayout, ControlCharactersBecomeVisible) {
    EXPECT_EQ(EscapeTraffic("RESET\r"), "RESET<13>");
    EXPECT_EQ(EscapeTraffic("a\tb\r\n"), "a<9>b<13><10>");
    EXPECT_EQ(EscapeTraffic(std::string("x\0y", 3)), "x<0>y");
    EXPECT_EQ(EscapeTraffic("\x1f<13>"), "<31><13>");  // < and > of the text stay
    EXPECT_EQ(EscapeTraffic("\xe9 ok"), "\xe9 ok");      // 8-bit characters are copied
}

TEST(TrafficLogLayout, FoldingAt118WithIndent) {
    const std::string prefix(26, 'p');
    auto lengths = [&](std::size_t text_length) {
        const std::string line = prefix + std::string(text_length, 'x');
        std::vector<std::size_t> result;
        for (const std::string& piece : FoldForList(line, 26)) result.push_back(piece.size());
        return result;
    };
    EXPECT_EQ(lengths(92), (std::vector<std::size_t>{118}));
    EXPECT_EQ(lengths(93), (std::vector<std::size_t>{118, 27}));
    EXPECT_EQ(lengths(200), (std::vector<std::size_t>{118, 118, 42}));

    const auto pieces = FoldForList(prefix + std::string(92, 'x') + "LAST", 26);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[1], std::string(26, ' ') + "LAST");
    // The prefix alone (an empty text) is one line.
    EXPECT_EQ(FoldForList(prefix, 26), std::vector<std::string>{prefix});
}

}  // namespace
}  // namespace kelvarix
