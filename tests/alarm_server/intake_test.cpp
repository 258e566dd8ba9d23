#include "alarm_server/intake.h"

#include <gmock/gmock.h>

#include "platform/async_signal.h"
#include "support/gateway_fixture.h"

namespace kelvarix {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

// A PBX side whose answers the test decides; while `held` it keeps every
// alarm waiting until Release().
class FakePbx final : public PbxPort {
  public:
    FakePbx(asio::any_io_executor executor, MessageQueue& queue)
        : released_(std::move(executor)), queue_(queue) {}
    bool connected = true;
    bool usable = true;
    bool held = false;
    bool accepts = true;

    void Release() {
        held = false;
        released_.Notify();
    }
    bool Connected() const override { return connected; }
    asio::awaitable<bool> WaitUntilUsable() override { co_return usable; }
    asio::awaitable<bool> SendAlarmToPBX(MessageRef record) override {
        queue_.append(record);
        while (held) co_await released_.Wait();
        co_return accepts;
    }

  private:
    AsyncSignal released_;
    MessageQueue& queue_;
};

class IntakeTest : public test::GatewayFixture {
  protected:
    IntakeTest() {
        intake_.SetReadControl([this](bool pause) { controls_.push_back(pause); });
    }
    void Feed(std::string_view data) {
        intake_.Winsock_Orvane_Data_DataArrival(data);
        RunReady();
    }
    // Replies and system-log lines in the order they were written.
    std::vector<std::string> Transcript() const { return Lines(TagFromOrvane, true); }

    FakePbx pbx_{io_.get_executor(), queue_};
    std::vector<std::string> replies_;
    std::vector<bool> controls_;
    AlarmIntake::ReplySink reply_ = [this](std::string_view reply) {
        replies_.emplace_back(reply);
        logger_.WriteTrafficLog(reply, TagToOrvane);
    };
    AlarmIntake intake_{io_.get_executor(), settings_, logger_, queue_, buffered_, pbx_, reply_};
};

TEST_F(IntakeTest, EachStatusGetsItsReplyAndLogLine) {
    struct Case {
        std::string status;
        bool connected, usable, buffer;
        const char* reply;  // with the alarm id "A"
        const char* log;    // the system-log line's beginning
    };
    const Case cases[] = {
        {"1", true, true, false, "sent", ""},
        {"3", true, true, false, "failed", ""},  // status 3 is an alarm too; the PBX refuses it
        {"1", false, true, true, "buffered", "PBX not connected, buffered message (AlarmId: A,"},
        {"1", false, true, false, "failed", "PBX not connected, threw message (AlarmId: A,"},
        {"1", true, false, true, "buffered", "PBX not connected, buffered message"},
        {"0", true, true, true, "buffered", "Status was Inactive, threw message (AlarmId: A,"},
        {"2", true, true, true, "sent", "Did not find any message in queue to ack (AlarmId: A,"},
        {"2", false, true, true, "failed", "PBX not connected, threw ack message (AlarmId: A,"},
        // Read like any number (the conversions' own table has the rest): 0 outside 16 bits.
        {" &H1 ", true, true, true, "sent", ""},
        {"32768", true, true, true, "buffered", "Status was Inactive"},
        {"5", true, true, true, "", ""},
    };
    settings_.MaxBufferedMessages = 100;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        replies_.clear();
        window_.Clear();
        pbx_.connected = c.connected;
        pbx_.usable = c.usable;
        pbx_.accepts = c.status != "3";
        settings_.BufferWhenDisconnected = c.buffer;
        Feed(c.status + "|0|E|A|2001||Fire|" + c.status + "\n");  // a tag no earlier alarm has
        EXPECT_EQ(replies_, *c.reply ? std::vector<std::string>{c.reply + std::string(" (A)\n")}
                                     : std::vector<std::string>{});
        EXPECT_EQ(SystemLines().size(), *c.log ? 1u : 0u);
        for (const std::string& line : SystemLines()) EXPECT_THAT(line, StartsWith(c.log));
    }
    const AlarmIntake::Counts& n = intake_.counts();  // what the metrics show
    EXPECT_EQ(std::tie(n.alarms, n.acknowledgements, n.replies_sent, n.replies_failed,
                       n.replies_buffered),
              std::make_tuple(8, 2, 3, 3, 4));
    // An inactive line is answered, then logged; a link-down alarm names
    // every field of its record.
    window_.Clear();
    Feed("0|0|88|4711|2001|T5|Fire|X\n");
    pbx_.connected = false;
    Feed("1|0|88|4711|2001|T5|Fire|X\n");
    EXPECT_THAT(
        Transcript(),
        ElementsAre("buffered (4711)<10>", StartsWith("Status was Inactive"), "buffered (4711)<10>",
                    "PBX not connected, buffered message (AlarmId: 4711, EventId: 88, "
                    "Tag: X, Destination: 2001, TermId: T5)"));
}

