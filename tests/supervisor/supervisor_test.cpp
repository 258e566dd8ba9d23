#include "supervisor/supervisor.h"

#include <gmock/gmock.h>

#include <sstream>

#include "supervisor/session_setup.h"
#include "support/gateway_fixture.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class SupervisorTest : public test::LinkFixture {
  protected:
    // One tick, then the event loop until the cycle it started has ended.
    void Tick(std::int32_t interval = Supervisor::kTickInterval) {
        supervisor_.Timer_System_Timer(interval);
        ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    }
    // A link whose login and session set-up are done.
    void Connected() {
        Connect();
        link_.MarkSessionSetUp();
    }
    // Alarms held back while the link was down, oldest first.
    void Buffer(std::initializer_list<const char*> ids) {
        for (const char* id : ids) buffered_.push_back(test::MakeRecord(id, id));
    }
    // Answers every command line the peer gets from now on (heartbeats get
    // none, as from a PBX) until `done`.
    bool AnswerUntil(const std::function<bool()>& done, std::string_view answer = "ack\r") {
        std::size_t seen = received_.size();
        return RunUntil([&] {
            const std::string got = PeerReceived();
            for (std::size_t end; (end = got.find('\r', seen)) != std::string::npos;
                 seen = end + 1) {
                if (got.compare(seen, end - seen, "HB") != 0) PeerSend(answer);
            }
            return done();
        });
    }
    std::vector<std::string> PeerLines() {
        std::vector<std::string> lines;
        std::stringstream in(PeerReceived());
        for (std::string line; std::getline(in, line, '\r');) lines.push_back(line);
        return lines;
    }
    // Lets the supervisor's next connect attempt reach the peer socket.
    void AcceptNextAttempt() {
        peer_ = asio::ip::tcp::socket(io_);
        received_.clear();
        acceptor_.async_accept(peer_, [](const asio::error_code&) {});
        supervisor_.Timer_System_Timer();
        ASSERT_TRUE(RunUntil([&] { return peer_.is_open(); }));
    }

    QueueMaintenance maintenance_{settings_,   logger_, clock_,   link_,
                                  dispatcher_, queue_,  buffered_};
    Supervisor supervisor_{io_.get_executor(), settings_, logger_, clock_, link_, maintenance_};
};

TEST_F(SupervisorTest, FailedAttemptsAreRetriedAfterTheReconnectInterval) {
    settings_.ConnectTimeout = 0;  // fails at once
    Tick();
    Tick();  // ReconnectInterval 0: the next tick tries again
    const std::string host = "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
    EXPECT_THAT(SystemLines(),
                ElementsAre("Connecting to " + host, "Failed to connect to " + host,
                            "Connecting to " + host, "Failed to connect to " + host));
    settings_.ReconnectInterval = 1;  // ten ticks of 100 ms
    Tick();
    for (int i = 0; i < 9; ++i) Tick();
    EXPECT_EQ(SystemLines().size(), 6u);
    Tick();
    EXPECT_EQ(SystemLines().size(), 8u);
    EXPECT_FALSE(link_.Connected());
}

