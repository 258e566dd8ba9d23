#include <gmock/gmock.h>

#include "link_fixture.h"

namespace kelvarix {
namespace {

using ::testing::ElementsAre;

class DispatchTest : public testing::LinkFixture {
protected:
    std::optional<bool> Dispatch(MessageRef record, std::string_view answer = {}) {
        std::optional<bool> result;
        asio::co_spawn(
            io_,
            [&]() -> asio::awaitable<void> {
                result = co_await Dispatcher().SendAlarmToPBX(record);
            },
            asio::detached);
        if (!answer.empty() && PeerGot("SA\t" + record->m_AlarmId)) PeerSend(answer);
        EXPECT_TRUE(RunUntil([&] { return result.has_value(); }));
        return result;
    }
    MessageRef Alarm(std::string alarm, std::string event) {
        auto m = std::make_shared<cMessage>();
        m->m_AlarmId = std::move(alarm);
        m->m_EventId = std::move(event);
        m->m_Destination = "2001";
        m->m_Message = "Fire";
        m->m_Tag = "FIRE-2";
        return m;
    }
};

TEST_F(DispatchTest, AcceptedAlarmIsQueuedAndLogged) {
    Connect();
    auto alarm = Alarm("4711", "88");
    EXPECT_EQ(Dispatch(alarm, "ack\r"), true);
    EXPECT_EQ(queue_.first_with_alarm_id("4711"), alarm);
    EXPECT_EQ(alarm->m_InsertedIntoQueueTimeStamp, clock_.now());
    EXPECT_THAT(SystemLines(),
                ElementsAre("Alarm to PBX (success) (AlarmId: 4711, EventId: 88, Tag: FIRE-2, "
                            "Destination: 2001, TermId: )"));
}

TEST_F(DispatchTest, RefusedOrSilentAlarmStaysQueued) {
    Connect();
    EXPECT_EQ(Dispatch(Alarm("1", "88"), "nack\r"), false);
    settings_.CommandTimeout = 0;
    EXPECT_EQ(Dispatch(Alarm("2", "88")), false);
    EXPECT_EQ(queue_.size(), 2u);
    EXPECT_THAT(SystemLines()[1], ::testing::StartsWith("Alarm to PBX (failed) (AlarmId: 2,"));
}

TEST_F(DispatchTest, SameEventStillPendingIsSentAgain) {
    Connect();
    EXPECT_EQ(Dispatch(Alarm("1", "88"), "ack\r"), true);
    EXPECT_EQ(Dispatch(Alarm("2", "88"), "ack\r"), true);
    EXPECT_EQ(queue_.size(), 2u);
}

TEST_F(DispatchTest, AcknowledgedEventRefusesNewAlarms) {
    Connect();
    auto pending = Queue("0", "88", "2001");
    auto reported = Queue("1", "88", "2002", "T5", MessageState::AckReported);
    reported->m_AckedByTerminalId = "T5";
    Queue("2", "88", "2003", "", MessageState::AckedByAlarmServer);
    const auto before = queue_.size();
    auto alarm = Alarm("3", "88");
    EXPECT_EQ(Dispatch(alarm), false);
    EXPECT_EQ(queue_.size(), before);
    EXPECT_EQ(alarm->m_InsertedIntoQueueTimeStamp, LocalTime{});
    EXPECT_EQ(PeerReceived(), "");
    // The line names the entry that was acknowledged, not the new alarm.
    EXPECT_THAT(SystemLines(),
                ElementsAre("Alarm has already been acknowledged by TermId 'T5', threw message "
                            "(AlarmId: 1, EventId: 88, Tag: T, Destination: 2002, TermId: T5)"));
    // Event identifiers are compared with case.
    EXPECT_EQ(Dispatch(Alarm("4", "88 "), "ack\r"), true);
}

}  // namespace
}  // namespace kelvarix