// Lines are framed by LF across arrivals. A line that outgrows the receive
// buffer is thrown away up to its LF; the next line is read as usual.
TEST_F(IntakeTest, LinesAreFramedByLfAcrossArrivalsAndAnOverlongOneIsThrownAway) {
    Feed("1|0|88|4711|20");
    EXPECT_TRUE(replies_.empty());
    const std::string head = "  1|0|89| 47 12 |2001||", tail = "|Y  ";
    // The longest line that may wait for its LF (a CR is not kept).
    const std::string long_text(AlarmIntake::kMaxLineBuffer - head.size() - tail.size(), 'm');
    Feed("01|T5|Fire|X\r\n\n   \n" + head + long_text + tail + "\r");
    Feed("\n" + std::string(AlarmIntake::kMaxLineBuffer + 1, 'x'));
    Feed("1|0|9|TAIL|2001||rest of the long line|T\n1|0|1|A1|2001||Fire|T\n");
    // The reply names the alarm exactly as it came.
    EXPECT_THAT(replies_, ElementsAre("sent (4711)\n", "sent ( 47 12 )\n", "sent (A1)\n"));
    ASSERT_EQ(queue_.size(), 3u);
    EXPECT_EQ(queue_.snapshot()[1]->m_Message, long_text);
    EXPECT_THAT(SystemLines(), Contains(StartsWith("Orvane receive buffer overflow, threw 65537 "
                                                   "characters without LF")));
}

TEST_F(IntakeTest, FullBufferDropsTheOldestBeforeEachLine) {
    pbx_.connected = false;
    settings_.BufferWhenDisconnected = true;
    settings_.MaxBufferedMessages = 0;  // behaves as 1: only the newest stays
    Feed("1|0|1|A1|D|||T\n1|0|2|A2|D|||T\n");
    ASSERT_EQ(buffered_.size(), 1u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "A2");
    EXPECT_THAT(SystemLines()[1], StartsWith("Buffered limit exceeded (ATAS not connected?), "
                                             "threw message (AlarmId: A1,"));
    settings_.MaxBufferedMessages = 3;
    Feed("1|0|3|A3|D|||T\n1|0|4|A4|D|||T\n");  // A2 A3 A4
    Feed("2|0|9|ACK|D|||T\n");                 // an acknowledgement drops one too
    ASSERT_EQ(buffered_.size(), 2u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "A3");
}

TEST_F(IntakeTest, AlarmServerAcknowledgesByTagIgnoringCase) {
    using namespace MessageState;
    const auto a = Queued(test::MakeRecord("1", "E", "2001", "", "fire-2"));
    const auto b = Queued(test::MakeRecord("2", "E", "2001", "", "FIRE-2"), AckReported);
    const auto c = Queued(test::MakeRecord("3", "E", "2001", "", "other"));
    const auto d = Queued(test::MakeRecord("4", "E", "2001", "", "Fire-2"), Acknowledged);
    const auto untagged = Queued(test::MakeRecord("5", "E", "2001", "", ""));
    Feed("2|0|88|4711|2001|||FIRE-2\n");
    EXPECT_EQ(a->m_MessageState, AckedByAlarmServer);
    EXPECT_EQ(b->m_MessageState, AckReported);  // passed over
    EXPECT_EQ(c->m_MessageState, Pending);
    EXPECT_EQ(d->m_MessageState, AckedByAlarmServer);
    const std::string found =
        "Found message to ack (AlarmId: 4711, EventId: 88, Tag: FIRE-2, "
        "Destination: 2001, TermId: )";
    EXPECT_THAT(Transcript(), ElementsAre(found, found, "sent (4711)<10>"));
    Feed("2|0|88|4712|2001|||\n");  // an empty tag matches empty tags
    EXPECT_EQ(untagged->m_MessageState, AckedByAlarmServer);
}

// The backlog behind an alarm that waits for the PBX is bounded by holding
// the alarm server back, and a line's reply goes to the connection that is
// current when it is sent.
TEST_F(IntakeTest, BacklogBeyondTheLimitHoldsTheAlarmServerBackUntilHalfIsHandled) {
    // Lines of about 1 KB pile up behind A1, which waits for the PBX.
    int n = 0;
    const auto fill_up = [&] {
        pbx_.held = true;
        for (int lines = 0; intake_.OrvaneReceiveBuffer().size() <= AlarmIntake::kMaxBacklog;) {
            ASSERT_FALSE(intake_.ReadingPaused()) << "paused below the limit";
            ASSERT_LT(++lines, 2000) << "the text does not pile up";
            ++n;
            Feed("1|0|E|A" + std::to_string(n) + "|2001||" + std::string(1000, '.') + "|T\n");
        }
    };
    fill_up();
    EXPECT_THAT(controls_, ElementsAre(true));
    Feed("1|0|E|X|2001||Fire|T\n");  // more text while paused asks for nothing more
    EXPECT_THAT(controls_, ElementsAre(true));
    pbx_.Release();
    RunReady();
    EXPECT_THAT(controls_, ElementsAre(true, false));
    ASSERT_EQ(replies_.size(), n + 1u);
    EXPECT_EQ(replies_.back(), "sent (X)\n");

    // A new connection starts unpaused and gets the reply to the old one's
    // line that the PBX was still handling, then its own; the old
    // connection's lines that were not handled yet are dropped.
    replies_.clear();
    const std::string waiting = "A" + std::to_string(n + 1);
    fill_up();
    intake_.ClearReceiveBuffer();
    EXPECT_FALSE(intake_.ReadingPaused());
    Feed("1|0|E9|B1|2001||Fire|T\n");
    pbx_.Release();
    RunReady();
    EXPECT_THAT(replies_, ElementsAre("sent (" + waiting + ")\n", "sent (B1)\n"));
    EXPECT_THAT(controls_, ElementsAre(true, false, true));  // no resume needed
}

}  // namespace
}  // namespace kelvarix
