// The alarm store on a real SQLite file: what one run of the gateway leaves in
// its collections is what the next run finds there.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

#include "host/temp_dir.h"
#include "platform/io_helpers.h"
#include "store/alarm_store.h"

namespace kelvarix {
namespace {

using namespace std::chrono_literals;

// One run of the gateway's collections on the store file in the folder.
struct StoreRun {
    StoreRun(const test::TempDir& folder, ManualClock& clock)
        : clock(clock),
          logger(clock, window, folder.path("")),
          store(io.get_executor(), folder.path("alarms.db"), logger, clock, queue, buffered) {
        store.Load();
    }
    ~StoreRun() { Settle(); }

    MessageRef Queue(const std::string& id) {
        auto record = Alarm(id);
        record->m_InsertedIntoQueueMonotonic = clock.monotonic();
        queue.append(record);
        return record;
    }
    MessageRef Hold(const std::string& id) {
        auto record = Alarm(id);
        buffered.push_back(record);
        return record;
    }
    static MessageRef Alarm(const std::string& id) {
        auto record = std::make_shared<cMessage>();
        record->m_Status = 3;
        record->m_System = 7;
        record->m_EventId = "E" + id;
        record->m_AlarmId = id;
        record->m_Destination = "2001";
        record->m_TerminalId = "T" + id;
        record->m_Message = "Fire " + id;
        record->m_Tag = "TAG-" + id;
        return record;
    }
    void Settle() {
        bool stored = false;
        store.WhenStored([&] { stored = true; });
        ASSERT_TRUE(test::RunUntil(io, [&] { return stored; }));
    }
    std::string Log() const {
        std::string log;
        for (const std::string& line : window.Lines()) log += line + "\n";
        return log;
    }
    // What the run found: the counts of its start line, the queue entries
    // with every field, their state, age in seconds and "?" when in doubt,
    // and the held-back alarms, "=q" when the record is the queued one.
    std::string Render() {
        const std::string log = Log();
        const auto loaded = log.find("loaded: ");
        std::string text = log.substr(loaded + 8, log.find('\n', loaded) - loaded - 8) + "; queue:";
        for (const MessageRef& r : queue.snapshot()) {
            const auto age = std::chrono::duration_cast<std::chrono::seconds>(
                clock.monotonic() - r->m_InsertedIntoQueueMonotonic);
            text += " " + DescribeMessage(*r) + r->m_Message + "/" + std::to_string(r->m_Status) +
                    std::to_string(r->m_System) + "/s" + std::to_string(r->m_MessageState) +
                    r->m_AckedByTerminalId + "/" + std::to_string(age.count()) + "s" +
                    (r->m_InDoubt ? "?" : "");
        }
        text += "; held:";
        for (MessageRef r; (r = buffered.pop_front());) {
            text += " " + r->m_AlarmId + (queue.contains(*r) ? "=q" : "");
        }
        return text;
    }

