#include "pbx/alarm_dispatch.h"

#include <gmock/gmock.h>

#include "support/gateway_fixture.h"

namespace kelvarix {
namespace {

using ::testing::ElementsAre;

class DispatchTest : public test::LinkFixture {
  protected:
    std::optional<bool> Dispatch(MessageRef record, std::string_view answer = {}) {
        const auto result = Start(dispatcher_.SendAlarmToPBX(record));
        if (!answer.empty() && PeerGot("SA\t" + record->m_AlarmId)) PeerSend(answer);
        EXPECT_TRUE(RunUntil([&] { return result->has_value(); }));
        return *result;
    }
};

TEST_F(DispatchTest, EverySentAlarmIsQueuedWhateverThePbxAnswers) {
    struct Case {
        std::int32_t timeout;
        std::string answer;
        bool accepted;
        std::string log;
    };
    const Case cases[] = {
        {2, "ack\r", true,
         "Alarm to PBX (success) (AlarmId: A0, EventId: E0, Tag: T, "
         "Destination: 2001, TermId: T5)"},
        {2, "nack\r", false,
         "Alarm to PBX (failed) (AlarmId: A1, EventId: E1, Tag: T, "
         "Destination: 2001, TermId: T5)"},
        {0, "", false,
         "Alarm to PBX (failed) (AlarmId: A2, EventId: E2, Tag: T, "
         "Destination: 2001, TermId: T5)"},
    };
    Connect();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.log);
        settings_.CommandTimeout = c.timeout;
        clock_.advance(std::chrono::seconds(1));
        const auto record =
            test::MakeRecord("A" + std::to_string(i), "E" + std::to_string(i), "2001", "T5");
        EXPECT_EQ(Dispatch(record, c.answer), c.accepted);
        EXPECT_EQ(queue_.snapshot().back(), record);
        EXPECT_EQ(record->m_InsertedIntoQueueTimeStamp, clock_.now());
        EXPECT_EQ(record->m_InsertedIntoQueueMonotonic, clock_.monotonic());
        EXPECT_EQ(SystemLines().back(), c.log);
    }
    EXPECT_EQ(queue_.size(), 3u);
}

TEST_F(DispatchTest, AnAcknowledgedEventRefusesNewAlarms) {
    Connect();
    Queued(test::MakeRecord("0", "88"));  // pending entries of the event do not count
    const auto reported =
        Queued(test::MakeRecord("1", "88", "2002", "T5"), MessageState::AckReported);
    reported->m_AckedByTerminalId = "T5";
    Queued(test::MakeRecord("2", "88"), MessageState::AckedByAlarmServer);
    const auto alarm = test::MakeRecord("3", "88");
    EXPECT_EQ(Dispatch(alarm), false);
    EXPECT_EQ(queue_.size(), 3u);
    EXPECT_EQ(alarm->m_InsertedIntoQueueTimeStamp, LocalTime{});
    EXPECT_EQ(PeerReceived(), "");
    // The line names the entry that was acknowledged, not the new alarm.
    EXPECT_THAT(SystemLines(),
                ElementsAre("Alarm has already been acknowledged by TermId 'T5', threw message "
                            "(AlarmId: 1, EventId: 88, Tag: T, Destination: 2002, TermId: T5)"));
    EXPECT_EQ(Dispatch(test::MakeRecord("4", "88 "), "ack\r"), true);  // events compare exactly
}

}  // namespace
}  // namespace kelvarix
