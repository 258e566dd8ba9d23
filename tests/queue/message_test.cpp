#include "queue/message.h"

#include <gtest/gtest.h>

namespace kelvarix {
namespace {

TEST(DescribeMessage, NamesTheFiveFieldsInOrderEmptyOnesIncluded) {
    cMessage empty;
    EXPECT_EQ(DescribeMessage(empty), "(AlarmId: , EventId: , Tag: , Destination: , TermId: )");

    cMessage full;
    full.m_AlarmId = "4711";
    full.m_EventId = "88";
    full.m_Tag = "FIRE-2";
    full.m_Destination = "2001";
    full.m_TerminalId = " T 7 ";
    full.m_Message = "Fire alarm room 12";
    full.m_AckedByTerminalId = "9";
    EXPECT_EQ(DescribeMessage(full),
              "(AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, TermId:  T 7 )");

    full.m_TerminalId.clear();
    EXPECT_EQ(DescribeMessage(full),
              "(AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, TermId: )");
}

}  // namespace
}  // namespace kelvarix
