#include <gmock/gmock.h>

#include "link_fixture.h"

namespace kelvarix {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class AtasLinkTest : public testing::LinkFixture {};

TEST_F(AtasLinkTest, LoginPromptsAcrossSplitArrivals) {
    Connect();
    PeerSend("USER");
    EXPECT_EQ(PeerReceived(), "");
    PeerSend("name:");  // any case
    ASSERT_TRUE(PeerGot("op1\r"));
    PeerSend("PASSWORD:and data after it");
    ASSERT_TRUE(PeerGot("op1\rsecret\r"));
    EXPECT_EQ(Link().ATASReceiveBuffer, "");  // discarded with the prompt
    // The logs never show the password.
    EXPECT_THAT(TrafficLines(TagToATAS), ElementsAre("op1<13>", "******<13>"));
    PeerSend("ATAS_OK2\r");
    EXPECT_TRUE(Link().ATASSessionReady);
}

TEST_F(AtasLinkTest, PromptAfterALineEndWaitsForTheNextArrival) {
    Connect();
    PeerSend("\r\nUSERNAME:");
    EXPECT_EQ(PeerReceived(), "");
    EXPECT_EQ(Link().ATASReceiveBuffer, "USERNAME:");
    PeerSend("x");
    EXPECT_TRUE(PeerGot("op1\r"));
}

TEST_F(AtasLinkTest, RefusedLoginClosesTheLink) {
    Connect();
    PeerSend("SORRY, wrong password");
    EXPECT_TRUE(Link().ATASLoginRefused);
    EXPECT_FALSE(Link().Connected());
    EXPECT_EQ(Link().ATASReceiveBuffer, "SORRY, wrong password");
    EXPECT_TRUE(SystemLines().empty());
}

TEST_F(AtasLinkTest, RepliesCompleteTheWaitingCommand) {
    Connect();
    EXPECT_EQ(Command("RESET\r", "ack\r"), kReplyAck);
    EXPECT_EQ(Command("RESET\r", "  nack  \r"), kReplyNack);
    // The reply arriving in one piece with other lines, keyword lines first.
    EXPECT_EQ(Command("RESET\r", "HB\rCBE\tack\rOPM\t1\t2\t9\t4\r\nACK\r"), kReplyAck);
    EXPECT_TRUE(Link().ExpectedReplies == ReplySlots{});
}

TEST_F(AtasLinkTest, KeywordLinesNeverAnswerACommand) {
    Connect();
    std::optional<std::int16_t> result;
    asio::co_spawn(
        io_,
        [&]() -> asio::awaitable<void> {
            result = co_await Link().SendATASCommand("X\r", "hb", "opm", "atas_ok", "cbe", 1);
        },
        asio::detached);
    ASSERT_TRUE(PeerGot("X\r"));
    PeerSend(" hb \rOPM\t1\rATAS_OK\rcbe\r");
    ASSERT_TRUE(RunUntil([&] { return result.has_value(); }));
    EXPECT_EQ(*result, kReplyNone);
}

TEST_F(AtasLinkTest, SilenceTimesOutAndALateReplyMatchesNothing) {
    Connect();
    settings_.CommandTimeout = 1;
    EXPECT_EQ(Command("ATE0\r"), kReplyNone);
    PeerSend("ack\r");
    EXPECT_EQ(Link().MatchedReply, kReplyNone);
    // A time-out of 0 sends and gives up at once.
    settings_.CommandTimeout = 0;
    EXPECT_EQ(Command("ATE1\r"), kReplyNone);
    EXPECT_TRUE(PeerGot("ATE1\r"));
}

TEST_F(AtasLinkTest, CommandOnAClosedLinkSendsNothing) {
    settings_.CommandTimeout = 1;
    EXPECT_EQ(Command("RESET\r"), kReplyNone);
    EXPECT_TRUE(TrafficLines(TagToATAS).empty());
}

TEST_F(AtasLinkTest, SecondCommandWaitsForTheFirstsResult) {
    Connect();
    std::vector<std::int16_t> results;
    for (const char* line : {"FIRST\r", "SECOND\r"}) {
        asio::co_spawn(
            io_,
            [&, line]() -> asio::awaitable<void> {
                results.push_back(co_await Link().SendCommand(line));
            },
            asio::detached);
    }
    ASSERT_TRUE(PeerGot("FIRST\r"));
    RunUntilIdle();
    EXPECT_EQ(PeerReceived(), "FIRST\r");  // held back
    EXPECT_TRUE(Link().CommandPending());
    PeerSend("nack\r");
    ASSERT_TRUE(PeerGot("FIRST\rSECOND\r"));
    PeerSend("ack\r");
    ASSERT_TRUE(RunUntil([&] { return results.size() == 2; }));
    EXPECT_THAT(results, ElementsAre(kReplyNack, kReplyAck));
    EXPECT_FALSE(Link().CommandPending());
}

TEST_F(AtasLinkTest, TerminalReadIsAnsweredWithUntrimmedFields) {
    Connect();
    PeerSend("opm\t4711\t 2001 \t1\t T1 \r");
    // The line as a whole loses its outer blanks; the fields keep theirs.
    EXPECT_TRUE(PeerGot("PA\t 2001 \t T1\r"));
}

TEST_F(AtasLinkTest, AcknowledgementStateTable) {
    Connect();
    auto same_terminal = Queue("A1", "E", "2001", "T1");
    auto any_terminal = Queue("A2", "E", "2001", "");
    auto other_terminal = Queue("A3", "E", "2001", "T9");
    auto other_destination = Queue("A4", "E", "2002", "T1");
    auto reported = Queue("A5", "E", "2001", "T1", MessageState::AckReported);
    reported->m_AckedByTerminalId = "T0";
    auto by_server = Queue("A6", "E", "2001", "", MessageState::AckedByAlarmServer);
    auto deleted = Queue("A7", "E", "2002", "", MessageState::Deleted);
    auto other_event = Queue("A8", "e", "2001", "T1");  // case counts

    PeerSend("OPM\tA2\t2001\t 2.0 \tT1\r");
    EXPECT_EQ(same_terminal->m_MessageState, MessageState::Acknowledged);
    EXPECT_EQ(same_terminal->m_AckedByTerminalId, "T1");
    EXPECT_EQ(any_terminal->m_MessageState, MessageState::Acknowledged);
    EXPECT_EQ(other_terminal->m_MessageState, MessageState::AcknowledgedElsewhere);
    EXPECT_EQ(other_destination->m_MessageState, MessageState::AcknowledgedElsewhere);
    EXPECT_EQ(reported->m_MessageState, MessageState::AcknowledgedAgain);
    EXPECT_EQ(reported->m_AckedByTerminalId, "T0");
    EXPECT_EQ(by_server->m_MessageState, MessageState::Acknowledged);
    EXPECT_EQ(deleted->m_MessageState, MessageState::AcknowledgedElsewhere);
    EXPECT_EQ(other_event->m_MessageState, MessageState::Pending);
    EXPECT_EQ(PeerReceived(), "");
}

TEST_F(AtasLinkTest, OtherCodesDoNothing) {
    Connect();
    auto entry = Queue("A1", "E", "2001");
    for (const char* code : {"3", "", "x2", "1.5"}) {
        PeerSend(std::string("OPM\tA1\t2001\t") + code + "\tT1\r");
    }
    EXPECT_EQ(entry->m_MessageState, MessageState::Pending);
    EXPECT_EQ(PeerReceived(), "");
}

TEST_F(AtasLinkTest, UnknownAlarmIsDeletedAndLogged) {
    Connect();
    Queue("A1", "E", "2001");
    PeerSend("OPM\tZZ\t2001\t2\tT1\r");
    EXPECT_TRUE(PeerGot("DA\tZZ\t2001\r"));
    EXPECT_THAT(SystemLines(),
                ElementsAre("Could not find AlarmId:ZZ (was deleted by queue cleaning?) when ack "
                            "from Destination: 2001, TermId: T1"));
}

TEST_F(AtasLinkTest, TextWithoutCrIsBoundedAndLinesStillWork) {
    Connect();
    PeerSend(std::string(AtasLink::kMaxReceiveBuffer + 1, 'x'));
    EXPECT_EQ(Link().ATASReceiveBuffer, "");
    EXPECT_THAT(SystemLines().back(), HasSubstr("ATAS receive buffer overflow"));
    EXPECT_EQ(Command("RESET\r", "ack\r"), kReplyAck);
}

TEST_F(AtasLinkTest, PeerCloseIsLogged) {
    Connect();
    peer_.close();
    ASSERT_TRUE(RunUntil([&] { return !Link().Connected(); }));
    EXPECT_THAT(SystemLines(), ElementsAre(StartsWith("ATAS socket was closed (127.0.0.1:")));
}

TEST_F(AtasLinkTest, ACommandGivesUpWhenItsLinkGoes) {
    // Neither the command that waits nor the one queued behind it sits out
    // the minute's time-out once the PBX has hung up.
    settings_.CommandTimeout = 60;
    Connect();
    std::vector<std::int16_t> results;
    for (const char* line : {"SA\tA1\r", "SA\tA2\r"}) {
        asio::co_spawn(
            io_,
            [&, line]() -> asio::awaitable<void> {
                results.push_back(co_await Link().SendCommand(line));
            },
            asio::detached);
    }
    ASSERT_TRUE(PeerGot("SA\tA1\r"));
    peer_.close();
    ASSERT_TRUE(RunUntil([&] { return results.size() == 2; }, std::chrono::seconds(10)));
    EXPECT_THAT(results, ElementsAre(kReplyNone, kReplyNone));
    EXPECT_FALSE(Link().CommandPending());
}

TEST_F(AtasLinkTest, RefusedConnectionIsLoggedAsError) {
    Link().SetRemote("127.0.0.1", acceptor_.local_endpoint().port());
    acceptor_.close();
    Link().StartConnect();
    ASSERT_TRUE(RunUntil([&] { return !SystemLines().empty(); }));
    EXPECT_THAT(SystemLines(), ElementsAre(StartsWith("ATAS socket was closed due to error (")));
    EXPECT_EQ(Link().State(), TcpSocket::sckClosed);
}

}  // namespace
}  // namespace kelvarix