    ManualClock& clock;
    asio::io_context io;
    WindowList window;
    Logger logger;
    MessageQueue queue;
    BufferedMessages buffered;
    AlarmStore store;
};

std::string Queued(const std::string& id, const std::string& age) {
    return "(AlarmId: " + id + ", EventId: E" + id + ", Tag: TAG-" + id +
           ", Destination: 2001, TermId: T" + id + ")Fire " + id + "/37/s0/" + age;
}

TEST(AlarmStoreTest, EachRunFindsWhatTheRunBeforeLeft) {
    struct Case {
        const char* name;
        std::vector<std::function<void(StoreRun&)>> runs;  // then one more run renders
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"held-back alarms keep their order",
         {[](StoreRun& r) {
             r.Hold("A1");
             r.Hold("A2");
             r.Hold("A3");
         }},
         "0 queued, 3 held back, 0 in doubt; queue:; held: A1 A2 A3"},
        {"a queue entry keeps every field, its state and the terminal that acknowledged it",
         {[](StoreRun& r) {
             const auto a = r.Queue("A1");
             a->m_AckedByTerminalId = "T9";
             r.queue.set_state(*a, MessageState::Acknowledged);
         }},
         "1 queued, 0 held back, 0 in doubt; queue: (AlarmId: A1, EventId: EA1, Tag: TAG-A1, "
         "Destination: 2001, TermId: TA1)Fire A1/37/s1T9/0s; held:"},
        {"entries that leave the collections leave the store",
         {[](StoreRun& r) {
             r.queue.set_state(*r.Queue("A1"), MessageState::Deleted);
             r.Queue("A2");
             r.Hold("B1");
             r.Hold("B2");
             r.queue.take_due(r.clock.monotonic(), 600s);
             r.buffered.pop_front();
         }},
         "1 queued, 1 held back, 0 in doubt; queue: " + Queued("A2", "0s") + "; held: B2"},
        {"an alarm in doubt is held back again, after the held-back ones",
         {[](StoreRun& r) {
             r.queue.set_in_doubt(*r.Queue("A1"), true);
             r.Queue("A2");
             r.Hold("B1");
         }},
         "2 queued, 1 held back, 1 in doubt; queue: " + Queued("A1", "0s?") + " " +
             Queued("A2", "0s") + "; held: B1 A1=q"},
        {"a held-back alarm sent without an answer stays one record, queued in its turn",
         {[](StoreRun& r) {
             const auto b = r.Hold("B1");
             r.Queue("A1");
             r.Hold("B2");
             b->m_InsertedIntoQueueMonotonic = r.clock.monotonic();
             r.queue.append(b);
         }},
         "2 queued, 2 held back, 0 in doubt; queue: " + Queued("A1", "0s") + " " +
             Queued("B1", "0s") + "; held: B1=q B2"},
        {"ages count on across restarts, and so does the order",
         {[](StoreRun& r) {
              r.Queue("A1");
              r.Queue("A2");
          },
          [](StoreRun& r) {
              r.clock.advance(100s);
              r.queue.take_due(r.clock.monotonic(), 50s);
              r.Queue("A3");
              r.Queue("A4");
              r.clock.advance(5s);
          }},
         "2 queued, 0 held back, 0 in doubt; queue: " + Queued("A3", "5s") + " " +
             Queued("A4", "5s") + "; held:"},
        {"a calendar clock set back counts as age 0, and no entry is older than one before it",
         {[](StoreRun& r) {
              r.Queue("A1");
              r.Settle();
              r.clock.set_wall(r.clock.wall() - 20s);
              r.Queue("A2");
              r.clock.advance(5s);
          }},
         "2 queued, 0 held back, 0 in doubt; queue: " + Queued("A1", "0s") + " " +
             Queued("A2", "0s") + "; held:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir folder;
        ManualClock clock;
        for (const auto& steps : c.runs) {
            StoreRun run(folder, clock);
            steps(run);
        }
        EXPECT_EQ(StoreRun(folder, clock).Render(), c.expected);
    }
}

// A reply waits for the disk. A store that cannot be written is said once;
// the alarms stay and reach the file with the first change after it recovers.
TEST(AlarmStoreTest, RepliesWaitForTheDiskAndAFailingWriteIsSaidOnceAndRetried) {
    test::TempDir folder;
    ManualClock clock;
    const auto rows_on_disk = [&] {
        StoreFile reader;
        std::vector<AlarmRow> rows;
        EXPECT_EQ(reader.Open(folder.path("alarms.db")), "");
        EXPECT_EQ(reader.Load(rows), "");
        return rows.size();
    };
    StoreRun run(folder, clock);
    std::size_t seen = 0;
    run.Hold("A1");
    run.store.WhenStored([&] { seen = rows_on_disk(); });
    run.Settle();
    EXPECT_EQ(seen, 1u);

    sqlite3* other = nullptr;  // another program takes the write lock
    ASSERT_EQ(sqlite3_open(folder.path("alarms.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const char* id : {"A2", "A3"}) {
        run.Hold(id);
        run.Settle();
    }
    sqlite3_close_v2(other);
    run.Hold("A4");
    run.Settle();
    const std::string log = run.Log();
    EXPECT_EQ(log.find("could not be written (database is locked)"),
              log.rfind("could not be written")) << log;
    EXPECT_NE(log.find("is written again"), std::string::npos) << log;
    EXPECT_EQ(rows_on_disk(), 4u);
}

}  // namespace
}  // namespace kelvarix
