#include "alarm_server/intake.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <deque>

#include "platform/awaitable.h"

namespace kelvarix {
namespace {

using ::testing::ElementsAre;

// A PBX side whose answers the test decides.
class FakePbx final : public PbxPort {
public:
    bool connected = true;
    bool usable = true;
    std::deque<bool> results;  // answers of the dispatch, in order (default true)
    std::vector<std::string> dispatched;
    MessageQueue* queue = nullptr;

    bool Connected() const override { return connected; }
    asio::awaitable<bool> WaitUntilUsable() override { co_return usable; }
    asio::awaitable<bool> SendAlarmToPBX(MessageRef record) override {
        dispatched.push_back(record->m_AlarmId);
        if (queue != nullptr) queue->append(record);
        bool result = true;
        if (!results.empty()) {
            result = results.front();
            results.pop_front();
        }
        co_return result;
    }
};

class IntakeTest : public ::testing::Test {
protected:
    IntakeTest()
        : logger_(clock_, window_, "/nonexistent-kelvarix-folder/"),
          intake_(io_.get_executor(), settings_, logger_, queue_, buffered_, pbx_,
                  [this](std::string_view reply) {
                      replies_.emplace_back(reply);
                      logger_.WriteTrafficLog(reply, TagToOrvane);
                  }) {
        pbx_.queue = &queue_;
    }

    void Feed(std::string_view data) {
        intake_.Winsock_Orvane_Data_DataArrival(data);
        io_.restart();
        io_.run();
    }

    // The system-log texts in the window list, without time and tag.
    std::vector<std::string> SystemLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : window_.Lines()) {
            if (line.compare(9, 8, "[SYSTEM]") == 0) lines.push_back(line.substr(26));
        }
        return lines;
    }
    // Every line of the list, in order, system and traffic alike.
    std::vector<std::string> AllLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : window_.Lines()) lines.push_back(line.substr(9));
        return lines;
    }

    MessageRef Queued(std::string alarm, std::string tag, std::int16_t state = 0) {
        auto m = std::make_shared<cMessage>();
        m->m_AlarmId = std::move(alarm);
        m->m_EventId = "E" + m->m_AlarmId;
        m->m_Tag = std::move(tag);
        queue_.append(m);
        if (state != 0) queue_.set_state(*m, state);
        return m;
    }

    asio::io_context io_;
    ManualClock clock_;
    WindowList window_;
    Settings settings_;
    Logger logger_;
    MessageQueue queue_;
    BufferedMessages buffered_;
    FakePbx pbx_;
    std::vector<std::string> replies_;
    AlarmIntake intake_;
};

TEST_F(IntakeTest, AlarmSentOrFailedByTheDispatch) {
    pbx_.results = {true, false};
    Feed("1|0|88|4711|2001||Fire|FIRE-2\n3|0|89|4712|2001||Fire|FIRE-3\n");
    EXPECT_THAT(replies_, ElementsAre("sent (4711)\n", "failed (4712)\n"));
    EXPECT_THAT(pbx_.dispatched, ElementsAre("4711", "4712"));  // status 3 as status 1
}

TEST_F(IntakeTest, LinkDownBuffersOrThrows) {
    pbx_.connected = false;
    settings_.BufferWhenDisconnected = true;
    settings_.MaxBufferedMessages = 10;
    Feed("1|0|88|4711|2001||Fire|T\n");
    settings_.BufferWhenDisconnected = false;
    Feed("1|0|88|4712|2001||Fire|T\n");
    EXPECT_THAT(replies_, ElementsAre("buffered (4711)\n", "failed (4712)\n"));
    ASSERT_EQ(buffered_.size(), 1u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "4711");
    EXPECT_THAT(SystemLines(),
                ElementsAre("PBX not connected, buffered message (AlarmId: 4711, EventId: 88, "
                            "Tag: T, Destination: 2001, TermId: )",
                            "PBX not connected, threw message (AlarmId: 4712, EventId: 88, "
                            "Tag: T, Destination: 2001, TermId: )"));
    EXPECT_TRUE(pbx_.dispatched.empty());
}

TEST_F(IntakeTest, UnfinishedSessionCountsAsLinkDown) {
    // Connected but the set-up failed while the line waited: never sent.
    pbx_.usable = false;
    settings_.BufferWhenDisconnected = true;
    settings_.MaxBufferedMessages = 5;
    Feed("1|0|88|4711|2001||Fire|T\n");
    EXPECT_THAT(replies_, ElementsAre("buffered (4711)\n"));
    EXPECT_TRUE(pbx_.dispatched.empty());
}

TEST_F(IntakeTest, StatusValues) {
    pbx_.connected = false;
    // status text -> reply kind ("" for none)
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"0", "buffered"}, {"2.5", "failed"},  {"1.5", "failed"},   {"32768", "buffered"},
        {"-32769", "buffered"}, {"abc", "buffered"}, {"5", ""},     {"-1", ""},
        {" 1 ", "failed"},  {"&H1", "failed"},
    };
    for (const auto& [status, kind] : cases) {
        replies_.clear();
        Feed(status + "|0|1|A|D|||T\n");
        if (kind.empty()) {
            EXPECT_TRUE(replies_.empty()) << status;
        } else {
            EXPECT_THAT(replies_, ElementsAre(kind + " (A)\n")) << status;
        }
    }
}

TEST_F(IntakeTest, InactiveLineRepliesThenLogs) {
    Feed("0|0|88|4711|2001|||T\n");
    EXPECT_THAT(AllLines(),
                ElementsAre(::testing::StartsWith("[KVX <- ORVANE]"),
                            ::testing::StartsWith("[KVX -> ORVANE]"),
                            ::testing::HasSubstr("Status was Inactive, threw message (AlarmId: 4711")));
    EXPECT_THAT(replies_, ElementsAre("buffered (4711)\n"));
}