TEST_F(SupervisorTest, LoginSetsUpTheSessionThenSendsTheHeldBackAlarms) {
    settings_.ConnectTimeout = 5;
    settings_.HeartbeatInterval = 60;
    settings_.SM_Read = "R";
    Buffer({"B1"});
    AcceptNextAttempt();
    PeerSend("USERNAME:");
    ASSERT_TRUE(PeerGot("op1\r"));
    PeerSend("PASSWORD:");
    ASSERT_TRUE(PeerGot("secret\r"));
    PeerSend("ATAS_OK\r");
    ASSERT_TRUE(AnswerUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_THAT(PeerLines(),
                ElementsAre("op1", "secret", "ATE0", "HBC\t60", "SM\tR", StartsWith("SA\tB1\t")));
    EXPECT_TRUE(link_.SessionSetUp());
    EXPECT_THAT(SystemLines(), Contains(StartsWith("Successfully connected to 127.0.0.1:")));
}

TEST_F(SupervisorTest, RefusedLoginOrHangUpEndsTheAttemptEarly) {
    settings_.ConnectTimeout = 30;
    for (const bool refuse : {true, false}) {
        AcceptNextAttempt();
        PeerSend(refuse ? "SORRY," : "USERNAME:");
        if (!refuse) peer_.close();  // during the login
        ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
        EXPECT_THAT(SystemLines().back(), StartsWith("Failed to connect to 127.0.0.1:"));
    }
}

TEST_F(SupervisorTest, SessionSetUpSequences) {
    struct Case {
        bool reset;
        int heartbeat;
        std::string read, acknowledge, answer;
        std::vector<std::string> wire, log;
    };
    const Case cases[] = {
        {false,
         0,
         "",
         "",
         "ack\r",
         {"ATE1"},
         {"Turned on echo and turned off heartbeat using ATE1",
          "Set menu (SM) command was not sent (strings where empty)"}},
        {true,
         60,
         "R",
         "A",
         "nack\r",
         {"RESET", "ATE0", "HBC\t60", "SM\tR\tA"},
         {"Failed to reset all alarms using RESET",
          "Failed to turn off echo and turn on heartbeat using ATE0",
          "Failed to set heartbeat timeout (HBC) to 60 seconds", "Failed to set menu (SM)"}},
        {true,
         1,
         "",
         "A",
         "ack\r",
         {"RESET", "ATE0", "HBC\t1", "SM\t\tA"},
         {"Successfully reset all alarms using RESET",
          "Turned off echo and turned on heartbeat using ATE0",
          "Successfully set heartbeat timeout (HBC) to 1 seconds", "Successfully set menu (SM)"}},
        {false,
         -5,
         "R\tx",
         "",
         "nack\r",
         {"ATE1", "SM\tR x"},
         {"Failed to turn on echo and turn off heartbeat using ATE1", "Failed to set menu (SM)"}},
    };
    for (const Case& c : cases) {
        settings_.ResetAlarmsAtConnect = c.reset;
        settings_.HeartbeatInterval = c.heartbeat;
        settings_.SM_Read = c.read;
        settings_.SM_Acknowledge = c.acknowledge;
        window_.Clear();
        Connect();
        bool done = false;
        asio::co_spawn(
            io_,
            [&]() -> asio::awaitable<void> {
                co_await SetupATASSession(link_, settings_, logger_);
                done = true;
            },
            asio::detached);
        ASSERT_TRUE(AnswerUntil([&] { return done; }, c.answer));
        EXPECT_EQ(PeerLines(), c.wire);
        EXPECT_EQ(SystemLines(), c.log);
    }
}

TEST_F(SupervisorTest, HeartbeatEveryQuarterIntervalCountedAlsoDuringAWait) {
    settings_.HeartbeatInterval = 60;
    Connected();
    Tick(14900);
    EXPECT_EQ(PeerReceived(), "");
    Tick(100);
    EXPECT_EQ(PeerReceived(), "HB\r");
    EXPECT_EQ(supervisor_.HeartbeatElapsed, 0);

    // Ticks while the cycle waits for the PBX count heartbeat time only.
    Queued(test::MakeRecord("A1"), MessageState::AcknowledgedElsewhere);
    supervisor_.Timer_System_Timer();
    ASSERT_TRUE(PeerGot("DA\tA1\t2001\r"));
    supervisor_.Timer_System_Timer();
    supervisor_.Timer_System_Timer();
    EXPECT_EQ(supervisor_.HeartbeatElapsed, 300);
    EXPECT_TRUE(supervisor_.CycleBusy);
    PeerSend("ack\r");
    ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_THAT(PeerLines(), ElementsAre("HB", "DA\tA1\t2001"));  // sent once

    settings_.HeartbeatInterval = 0;
    Tick(30000);
    EXPECT_THAT(PeerLines(), ElementsAre("HB", "DA\tA1\t2001"));
    EXPECT_EQ(supervisor_.HeartbeatElapsed, 300);  // not counted without an interval
}

TEST_F(SupervisorTest, AcknowledgedEntriesAreReportedOrDeletedOnThePbx) {
    const test::TempDir folder;
    settings_.SendMCA = true;
    settings_.SCADAAckFile = folder.path("scada.txt");
    settings_.CommandTimeout = 1;
    Connected();
    using namespace MessageState;
    const auto acked = Queued(test::MakeRecord("A1", "E1", "2001", "T1"), Acknowledged);
    acked->m_AckedByTerminalId = "T1";
    Queued(test::MakeRecord("A2", "E1", "2002"), AcknowledgedElsewhere);
    Queued(test::MakeRecord("A3", "E2"), AcknowledgedAgain);
    Queued(test::MakeRecord("A4", "E3"), AckedByAlarmServer);
    const auto silent = Queued(test::MakeRecord("A5", "E4", "2001", "T2"), Acknowledged);
    const auto reported = Queued(test::MakeRecord("A6", "E5"), AckReported);
    const auto pending = Queued(test::MakeRecord("A7", "E6"));

    // A refusal counts as an answer; silence (A3, A5) as a failure.
    supervisor_.Timer_System_Timer();
    const std::pair<const char*, const char*> answers[] = {
        {"MCA\t2001\tT1\r", "nack\r"}, {"DA\tA2\t2002\r", "ack\r"}, {"DA\tA4\t2001\r", "nack\r"}};
    for (const auto& [line, answer] : answers) {
        ASSERT_TRUE(PeerGot(line));
        PeerSend(answer);
    }
    ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_THAT(PeerLines(), ElementsAre("MCA\t2001\tT1", "DA\tA2\t2002", "DA\tA3\t2001",
                                         "DA\tA4\t2001", "MCA\t2001\tT2"));
    EXPECT_THAT(SystemLines(),
                ElementsAre(StartsWith("Sent MCA to PBX (AlarmId: A1,"),
                            StartsWith("Deleted message from PBX (AlarmId: A2,"),
                            StartsWith("Failed to delete message from PBX (AlarmId: A3,"),
                            StartsWith("Deleted message from PBX (AlarmId: A4,"),
                            StartsWith("Failed to send MCA to PBX (AlarmId: A5,"),
                            StartsWith("Removed old or deleted message from queue (AlarmId: A2,"),
                            StartsWith("Removed old or deleted message from queue (AlarmId: A3,"),
                            StartsWith("Removed old or deleted message from queue (AlarmId: A4,")));
    EXPECT_EQ(queue_.snapshot(), (std::vector<MessageRef>{acked, silent, reported, pending}));
    EXPECT_EQ(acked->m_MessageState, AckReported);
    EXPECT_EQ(silent->m_MessageState, AckReported);
    EXPECT_EQ(pending->m_MessageState, Pending);

    // The SCADA line is written once; without MCA the state moves on silently.
    settings_.SendMCA = false;
    const auto quiet = Queued(test::MakeRecord("A8", "E7", "2001", "T3"), Acknowledged);
    Tick();
    EXPECT_EQ(quiet->m_MessageState, AckReported);
    EXPECT_EQ(PeerLines().size(), 5u);
    EXPECT_EQ(SystemLines().size(), 8u);
    EXPECT_EQ(folder.read("scada.txt"), "T\tA1\tE1\tT1\r\nT\tA5\tE4\t\r\nT\tA8\tE7\t\r\n");
}

TEST_F(SupervisorTest, EntriesLeaveStrictlyAfterQueueDeleteTime) {
    struct Case {
        std::int32_t delete_time, stays_at;
    };
    // A negative time counts as 0; one above 32767 is honoured in full.
    const Case cases[] = {{600, 600}, {40000, 40000}, {-100, 0}};
    Connected();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.delete_time);
        settings_.QueueDeleteTime = c.delete_time;
        Queued(test::MakeRecord("A1"));
        clock_.advance(std::chrono::seconds(c.stays_at));
        Tick();
        EXPECT_EQ(queue_.size(), 1u);
        clock_.advance(std::chrono::seconds(1));
        Tick();
        EXPECT_EQ(queue_.size(), 0u);
    }
}

