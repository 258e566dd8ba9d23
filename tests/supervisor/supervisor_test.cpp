#include "supervisor/supervisor.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>

#include "supervisor/session_setup.h"
#include "support/gateway_fixture.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class SupervisorTest : public test::LinkFixture {
  protected:
    // One tick, then the event loop until the cycle it started has ended.
    void Tick(std::int32_t interval = Supervisor::kTickInterval) {
        supervisor_.Timer_System_Timer(interval);
        ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    }
    // Lets the supervisor's next connect attempt reach a fresh peer socket.
    void AcceptNextAttempt() {
        peer_ = asio::ip::tcp::socket(io_);
        received_.clear();
        acceptor_.async_accept(peer_, [](const asio::error_code&) {});
        supervisor_.Timer_System_Timer();
        // Both ends: the link takes what the PBX sends only once it is connected.
        ASSERT_TRUE(RunUntil([&] { return peer_.is_open() && link_.Connected(); }));
    }
    // Answers each command line the peer gets from now on, as a PBX would
    // (a heartbeat gets no answer), until `done`.
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
    static asio::awaitable<bool> SetUpAndReport(AtasLink& link, const Settings& s, Logger& l) {
        co_await SetupATASSession(link, s, l);
        co_return true;
    }
    // Runs the session set-up on a fresh connection; what the PBX got.
    std::string SetUp(std::string_view answer) {
        window_.Clear();
        Connect();
        const auto done = Start(SetUpAndReport(link_, settings_, logger_));
        EXPECT_TRUE(AnswerUntil([&] { return done->has_value(); }, answer));
        return PeerReceived();
    }

    QueueMaintenance maintenance_{settings_,   logger_, clock_,   link_,
                                  dispatcher_, queue_,  buffered_};
    Supervisor supervisor_{io_.get_executor(), settings_, logger_, clock_, link_, maintenance_};
};

TEST_F(SupervisorTest, FailedAttemptsAreRetriedAfterTheReconnectInterval) {
    settings_.ConnectTimeout = 0;  // fails at once
    Tick();
    Tick();  // ReconnectInterval 0: the next tick tries again
    // Each attempt logs its start and its failure (their texts: the end-to-end runs).
    EXPECT_EQ(SystemLines().size(), 4u);

    settings_.ReconnectInterval = 1;  // ten ticks of 100 ms
    for (int i = 0; i < 10; ++i) Tick();
    EXPECT_EQ(SystemLines().size(), 6u);
    Tick();
    EXPECT_EQ(SystemLines().size(), 8u);
}

// Only the PBX's verdict ends the wait for the login early. A hang-up or a
// refused connection leaves the socket closed, and the attempt takes its
// ConnectTimeout all the same, so a PBX that is down is not tried in a loop.
TEST_F(SupervisorTest, OnlyTheLoginVerdictEndsTheAttemptEarly) {
    enum Fault { Refusal, HangUp, NobodyListens };
    // A hang-up and a failed connect each log their own close line.
    const auto closes = [&](Fault fault) {
        return std::ranges::count_if(SystemLines(), [&](const std::string& line) {
            return line.starts_with(fault == HangUp ? "ATAS socket was closed (127.0.0.1:"
                                                    : "ATAS socket was closed due to error (");
        });
    };
    for (const Fault fault : {Refusal, HangUp, NobodyListens}) {
        SCOPED_TRACE(fault);
        const auto closed_before = closes(fault);
        settings_.ConnectTimeout = fault == Refusal ? 30 : 1;
        if (fault == NobodyListens) {
            acceptor_.close();
            supervisor_.Timer_System_Timer();
        } else {
            AcceptNextAttempt();
            PeerSend(fault == Refusal ? "SORRY," : "USERNAME:");
            // Read first: unread data would turn the hang-up into a reset.
            if (fault == HangUp && PeerGot("op1\r")) peer_.close();
        }
        if (fault != Refusal) {
            // The link is gone (closed, not left in error), the attempt is not.
            ASSERT_TRUE(RunUntil([&] { return closes(fault) > closed_before; }));
            RunReady();
            EXPECT_EQ(link_.State(), TcpSocket::sckClosed);
            EXPECT_TRUE(supervisor_.CycleBusy);
        }
        ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }, std::chrono::seconds(5)));
        EXPECT_THAT(SystemLines().back(), StartsWith("Failed to connect to 127.0.0.1:"));
    }
}

