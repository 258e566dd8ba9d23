#include "pbx/atas_link.h"

#include <gmock/gmock.h>

#include "pbx/atas_protocol.h"
#include "support/gateway_fixture.h"

namespace kelvarix {
namespace {

using ::testing::ElementsAre;

class AtasLinkTest : public test::LinkFixture {};

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

TEST_F(AtasLinkTest, LoginPromptsAreLookedForOncePerArrivalAndARefusalCloses) {
    Connect();
    // A prompt counts at the start of the buffer, before the lines of the
    // arrival are taken off, in any case.
    PeerSend("\r\nUserName:");
    EXPECT_EQ(PeerReceived(), "");
    PeerSend("x");
    ASSERT_TRUE(PeerGot("op1\r"));
    PeerSend("PASSWORD:and data after it");
    ASSERT_TRUE(PeerGot("op1\rsecret\r"));
    EXPECT_EQ(link_.ATASReceiveBuffer, "");  // discarded with the prompt
    EXPECT_THAT(Lines(TagToATAS), ElementsAre("op1<13>", "******<13>"));  // never the password
    PeerSend("ATAS_OK2\r");
    EXPECT_TRUE(link_.ATASSessionReady);
    // A refusal closes the link without a line of its own.
    Connect();
    PeerSend("SORRY, wrong password");
    EXPECT_TRUE(link_.ATASLoginRefused);
    EXPECT_FALSE(link_.Connected());
    EXPECT_TRUE(SystemLines().empty());
}

// Only the expected replies complete a command; each command is counted by
// its keyword and result, and none goes out on a closed link.
TEST_F(AtasLinkTest, OnlyTheExpectedRepliesCompleteACommandAndEachIsCounted) {
    using R = CommandResult;
    struct Case {
        std::string line;
        const char* keyword;
        std::int32_t timeout;
        std::string answer;
        std::int16_t result;
        R counted;
    };
    const Case cases[] = {
        {"SA\tA1\t2001\tFire\r", "SA", 2, "  nAck  \r", kReplyNack, R::Nack},
        {"DA\tA1\r", "DA", 2, "nack\rack\r", kReplyNack, R::Nack},  // the first reply counts
        // A reply after keyword lines.
        {"HBC\t60\r", "HBC", 2, "HB\rCBE\tack\rOPM\t1\t2\t9\t4\r\nACK\r", kReplyAck, R::Ack},
        {"RESET\r", "RESET", 1, "", kReplyNone, R::Timeout},  // silence times out
        {"ATE1\r", "ATE1", 0, "", kReplyNone, R::Timeout},    // sends and gives up at once
    };
    Connect();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyword);
        settings_.CommandTimeout = c.timeout;
        EXPECT_EQ(Command(c.line, c.answer), c.result);
        EXPECT_TRUE(link_.ExpectedReplies == ReplySlots{});
    }
    // Keyword lines are never a reply, whatever the command accepts.
    const auto result = Start(link_.SendATASCommand("X\r", "hb", "opm", "atas_ok", "cbe", 1));
    ASSERT_TRUE(PeerGot("X\r"));
    PeerSend(" hb \rOPM\t1\rATAS_OK\rcbe\r");
    ASSERT_TRUE(RunUntil([&] { return result->has_value(); }));
    EXPECT_EQ(**result, kReplyNone);

    peer_.close();
    ASSERT_TRUE(RunUntil([&] { return !link_.Connected(); }));
    settings_.CommandTimeout = 1;
    EXPECT_EQ(Command("MCA\t2001\tT1\r"), kReplyNone);
    EXPECT_EQ(Lines(TagToATAS).size(), std::size(cases) + 1);  // all but the MCA
    const auto counted = [&](const char* keyword, R result) {
        CommandStats::Counts expected{};
        expected[static_cast<std::size_t>(result)] = 1;
        EXPECT_EQ(link_.command_stats.ByKeyword().at(keyword), expected) << keyword;
    };
    for (const Case& c : cases) counted(c.keyword, c.counted);
    counted("X", R::Timeout);
    counted("MCA", R::NoLink);
    EXPECT_EQ(link_.command_stats.Durations().Count(), std::size(cases) + 2);
}

TEST_F(AtasLinkTest, CommandsWaitTheirTurnAndGiveUpWhenTheLinkGoes) {
    settings_.CommandTimeout = 60;
    Connect();
    std::vector<std::shared_ptr<std::optional<std::int16_t>>> results;
    for (const char* line : {"FIRST\r", "SECOND\r", "THIRD\r"}) {
        results.push_back(Start(link_.SendCommand(line)));
    }
    ASSERT_TRUE(PeerGot("FIRST\r"));
    EXPECT_EQ(PeerReceived(), "FIRST\r");  // the others are held back
    PeerSend("nack\r");
    ASSERT_TRUE(PeerGot("FIRST\rSECOND\r"));
    EXPECT_EQ(*results[0], kReplyNack);
    // Neither the waiting command nor the one behind it sits out the
    // minute's time-out once the PBX has hung up.
    peer_.close();
    ASSERT_TRUE(RunUntil([&] { return results[2]->has_value(); }));
    EXPECT_EQ(*results[1], kReplyNone);
    EXPECT_EQ(*results[2], kReplyNone);
    EXPECT_FALSE(link_.CommandPending());
}

