#include "pbx/atas_protocol.h"

#include <gtest/gtest.h>

#include "support/record.h"

namespace kelvarix {
namespace {

TEST(ReplyMatching, CaseBlindPrefixFirstSlotWins) {
    const ReplySlots ack_nack = {"ACK", "NACK", "", ""};
    const std::pair<const char*, std::int16_t> cases[] = {
        {"ack", 1}, {"ACK 17", 1}, {"Acknowledged", 1}, {"nack", 2},
        {"OK", 0},  {"", 0},       {"ac", 0},           {" ack", 0},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(MatchReply(line, ack_nack), expected) << line;
    EXPECT_EQ(MatchReply("anything", ReplySlots{}), 0);  // empty slots never match
    EXPECT_EQ(MatchReply("ACKNACK", ReplySlots{"", "ACKN", "ACK", ""}), 2);
}

TEST(CommandLines, ValuesNeverSplitTheLine) {
    EXPECT_EQ(AtasCommand("SM", {"", "A"}), "SM\t\tA\r");
    EXPECT_EQ(AtasCommand("DA", {"47\t11", "20\r\nSA\t1"}), "DA\t47 11\t20  SA 1\r");
    // The alarm line has four fields (see the login's wire), five when it names a terminal.
    const auto record = test::MakeRecord("4711", "E", "2001", "T5");
    record->m_Message = "Fire";
    EXPECT_EQ(BuildSALine(*record), "SA\t4711\t2001\tFire\tT5\r");
}

}  // namespace
}  // namespace kelvarix