TEST_F(SupervisorTest, SessionSetUpFollowsTheSettings) {
    EXPECT_EQ(SetUp("ack\r"), "ATE1\r");
    EXPECT_THAT(SystemLines(),
                ElementsAre("Turned on echo and turned off heartbeat using ATE1",
                            "Set menu (SM) command was not sent (strings where empty)"));
    settings_.ResetAlarmsAtConnect = true;
    settings_.HeartbeatInterval = 60;
    settings_.SM_Read = "R";
    settings_.SM_Acknowledge = "A";
    EXPECT_EQ(SetUp("nack\r"), "RESET\rATE0\rHBC\t60\rSM\tR\tA\r");
    EXPECT_THAT(SystemLines(),
                ElementsAre("Failed to reset all alarms using RESET",
                            "Failed to turn off echo and turn on heartbeat using ATE0",
                            "Failed to set heartbeat timeout (HBC) to 60 seconds",
                            "Failed to set menu (SM)"));
    settings_.HeartbeatInterval = 1;
    settings_.SM_Acknowledge = "";  // one field without an acknowledge string
    EXPECT_EQ(SetUp("ack\r"), "RESET\rATE0\rHBC\t1\rSM\tR\r");
    EXPECT_THAT(SystemLines(), ElementsAre("Successfully reset all alarms using RESET",
                                           "Turned off echo and turned on heartbeat using ATE0",
                                           "Successfully set heartbeat timeout (HBC) to 1 seconds",
                                           "Successfully set menu (SM)"));
}

TEST_F(SupervisorTest, AcknowledgedEntriesAreReportedOrDeletedOnThePbxAndInTheScadaFile) {
    const test::TempDir folder;
    settings_.SendMCA = true;
    settings_.SCADAAckFile = folder.path("scada.txt");
    settings_.CommandTimeout = 1;
    Connect();
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
    for (const auto& [line, answer] : {std::pair{"MCA\t2001\tT1\r", "nack\r"},
                                       {"DA\tA2\t2002\r", "ack\r"},
                                       {"DA\tA4\t2001\r", "nack\r"}}) {
        ASSERT_TRUE(PeerGot(line));
        PeerSend(answer);
    }
    ASSERT_TRUE(RunUntil([&] { return !supervisor_.CycleBusy; }));
    const std::string wire = PeerReceived();
    EXPECT_EQ(wire, "MCA\t2001\tT1\rDA\tA2\t2002\rDA\tA3\t2001\rDA\tA4\t2001\rMCA\t2001\tT2\r");
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

    // The SCADA line is written once; without MCA the state moves on silently.
    settings_.SendMCA = false;
    const auto quiet = Queued(test::MakeRecord("A8", "E7"), Acknowledged);
    Tick();
    EXPECT_EQ(quiet->m_MessageState, AckReported);
    EXPECT_EQ(SystemLines().size(), 8u);
    EXPECT_EQ(PeerReceived(), wire);
    EXPECT_EQ(folder.read("scada.txt"), "T\tA1\tE1\tT1\r\nT\tA5\tE4\t\r\nT\tA8\tE7\t\r\n");

    // A file that cannot be appended to is logged once per run of failures.
    settings_.SCADAAckFile = folder.path("missing/scada.txt");
    window_.Clear();
    const auto acknowledge = [&](std::initializer_list<const char*> ids) {
        for (const char* id : ids) Queued(test::MakeRecord(id, id), Acknowledged);
        Tick();
    };
    acknowledge({"B1", "B2"});
    acknowledge({"B3"});
    fs::create_directory(folder.path("missing"));
    acknowledge({"B4"});
    EXPECT_EQ(folder.read("missing/scada.txt"), "T\tB4\tB4\t\r\n");
    fs::remove_all(folder.path("missing"));
    acknowledge({"B5"});
    const auto logged = StartsWith("Could not append to SCADA acknowledgement file " +
                                   settings_.SCADAAckFile + " (");
    EXPECT_THAT(SystemLines(), ElementsAre(logged, logged));
}

TEST_F(SupervisorTest, EntriesLeaveStrictlyAfterQueueDeleteTime) {
    // A negative time counts as 0; one above 32767 is honoured in full.
    const std::pair<std::int32_t, std::int32_t> delete_time_and_last_second[] = {
        {600, 600}, {40000, 40000}, {-100, 0}};
    Connect();
    for (const auto& [delete_time, last_second] : delete_time_and_last_second) {
        SCOPED_TRACE(delete_time);
        settings_.QueueDeleteTime = delete_time;
        Queued(test::MakeRecord("A1"));
        clock_.advance(std::chrono::seconds(last_second));
        Tick();
        EXPECT_EQ(queue_.size(), 1u);
        clock_.advance(std::chrono::seconds(1));
        Tick();
        EXPECT_EQ(queue_.size(), 0u);
    }
}

