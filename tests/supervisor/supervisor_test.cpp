#include "supervisor/supervisor.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "../pbx/link_fixture.h"
#include "supervisor/session_setup.h"

namespace kelvarix {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class SupervisorTest : public testing::LinkFixture {
protected:
    Supervisor& Sup() {
        if (!supervisor_) {
            maintenance_ = std::make_unique<QueueMaintenance>(settings_, logger_, clock_, Link(),
                                                              Dispatcher(), queue_, buffered_);
            supervisor_ = std::make_unique<Supervisor>(io_.get_executor(), settings_, logger_,
                                                       clock_, Link(), *maintenance_);
            Link().SetRemote("127.0.0.1", acceptor_.local_endpoint().port());
        }
        return *supervisor_;
    }
    // One tick, then the event loop until the cycle it started has ended.
    void Tick() {
        Sup().Timer_System_Timer();
        ASSERT_TRUE(RunUntil([&] { return !Sup().CycleBusy; }, std::chrono::seconds(10)));
    }
    // Alarms held back while the link was down, oldest first.
    void Buffer(std::initializer_list<const char*> ids) {
        for (const char* id : ids) {
            auto m = std::make_shared<cMessage>();
            m->m_AlarmId = id;
            m->m_EventId = id;
            m->m_Destination = "2001";
            buffered_.push_back(m);
        }
    }
    // A connected link whose session set-up is done, as after a login.
    void Connected() {
        Sup();
        Connect();
        Link().MarkSessionSetUp();
    }
    // Answers every command line the peer gets from now on with `answer`
    // (heartbeats get none, as from a PBX) until `done`.
    bool AnswerUntil(const std::function<bool()>& done, std::string_view answer = "ack\r") {
        std::size_t seen = received_.size();  // what came before is no command of ours
        return RunUntil([&] {
            const std::string got = PeerReceived();
            for (std::size_t end; (end = got.find('\r', seen)) != std::string::npos; seen = end + 1) {
                if (got.compare(seen, end - seen, "HB") != 0) {
                    asio::write(peer_, asio::buffer(answer.data(), answer.size()));
                }
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

    BufferedMessages buffered_;
    std::unique_ptr<QueueMaintenance> maintenance_;
    std::unique_ptr<Supervisor> supervisor_;
};

TEST_F(SupervisorTest, ConnectTimeoutZeroFailsAtOnceAndRetriesEveryTick) {
    settings_.ConnectTimeout = 0;
    settings_.ReconnectInterval = 0;
    Tick();
    Tick();
    const std::string host = "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
    EXPECT_THAT(SystemLines(), ElementsAre("Connecting to " + host, "Failed to connect to " + host,
                                           "Connecting to " + host, "Failed to connect to " + host));
    EXPECT_FALSE(Link().Connected());
}

TEST_F(SupervisorTest, ReconnectWaitsTheIntervalInTicks) {
    settings_.ConnectTimeout = 0;
    settings_.ReconnectInterval = 1;  // ten ticks of 100 ms
    Tick();
    for (int i = 0; i < 9; ++i) Tick();
    EXPECT_EQ(SystemLines().size(), 2u);
    Tick();
    EXPECT_EQ(SystemLines().size(), 4u);
    EXPECT_EQ(Sup().ReconnectWait, 1000);
}

TEST_F(SupervisorTest, LoginThenSessionSetUp) {
    settings_.ConnectTimeout = 5;
    settings_.HeartbeatInterval = 60;
    settings_.ResetAlarmsAtConnect = true;
    settings_.SM_Read = "R";
    Sup().Timer_System_Timer();
    acceptor_.async_accept(peer_, [](const asio::error_code&) {});
    ASSERT_TRUE(RunUntil([&] { return peer_.is_open(); }));
    PeerSend("USERNAME:");
    ASSERT_TRUE(PeerGot("op1\r"));
    PeerSend("PASSWORD:");
    ASSERT_TRUE(PeerGot("secret\r"));
    PeerSend("ATAS_OK\r");
    ASSERT_TRUE(AnswerUntil([&] { return !Sup().CycleBusy; }));
    EXPECT_THAT(PeerLines(), ElementsAre("op1", "secret", "RESET", "ATE0", "HBC\t60", "SM\tR"));
    EXPECT_TRUE(Link().SessionSetUp());
    EXPECT_THAT(SystemLines(), Contains(StartsWith("Successfully connected to 127.0.0.1:")));
    EXPECT_THAT(SystemLines(), Contains("Successfully set heartbeat timeout (HBC) to 60 seconds"));
}

// Only the PBX's verdict ends the wait for the login early. A hang-up or a
// refused connection leaves the socket closed, and the attempt takes its
// ConnectTimeout all the same.
struct LoginWaitCase {
    const char* name;
    bool listening;           // false: the connection is refused
    const char* pbx_answer;   // to the user name; nullptr: the PBX hangs up
    bool ends_at_once;
    friend void PrintTo(const LoginWaitCase& c, std::ostream* out) { *out << c.name; }
};

class LoginWaitTest : public SupervisorTest, public ::testing::WithParamInterface<LoginWaitCase> {};

TEST_P(LoginWaitTest, OnlyTheVerdictEndsTheWaitEarly) {
    const LoginWaitCase& c = GetParam();
    settings_.ConnectTimeout = c.ends_at_once ? 30 : 2;
    Sup();
    if (!c.listening) acceptor_.close();
    Sup().Timer_System_Timer();
    if (c.listening) {
        acceptor_.async_accept(peer_, [](const asio::error_code&) {});
        ASSERT_TRUE(RunUntil([&] { return peer_.is_open(); }));
        PeerSend("USERNAME:");
        ASSERT_TRUE(PeerGot("op1\r"));
        if (c.pbx_answer != nullptr) PeerSend(c.pbx_answer); else peer_.close();
    }
    if (!c.ends_at_once) {
        // The close or error line is in: the link is gone, the attempt is not.
        ASSERT_TRUE(RunUntil([&] {
            const std::vector<std::string> lines = SystemLines();
            return std::any_of(lines.begin(), lines.end(),
                               [](const std::string& line) { return line.starts_with("ATAS socket was closed"); });
        }));
        RunUntilIdle();
        EXPECT_TRUE(Sup().CycleBusy);
    }
    ASSERT_TRUE(RunUntil([&] { return !Sup().CycleBusy; }, std::chrono::seconds(10)));
    EXPECT_THAT(SystemLines().back(), StartsWith("Failed to connect to 127.0.0.1:"));
}

INSTANTIATE_TEST_SUITE_P(Supervisor, LoginWaitTest,
                         ::testing::Values(LoginWaitCase{"RefusedLogin", true, "SORRY,", true},
                                           LoginWaitCase{"HangUp", true, nullptr, false},
                                           LoginWaitCase{"RefusedConnection", false, nullptr, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SetupCase {
    bool reset;
    int heartbeat;
    std::string read, acknowledge;
    std::vector<std::string> wire;
    std::string answer;
    std::vector<std::string> log;
};

TEST_F(SupervisorTest, SessionSetUpSequences) {
    const std::vector<SetupCase> cases = {
        {false, 0, "", "", {"ATE1"}, "ack\r",
         {"Turned on echo and turned off heartbeat using ATE1",
          "Set menu (SM) command was not sent (strings where empty)"}},
        {true, 60, "R", "A", {"RESET", "ATE0", "HBC\t60", "SM\tR\tA"}, "nack\r",
         {"Failed to reset all alarms using RESET",
          "Failed to turn off echo and turn on heartbeat using ATE0",
          "Failed to set heartbeat timeout (HBC) to 60 seconds", "Failed to set menu (SM)"}},
        {false, -5, "", "A", {"ATE1", "SM\t\tA"}, "ack\r",
         {"Turned on echo and turned off heartbeat using ATE1", "Successfully set menu (SM)"}},
        {false, 0, "R\tx", "", {"ATE1", "SM\tR x"}, "ack\r",
         {"Turned on echo and turned off heartbeat using ATE1", "Successfully set menu (SM)"}},
    };
    for (const SetupCase& c : cases) {
        settings_.ResetAlarmsAtConnect = c.reset;
        settings_.HeartbeatInterval = c.heartbeat;
        settings_.SM_Read = c.read;
        settings_.SM_Acknowledge = c.acknowledge;
        link_.reset();
        peer_ = asio::ip::tcp::socket(io_);
        received_.clear();
        window_.Clear();
        Connect();
        bool done = false;
        asio::co_spawn(
            io_,
            [&]() -> asio::awaitable<void> {
                co_await SetupATASSession(Link(), settings_, logger_);
                done = true;
            },
            asio::detached);
        ASSERT_TRUE(AnswerUntil([&] { return done; }, c.answer));
        EXPECT_EQ(PeerLines(), c.wire);
        EXPECT_EQ(SystemLines(), c.log);
    }
}

TEST_F(SupervisorTest, HeartbeatEveryQuarterInterval) {
    settings_.HeartbeatInterval = 60;
    Connected();
    for (int i = 0; i < 149; ++i) Tick();
    EXPECT_EQ(PeerReceived(), "");
    Tick();
    EXPECT_EQ(PeerReceived(), "HB\r");
    EXPECT_EQ(Sup().HeartbeatElapsed, 0);
}

TEST_F(SupervisorTest, NoHeartbeatWithoutInterval) {
    settings_.HeartbeatInterval = 0;
    Connected();
    for (int i = 0; i < 300; ++i) Tick();
    EXPECT_EQ(PeerReceived(), "");
    EXPECT_EQ(Sup().HeartbeatElapsed, 0);
}

TEST_F(SupervisorTest, TicksDuringAWaitOnlyCountHeartbeatTime) {
    settings_.HeartbeatInterval = 60;
    settings_.CommandTimeout = 5;
    Connected();
    Queue("A1", "E", "2001", "", MessageState::AcknowledgedElsewhere);
    Sup().Timer_System_Timer();  // starts the cycle, which sends DA and waits
    ASSERT_TRUE(PeerGot("DA\tA1\t2001\r"));
    const auto before = Sup().HeartbeatElapsed;
    Sup().Timer_System_Timer();
    Sup().Timer_System_Timer();
    EXPECT_EQ(Sup().HeartbeatElapsed, before + 200);
    EXPECT_TRUE(Sup().CycleBusy);
    PeerSend("ack\r");
    ASSERT_TRUE(RunUntil([&] { return !Sup().CycleBusy; }));
    EXPECT_THAT(PeerLines(), ElementsAre("DA\tA1\t2001"));  // sent once
}

TEST_F(SupervisorTest, QueueStatesAndTheirCommands) {
    namespace fs = std::filesystem;
    const fs::path scada = fs::temp_directory_path() / "kelvarix-scada-test.txt";
    fs::remove(scada);
    settings_.SendMCA = true;
    settings_.SCADAAckFile = scada.string();
    settings_.CommandTimeout = 1;
    Connected();
    auto acked = Queue("A1", "E1", "2001", "T1", MessageState::Acknowledged);
    acked->m_AckedByTerminalId = "T1";
    auto elsewhere = Queue("A2", "E1", "2002", "", MessageState::AcknowledgedElsewhere);
    auto again = Queue("A3", "E2", "2001", "", MessageState::AcknowledgedAgain);
    auto by_server = Queue("A4", "E3", "2001", "", MessageState::AckedByAlarmServer);
    auto reported = Queue("A5", "E4", "2001", "", MessageState::AckReported);
    auto pending = Queue("A6", "E5", "2001");

    // MCA refused still counts as sent; DA for A2 refused; A3 and A4 silent.
    Sup().Timer_System_Timer();
    ASSERT_TRUE(PeerGot("MCA\t2001\tT1\r"));
    PeerSend("nack\r");
    ASSERT_TRUE(PeerGot("DA\tA2\t2002\r"));
    PeerSend("nack\r");
    ASSERT_TRUE(RunUntil([&] { return !Sup().CycleBusy; }, std::chrono::seconds(10)));

    EXPECT_EQ(acked->m_MessageState, MessageState::AckReported);
    EXPECT_EQ(reported->m_MessageState, MessageState::AckReported);
    EXPECT_EQ(pending->m_MessageState, MessageState::Pending);
    EXPECT_EQ(queue_.size(), 3u);  // the four deleted ones left in the same tick
    EXPECT_THAT(PeerLines(), ElementsAre("MCA\t2001\tT1", "DA\tA2\t2002", "DA\tA3\t2001",
                                         "DA\tA4\t2001"));
    const auto lines = SystemLines();
    EXPECT_THAT(lines[0], StartsWith("Sent MCA to PBX (AlarmId: A1,"));
    EXPECT_THAT(lines[1], StartsWith("Deleted message from PBX (AlarmId: A2,"));
    EXPECT_THAT(lines[2], StartsWith("Failed to delete message from PBX (AlarmId: A3,"));
    EXPECT_THAT(lines[3], StartsWith("Failed to delete message from PBX (AlarmId: A4,"));
    EXPECT_THAT(lines[4], StartsWith("Removed old or deleted message from queue (AlarmId: A2,"));

    // The SCADA line is written once, never again for state 3.
    Tick();
    std::stringstream content;
    content << std::ifstream(scada, std::ios::binary).rdbuf();  // closed before the removal
    EXPECT_EQ(content.str(), "T\tA1\tE1\tT1\r\n");
    fs::remove(scada);
}

TEST_F(SupervisorTest, ScadaFileThatCannotBeAppendedIsLoggedOncePerRunOfFailures) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("kelvarix-scada-" + std::to_string(std::random_device{}()));
    settings_.SCADAAckFile = (folder / "scada.txt").string();
    Connected();
    const auto acknowledge = [&](std::initializer_list<const char*> ids) {
        for (const char* id : ids) Queue(id, id, "2001", "", MessageState::Acknowledged);
        Tick();
    };
    acknowledge({"A1", "A2"});
    acknowledge({"A3"});
    fs::create_directory(folder);
    acknowledge({"A4"});
    std::stringstream written;
    written << std::ifstream(settings_.SCADAAckFile, std::ios::binary).rdbuf();
    EXPECT_EQ(written.str(), "T\tA4\tA4\t\r\n");
    fs::remove_all(folder);
    acknowledge({"A5"});
    const auto logged = StartsWith("Could not append to SCADA acknowledgement file " + settings_.SCADAAckFile + " (");
    EXPECT_THAT(SystemLines(), ElementsAre(logged, logged));
}

TEST_F(SupervisorTest, McaSilenceIsAFailureButTheStateMovesOn) {
    settings_.SendMCA = true;
    settings_.CommandTimeout = 1;
    Connected();
    auto acked = Queue("A1", "E1", "2001", "T1", MessageState::Acknowledged);
    Tick();
    EXPECT_EQ(acked->m_MessageState, MessageState::AckReported);
    EXPECT_THAT(SystemLines(), ElementsAre(StartsWith("Failed to send MCA to PBX (AlarmId: A1,")));
}

TEST_F(SupervisorTest, WithoutMcaStateOneIsSilent) {
    Connected();
    auto acked = Queue("A1", "E1", "2001", "T1", MessageState::Acknowledged);
    Tick();
    EXPECT_EQ(acked->m_MessageState, MessageState::AckReported);
    EXPECT_EQ(PeerReceived(), "");
    EXPECT_TRUE(SystemLines().empty());
}

TEST_F(SupervisorTest, AgeLimitIsStrict) {
    settings_.QueueDeleteTime = 600;
    Connected();
    Queue("A1", "E1", "2001");
    Queue("A2", "E2", "2001");
    for (const MessageRef& m : queue_.snapshot()) m->m_InsertedIntoQueueMonotonic = clock_.monotonic();
    clock_.advance(std::chrono::seconds(600));
    Tick();
    EXPECT_EQ(queue_.size(), 2u);  // exactly at the limit: stays
    clock_.advance(std::chrono::seconds(1));
    Tick();
    EXPECT_EQ(queue_.size(), 0u);  // two adjacent due entries go in one pass
    EXPECT_EQ(SystemLines().size(), 2u);
}

TEST_F(SupervisorTest, QueueDeleteTimeAbove32767IsHonouredInFull) {
    settings_.QueueDeleteTime = 40000;  // a 16-bit count would wrap to a negative age
    Connected();
    Queue("A1", "E1", "2001");
    clock_.advance(std::chrono::seconds(32768));
    Tick();
    EXPECT_EQ(queue_.size(), 1u);
    clock_.advance(std::chrono::seconds(40000 - 32768 + 1));
    Tick();
    EXPECT_EQ(queue_.size(), 0u);
}

TEST_F(SupervisorTest, NegativeQueueDeleteTimeCountsAsZero) {
    settings_.QueueDeleteTime = -100;
    Connected();
    Queue("A1", "E1", "2001")->m_InsertedIntoQueueMonotonic = clock_.monotonic();
    Tick();
    EXPECT_EQ(queue_.size(), 1u);
    clock_.advance(std::chrono::seconds(1));
    Tick();
    EXPECT_EQ(queue_.size(), 0u);
}

TEST_F(SupervisorTest, BufferedAlarmsGoFirstOldestFirst) {
    settings_.HeartbeatInterval = 1;
    Connected();
    Buffer({"B1", "B2", "B3"});
    Queue("A1", "E1", "2001", "", MessageState::AckedByAlarmServer);
    Sup().HeartbeatElapsed = 1000;
    Sup().Timer_System_Timer();
    ASSERT_TRUE(AnswerUntil([&] { return !Sup().CycleBusy; }));
    EXPECT_THAT(PeerLines(), ElementsAre(StartsWith("SA\tB1"), StartsWith("SA\tB2"),
                                         StartsWith("SA\tB3"), "HB", "DA\tA1\t2001"));
    EXPECT_TRUE(buffered_.empty());
}

TEST_F(SupervisorTest, BufferedAlarmsStayWhenTheLinkDrops) {
    settings_.CommandTimeout = 60;
    Connected();
    Buffer({"B1", "B2"});
    Sup().Timer_System_Timer();
    ASSERT_TRUE(PeerGot("SA\tB1"));
    peer_.close();
    // The link went down before the PBX answered B1: it may never have got
    // there, so B1 stays first in line, and the cycle does not wait out the
    // minute's time-out on a link that is gone.
    ASSERT_TRUE(RunUntil([&] { return !Sup().CycleBusy; }, std::chrono::seconds(10)));
    ASSERT_EQ(buffered_.size(), 2u);
    EXPECT_EQ(buffered_.front()->m_AlarmId, "B1");
    EXPECT_EQ(queue_.size(), 1u);

    // Sent again on the next link, B1 keeps its one place in the queue.
    peer_ = asio::ip::tcp::socket(io_);
    received_.clear();
    Connect();
    Link().MarkSessionSetUp();
    Sup().Timer_System_Timer();
    ASSERT_TRUE(AnswerUntil([&] { return !Sup().CycleBusy && buffered_.empty(); }));
    EXPECT_THAT(PeerLines(), ElementsAre(StartsWith("SA\tB1"), StartsWith("SA\tB2")));
    EXPECT_EQ(queue_.size(), 2u);
}

TEST_F(SupervisorTest, BufferedAlarmRefusedOrUnansweredOnALiveLinkIsNotSentAgain) {
    settings_.CommandTimeout = 1;
    Connected();
    Buffer({"B1", "B2"});
    Sup().Timer_System_Timer();
    ASSERT_TRUE(PeerGot("SA\tB1"));
    PeerSend("nack\r");
    ASSERT_TRUE(PeerGot("SA\tB2"));  // B2 goes unanswered and times out
    ASSERT_TRUE(RunUntil([&] { return !Sup().CycleBusy; }));
    EXPECT_TRUE(buffered_.empty());
    EXPECT_THAT(PeerLines(), ElementsAre(StartsWith("SA\tB1"), StartsWith("SA\tB2")));
}

TEST_F(SupervisorTest, LogCleanupOnTheFirstTickAndOnANewDay) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "kelvarix-cleanup-test";
    fs::remove_all(folder);
    fs::create_directories(folder);
    Logger logger(clock_, window_, folder.string() + "/");
    settings_.LogFileDays = 30;
    settings_.ConnectTimeout = 0;
    settings_.ReconnectInterval = 1000;
    QueueMaintenance maintenance(settings_, logger, clock_, Link(), Dispatcher(), queue_, buffered_);
    Supervisor supervisor(io_.get_executor(), settings_, logger, clock_, Link(), maintenance);
    clock_.set({2012, 3, 15, 23, 59, 59});
    std::ofstream(folder / "2012-02-14.Log") << "x";
    supervisor.Timer_System_Timer();
    EXPECT_FALSE(fs::exists(folder / "2012-02-14.Log"));
    std::ofstream(folder / "2012-02-15.Log") << "x";
    supervisor.Timer_System_Timer();  // same day: no second run
    EXPECT_TRUE(fs::exists(folder / "2012-02-15.Log"));
    clock_.advance(std::chrono::seconds(1));  // midnight
    supervisor.Timer_System_Timer();
    EXPECT_FALSE(fs::exists(folder / "2012-02-15.Log"));
    RunUntil([&] { return !supervisor.CycleBusy; });
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kelvarix