TEST_F(IntakeTest, FramingAcrossArrivals) {
    Feed("1|0|88|4711|20");
    EXPECT_TRUE(replies_.empty());
    EXPECT_EQ(intake_.OrvaneReceiveBuffer(), "1|0|88|4711|20");
    Feed("01|T5|Fire|X\r\n\n   \n1|0|89|4712|2001||Fire|Y\r\n");
    EXPECT_THAT(replies_, ElementsAre("sent (4711)\n", "sent (4712)\n"));
    ASSERT_EQ(queue_.size(), 2u);
    EXPECT_EQ(queue_.first_with_alarm_id("4711")->m_Destination, "2001");
    EXPECT_EQ(queue_.first_with_alarm_id("4711")->m_TerminalId, "T5");
}

TEST_F(IntakeTest, ReplyEchoesTheIdentifierAsReceived) {
    Feed("  1|0|88| 47 11 |2001||Fire|T  \n");
    EXPECT_THAT(replies_, ElementsAre("sent ( 47 11 )\n"));
}

TEST_F(IntakeTest, OverflowDropsTheOldestBeforeEachLine) {
    pbx_.connected = false;
    settings_.BufferWhenDisconnected = true;
    settings_.MaxBufferedMessages = 0;  // behaves as 1: only the newest stays
    Feed("1|0|1|A1|D|||T\n1|0|2|A2|D|||T\n");
    ASSERT_EQ(buffered_.size(), 1u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "A2");
    EXPECT_THAT(SystemLines()[1], ::testing::StartsWith(
                                      "Buffered limit exceeded (ATAS not connected?), threw "
                                      "message (AlarmId: A1,"));

    settings_.MaxBufferedMessages = 3;
    Feed("1|0|3|A3|D|||T\n1|0|4|A4|D|||T\n");  // A2 A3 A4
    Feed("2|0|9|ACK|D|||T\n");                  // an acknowledgement drops one too
    ASSERT_EQ(buffered_.size(), 2u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "A3");
}

TEST_F(IntakeTest, AlarmServerAcknowledgementByTag) {
    auto a = Queued("1", "fire-2");
    auto b = Queued("2", "FIRE-2", MessageState::AckReported);
    auto c = Queued("3", "other");
    auto d = Queued("4", "Fire-2", MessageState::Acknowledged);
    Feed("2|0|88|4711|2001|||FIRE-2\n");
    EXPECT_EQ(a->m_MessageState, MessageState::AckedByAlarmServer);
    EXPECT_EQ(b->m_MessageState, MessageState::AckReported);  // passed over
    EXPECT_EQ(c->m_MessageState, MessageState::Pending);
    EXPECT_EQ(d->m_MessageState, MessageState::AckedByAlarmServer);
    const std::string line =
        "Found message to ack (AlarmId: 4711, EventId: 88, Tag: FIRE-2, Destination: 2001, "
        "TermId: )";
    EXPECT_THAT(SystemLines(), ElementsAre(line, line));
    EXPECT_THAT(replies_, ElementsAre("sent (4711)\n"));
    // The log lines come before the reply.
    EXPECT_THAT(AllLines().back(), ::testing::HasSubstr("[KVX -> ORVANE]"));
}

TEST_F(IntakeTest, AcknowledgementFindingNothingOrLinkDown) {
    Queued("1", "T", MessageState::AckReported);
    auto empty_tag = Queued("2", "");
    Feed("2|0|88|4711|2001|||T\n");
    EXPECT_THAT(SystemLines().back(),
                ::testing::StartsWith("Did not find any message in queue to ack (AlarmId: 4711"));
    Feed("2|0|88|4712|2001|||\n");  // an empty tag matches empty tags
    EXPECT_EQ(empty_tag->m_MessageState, MessageState::AckedByAlarmServer);
    pbx_.connected = false;
    Feed("2|0|88|4713|2001|||T\n");
    EXPECT_THAT(replies_, ElementsAre("sent (4711)\n", "sent (4712)\n", "failed (4713)\n"));
    EXPECT_THAT(SystemLines().back(),
                ::testing::StartsWith("PBX not connected, threw ack message (AlarmId: 4713"));
}

TEST_F(IntakeTest, OverlongLineIsThrownAwayUpToItsLf) {
    Feed(std::string(AlarmIntake::kMaxLineBuffer + 10, 'x'));
    EXPECT_TRUE(intake_.OrvaneReceiveBuffer().empty());
    EXPECT_THAT(SystemLines().back(), ::testing::HasSubstr("Orvane receive buffer overflow"));
    Feed("tail of the long line\n1|0|88|4711|2001||Fire|T\n");
    // The rest of the long line is not taken for a line of its own.
    EXPECT_THAT(replies_, ElementsAre("sent (4711)\n"));
}

TEST_F(IntakeTest, NewConnectionDiscardsUnhandledText) {
    Feed("1|0|88|4711|2001||Fi");
    intake_.ClearReceiveBuffer();
    Feed("1|0|89|4712|2001||Fire|T\n");
    EXPECT_THAT(replies_, ElementsAre("sent (4712)\n"));
}

TEST_F(IntakeTest, LinesOfAnyLengthAreHandled) {
    const std::string text(40000, 'm');
    Feed("1|0|88|4711|2001||" + text + "|T\n");
    ASSERT_EQ(queue_.size(), 1u);
    EXPECT_EQ(queue_.first_with_alarm_id("4711")->m_Message, text);
}

}  // namespace
}  // namespace kelvarix
