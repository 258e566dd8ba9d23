#include "pbx/atas_protocol.h"

#include <gtest/gtest.h>

#include "queue/message.h"

namespace kelvarix {
namespace {

TEST(ReplyMatching, CaseBlindPrefixInSlotOrder) {
    const ReplySlots ack_nack = {"ACK", "NACK", "", ""};
    const std::vector<std::pair<std::string, std::int16_t>> cases = {
        {"ack", 1}, {"ACK 17", 1}, {"Acknowledged", 1}, {"nack", 2}, {"NaCk please", 2},
        {"OK", 0},  {"", 0},       {"ac", 0},           {" ack", 0},
    };
    for (const auto& [line, expected] : cases) EXPECT_EQ(MatchReply(line, ack_nack), expected) << line;
    // Empty slots never match, and the first matching slot wins.
    EXPECT_EQ(MatchReply("anything", ReplySlots{}), 0);
    EXPECT_EQ(MatchReply("ACKNACK", ReplySlots{"", "ACKN", "ACK", ""}), 2);
}

TEST(CommandLines, FieldsTabsAndNoSplitting) {
    EXPECT_EQ(AtasCommand("RESET"), "RESET\r");
    EXPECT_EQ(AtasCommand("HBC", {"60"}), "HBC\t60\r");
    EXPECT_EQ(AtasCommand("SM", {"", "A"}), "SM\t\tA\r");
    // A value can never split the line or add a command.
    EXPECT_EQ(AtasCommand("DA", {"47\t11", "20\r\nSA\t1"}), "DA\t47 11\t20  SA 1\r");
}

TEST(CommandLines, AlarmHasFourOrFiveFields) {
    cMessage m;
    m.m_AlarmId = "4711";
    m.m_Destination = "2001";
    EXPECT_EQ(BuildSALine(m), "SA\t4711\t2001\t\r");  // the empty text keeps its TAB
    m.m_Message = "Fire alarm room 12";
    EXPECT_EQ(BuildSALine(m), "SA\t4711\t2001\tFire alarm room 12\r");
    m.m_TerminalId = "T5";
    EXPECT_EQ(BuildSALine(m), "SA\t4711\t2001\tFire alarm room 12\tT5\r");
}

}  // namespace
}  // namespace kelvarix