// Held-back alarms go out right after the session's set-up, and first in
// each cycle on a live link, before the heartbeat. There a refusal (B1) or
// silence (B2) is the PBX's answer: the alarm is not held back again.
TEST_F(SupervisorTest, HeldBackAlarmsAndHeartbeatsOnALiveLink) {
    settings_.ConnectTimeout = 30;  // the verdict ends the wait, not the time-out
    settings_.CommandTimeout = 1;
    buffered_.push_back(test::MakeRecord("B0"));
    AcceptNextAttempt();
    PeerSend("USERNAME:");
    ASSERT_TRUE(PeerGot("op1\r"));
    PeerSend("PASSWORD:");
    ASSERT_TRUE(PeerGot("secret\r"));
    PeerSend("ATAS_OK\r");
    ASSERT_TRUE(AnswerUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_EQ(PeerReceived(), "op1\rsecret\rATE1\rSA\tB0\t2001\t\r");

    received_.clear();
    settings_.HeartbeatInterval = 1;
    for (const char* id : {"B1", "B2", "B3"}) buffered_.push_back(test::MakeRecord(id, id));
    Queued(test::MakeRecord("A1"), MessageState::AckedByAlarmServer);
    supervisor_.HeartbeatElapsed = 1000;
    supervisor_.Timer_System_Timer();
    ASSERT_TRUE(PeerGot("SA\tB1"));
    PeerSend("nack\r");
    ASSERT_TRUE(PeerGot("SA\tB2"));
    ASSERT_TRUE(AnswerUntil([&] { return !supervisor_.CycleBusy; }));
    EXPECT_EQ(PeerReceived(), "SA\tB1\t2001\t\rSA\tB2\t2001\t\rSA\tB3\t2001\t\rHB\rDA\tA1\t2001\r");
    EXPECT_TRUE(buffered_.empty());

    // A heartbeat every quarter HeartbeatInterval; at 0 none, and no time counted.
    received_.clear();
    Tick(249);
    EXPECT_EQ(PeerReceived(), "");
    Tick(1);
    EXPECT_EQ(PeerReceived(), "HB\r");
    EXPECT_EQ(supervisor_.HeartbeatElapsed, 0);
    settings_.HeartbeatInterval = 0;
    Tick(30000);
    EXPECT_EQ(PeerReceived(), "HB\r");
    EXPECT_EQ(supervisor_.HeartbeatElapsed, 0);
}

// Each day's first tick removes both files of the days more than LogFileDays
// old (ages in 30-day months), and only files named as the logger names them.
TEST_F(SupervisorTest, LogCleanupOnEachDaysFirstTickRemovesOldDaysOnly) {
    const test::TempDir folder;
    const auto exists = [&](const char* name) { return fs::exists(folder.path(name)); };
    Logger logger(clock_, window_, folder.path(""));
    settings_.LogFileDays = 30;
    settings_.ConnectTimeout = 0;
    settings_.ReconnectInterval = 1000;
    Supervisor supervisor(io_.get_executor(), settings_, logger, clock_, link_, maintenance_);
    clock_.set({2012, 3, 15, 23, 59, 59});
    for (const char* name : {"2012-02-14.Log", "2012-02-14.Dbg", "2012-02-15.Log",
                             "2012-01-01.dbg",  // traffic file without its system file
                             "ABCD-01-01.log", "2012-01-011.log"}) {
        folder.write(name, "x");
    }
    fs::create_directory(folder.path("2011-01-01.Log"));  // not an ordinary file
    fs::permissions(folder.path("2012-02-14.Dbg"), fs::perms::owner_read);
    supervisor.Timer_System_Timer();
    for (const char* gone : {"2012-02-14.Log", "2012-02-14.Dbg", "2012-01-01.dbg"}) {
        EXPECT_FALSE(exists(gone)) << gone;
    }
    for (const char* kept :
         {"2012-02-15.Log", "ABCD-01-01.log", "2012-01-011.log", "2011-01-01.Log"}) {
        EXPECT_TRUE(exists(kept)) << kept;
    }
    const std::string log = folder.read("2012-03-15.Log");
    for (const char* day : {"2012-02-14", "2012-01-01"}) {
        EXPECT_THAT(log,
                    HasSubstr("Performed Log File Cleanup (killed " + folder.path(day) + ".LOG)"));
    }
    for (const char* day : {"2012-02-15", "2011-01-01"}) EXPECT_THAT(log, Not(HasSubstr(day)));
    folder.write("2012-02-14.Log", "x");
    supervisor.Timer_System_Timer();  // the same day: no second run
    EXPECT_TRUE(exists("2012-02-14.Log"));
    // At midnight: today's files stay at 0 days, yesterday's go.
    settings_.LogFileDays = 0;
    clock_.advance(std::chrono::seconds(1));
    folder.write("2012-03-16.Dbg", "x");
    supervisor.Timer_System_Timer();
    EXPECT_FALSE(exists("2012-03-15.Log"));
    EXPECT_TRUE(exists("2012-03-16.Dbg"));
    ASSERT_TRUE(RunUntil([&] { return !supervisor.CycleBusy; }));
}

}  // namespace
}  // namespace kelvarix