TEST_F(SupervisorTest, HeldBackAlarmsGoFirstOldestFirst) {
    settings_.HeartbeatInterval = 1;
    Connected();
    Buffer({"B1", "B2", "B3"});
    Queued(test::MakeRecord("A1"), MessageState::AckedByAlarmServer);
    supervisor_.HeartbeatElapsed = 1000;
    supervisor_.Timer_System_Timer();
    ASSERT_TRUE(AnswerUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_THAT(PeerLines(), ElementsAre(StartsWith("SA\tB1"), StartsWith("SA\tB2"),
                                         StartsWith("SA\tB3"), "HB", "DA\tA1\t2001"));
    EXPECT_TRUE(buffered_.empty());
}

TEST_F(SupervisorTest, HeldBackAlarmStaysWhenTheLinkDropsBeforeTheAnswer) {
    settings_.CommandTimeout = 60;
    Connected();
    Buffer({"B1", "B2"});
    supervisor_.Timer_System_Timer();
    ASSERT_TRUE(PeerGot("SA\tB1"));
    peer_.close();
    // B1 may never have reached the PBX: it stays first in line, and the
    // cycle does not wait out the minute's time-out on a link that is gone.
    ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    ASSERT_EQ(buffered_.size(), 2u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "B1");

    // Sent again on the next link, B1 keeps its one place in the queue. On a
    // live link a refusal or silence is the PBX's answer: B2 is not sent again.
    settings_.CommandTimeout = 1;
    Connected();
    supervisor_.Timer_System_Timer();
    ASSERT_TRUE(PeerGot("SA\tB1"));
    PeerSend("nack\r");
    ASSERT_TRUE(PeerGot("SA\tB2"));
    ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_TRUE(buffered_.empty());
    EXPECT_THAT(PeerLines(), ElementsAre(StartsWith("SA\tB1"), StartsWith("SA\tB2")));
    EXPECT_EQ(queue_.size(), 2u);
}

TEST_F(SupervisorTest, LogCleanupOnTheFirstTickAndOnANewDay) {
    const test::TempDir folder;
    Logger logger(clock_, window_, folder.path(""));
    settings_.LogFileDays = 30;
    settings_.ConnectTimeout = 0;
    settings_.ReconnectInterval = 1000;
    Supervisor supervisor(io_.get_executor(), settings_, logger, clock_, link_, maintenance_);
    clock_.set({2012, 3, 15, 23, 59, 59});
    folder.write("2012-02-14.Log", "x");
    supervisor.Timer_System_Timer();
    EXPECT_EQ(folder.read("2012-02-14.Log"), "");
    folder.write("2012-02-15.Log", "x");
    supervisor.Timer_System_Timer();  // the same day: no second run
    EXPECT_EQ(folder.read("2012-02-15.Log"), "x");
    clock_.advance(std::chrono::seconds(1));  // midnight
    supervisor.Timer_System_Timer();
    EXPECT_EQ(folder.read("2012-02-15.Log"), "");
    ASSERT_TRUE(RunUntil([&] { return !supervisor.CycleBusy; }));
}

}  // namespace
}  // namespace kelvarix
