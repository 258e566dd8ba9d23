#include "queue/message.h"

#include <gtest/gtest.h>

namespace kelvarix {
namespace {

TEST(DescribeMessage, NamesTheFiveFieldsInOrderEmptyOnesIncluded) {
    cMessage empty;
    EXPECT_EQ(DescribeMessage(empty), "(AlarmId: , EventId: , Tag: , Destination: , TermId: )");

    // Built in one piece: GCC 12 at -O3 takes the short texts assigned one
    // by one to a default-built record for uninitialised reads.
    cMessage full{.m_Tag = "FIRE-2",
                  .m_EventId = "88",
                  .m_AlarmId = "4711",
                  .m_Destination = "2001",
                  .m_TerminalId = " T 7 ",
                  .m_Message = "Fire alarm room 12",
                  .m_AckedByTerminalId = "9"};
    EXPECT_EQ(DescribeMessage(full),
              "(AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, TermId:  T 7 )");

    full.m_TerminalId.clear();
    EXPECT_EQ(DescribeMessage(full),
              "(AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, TermId: )");
}

}  // namespace
}  // namespace kelvarix