TEST_F(AtasLinkTest, TerminalOperationsReadOrAcknowledgeEveryEntryOfTheEvent) {
    using namespace MessageState;
    using test::MakeRecord;
    const struct {
        MessageRef entry;
        std::int16_t before, after;
    } cases[] = {
        {MakeRecord("A1", "E", "2001", "T1"), Pending, Acknowledged},
        {MakeRecord("A2"), Pending, Acknowledged},  // no terminal: any terminal
        {MakeRecord("A3", "E", "2001", "T9"), Pending, AcknowledgedElsewhere},
        {MakeRecord("A4", "E", "2002", "T1"), Pending, AcknowledgedElsewhere},
        {MakeRecord("A5", "E", "2001", "T1"), AckReported, AcknowledgedAgain},
        {MakeRecord("A6"), AckedByAlarmServer, Acknowledged},
        {MakeRecord("A7", "E", "2002"), Deleted, AcknowledgedElsewhere},
        {MakeRecord("A8", "e", "2001", "T1"), Pending, Pending},  // events compare with case
    };
    for (const auto& c : cases) Queued(c.entry, c.before);
    Connect();
    PeerSend(std::string(AtasLink::kMaxReceiveBuffer, 'x'));  // the longest line kept, no CR yet
    PeerSend("\r");
    for (const char* code : {"3", "", "x2", "1.5"}) {  // codes other than 1 and 2 do nothing
        PeerSend(std::string("OPM\tA2\t2001\t") + code + "\tT1\r");
    }
    EXPECT_EQ(cases[0].entry->m_MessageState, Pending);
    PeerSend("OPM\tA2\t2001\t 2.0 \tT1\r");
    for (const auto& c : cases) EXPECT_EQ(c.entry->m_MessageState, c.after) << c.entry->m_AlarmId;
    EXPECT_EQ(cases[0].entry->m_AckedByTerminalId, "T1");
    EXPECT_EQ(cases[4].entry->m_AckedByTerminalId, "");  // an acknowledgement again keeps the first
    EXPECT_EQ(PeerReceived(), "");

    // A terminal's read is answered with the fields as they stand.
    PeerSend("opm\t4711\t 2001 \t1\t T1 \r");
    PeerSend("OPM\tZZ\t2001\t2\tT1\r");  // an alarm the queue does not know
    EXPECT_TRUE(PeerGot("PA\t 2001 \t T1\rDA\tZZ\t2001\r"));
    EXPECT_THAT(SystemLines(),
                ElementsAre("Could not find AlarmId:ZZ (was deleted by queue "
                            "cleaning?) when ack from Destination: 2001, TermId: T1"));
}

// Forwarding an alarm with SA: the only way records enter the queue.
class DispatchTest : public test::LinkFixture {
  protected:
    std::optional<bool> Dispatch(MessageRef record, std::string_view answer = {}) {
        const auto result = Start(dispatcher_.SendAlarmToPBX(record));
        if (!answer.empty() && PeerGot("SA\t" + record->m_AlarmId)) PeerSend(answer);
        EXPECT_TRUE(RunUntil([&] { return result->has_value(); }));
        return *result;
    }
};

TEST_F(DispatchTest, EverySentAlarmIsQueuedUnlessItsEventWasAcknowledged) {
    Connect();
    Queued(test::MakeRecord("0", "88"));  // pending entries of the event do not count
    const auto reported =
        Queued(test::MakeRecord("1", "88", "2002", "T5"), MessageState::AckReported);
    reported->m_AckedByTerminalId = "T5";
    Queued(test::MakeRecord("2", "88"), MessageState::AckedByAlarmServer);
    EXPECT_EQ(Dispatch(test::MakeRecord("3", "88")), false);
    EXPECT_EQ(queue_.size(), 3u);
    EXPECT_EQ(PeerReceived(), "");
    // The line names the entry that was acknowledged, not the new alarm.
    EXPECT_THAT(SystemLines(),
                ElementsAre("Alarm has already been acknowledged by TermId 'T5', threw message "
                            "(AlarmId: 1, EventId: 88, Tag: T, Destination: 2002, TermId: T5)"));
    // Events compare exactly; a sent alarm is queued whatever the PBX answers.
    for (const std::string answer : {"ack\r", "nack\r"}) {
        SCOPED_TRACE(answer);
        clock_.advance(std::chrono::seconds(1));
        const auto record = test::MakeRecord(answer.substr(0, 1), "88 ");
        EXPECT_EQ(Dispatch(record, answer), answer == "ack\r");
        EXPECT_EQ(queue_.snapshot().back(), record);
        EXPECT_EQ(record->m_InsertedIntoQueueTimeStamp, clock_.now());
        EXPECT_EQ(record->m_InsertedIntoQueueMonotonic, clock_.monotonic());
    }
}

}  // namespace
}  // namespace kelvarix
