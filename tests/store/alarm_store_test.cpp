// The alarm store on a real SQLite file: what one run of the gateway leaves in
// its collections is what the next run finds there.
#include "store/alarm_store.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/io_helpers.h"
#include "support/record.h"
#include "support/temp_dir.h"

namespace kelvarix {
namespace {

using namespace std::chrono_literals;

// One run of the gateway's collections on the store in the folder.
struct StoreRun {
    StoreRun(const test::TempDir& folder, ManualClock& clock)
        : clock(clock),
          logger(clock, window, folder.path("")),
          store(io.get_executor(), folder.path("alarms.db"), logger, clock, queue, buffered) {
        store.Load();
    }
    ~StoreRun() {  // every change on the disk before the next run
        bool stored = false;
        store.WhenStored([&] { stored = true; });
        EXPECT_TRUE(test::RunUntil(io, [&] { return stored; }));
    }
    MessageRef Alarm(const std::string& id, bool queued) {
        auto r = Record(id);
        r->m_InsertedIntoQueueMonotonic = clock.monotonic();
        queued ? queue.append(r) : buffered.push_back(r);
        return r;
    }
    static MessageRef Record(const std::string& id) {  // every field told apart
        auto r = test::MakeRecord(id, "E" + id, "2001", "T" + id, "TAG-" + id);
        r->m_Status = 3, r->m_System = 7, r->m_Message = "Fire " + id;
        r->m_InsertedIntoQueueTimeStamp.minute = 59;  // kept for whoever reads the store
        return r;
    }
    static std::string Fields(const cMessage& r) {
        return DescribeMessage(r) + r.m_Message + std::to_string(r.m_Status * 10 + r.m_System) +
               std::to_string(r.m_InsertedIntoQueueTimeStamp.minute);
    }
    // The start line's counts; each queue entry as id/state and acknowledging
    // terminal/age in seconds ("!" a field came back changed, "?" in doubt);
    // the held-back alarms ("=q" the record is the queued one itself).
    std::string Found() {
        std::string text = window.Lines().back().substr(window.Lines().back().find("loaded: ") + 8);
        for (const MessageRef& r : queue.snapshot()) {
            const auto age = clock.monotonic() - r->m_InsertedIntoQueueMonotonic;
            text += " " + r->m_AlarmId +
                    (Fields(*r) == Fields(*Record(r->m_AlarmId)) ? "/" : "!/") +
                    std::to_string(r->m_MessageState) + r->m_AckedByTerminalId + "/" +
                    std::to_string(age / 1s) + (r->m_InDoubt ? "?" : "");
        }
        text += "; held:";
        while (const MessageRef r = buffered.pop_front()) {
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

TEST(AlarmStoreTest, EachRunFindsWhatTheRunBeforeLeft) {
    struct Case {
        const char* name;
        std::vector<std::function<void(StoreRun&)>> runs;  // then one more run tells
        std::string found;
    };
    const std::vector<Case> cases = {
        {"entries keep order, fields, state, acknowledging terminal; those that left are gone",
         {[](StoreRun& r) {
              r.Alarm("B1", false), r.Alarm("B2", false), r.Alarm("B3", false);
              r.Alarm("A1", true), r.Alarm("A2", true);
          },
          [](StoreRun& r) {
              const auto queued = r.queue.snapshot();
              r.queue.set_state(*queued[0], MessageState::Deleted);
              queued[1]->m_AckedByTerminalId = "T9";
              r.queue.set_state(*queued[1], MessageState::Acknowledged);
              r.queue.take_due(r.clock.monotonic(), 600s);
              r.buffered.pop_front();
          }},
         "1 queued, 2 held back, 0 in doubt A2/1T9/0; held: B2 B3"},
        {"an alarm in doubt is held back again after the others; a held-back one sent without "
         "an answer stays one record, queued in its turn",
         {[](StoreRun& r) {
             const auto b1 = r.Alarm("B1", false);
             r.queue.set_in_doubt(*r.Alarm("A1", true), true);
             r.Alarm("A2", true);
             r.queue.append(b1);
         }},
         "3 queued, 1 held back, 1 in doubt A1/0/0? A2/0/0 B1/0/0; held: B1=q A1=q"},
        {"ages go on across restarts, and so does the order",
         {[](StoreRun& r) { r.Alarm("A1", true), r.Alarm("A2", true); },
          [](StoreRun& r) {
              r.clock.advance(100s);
              r.queue.take_due(r.clock.monotonic(), 50s);
              r.Alarm("A3", true), r.Alarm("A4", true);
              r.clock.advance(5s);
          }},
         "2 queued, 0 held back, 0 in doubt A3/0/5 A4/0/5; held:"},
        {"a calendar clock set back gives age 0, and no entry is older than one before it",
         {[](StoreRun& r) { r.Alarm("A1", true); },
          [](StoreRun& r) {
              r.clock.set_wall(r.clock.wall() - 20s);
              r.Alarm("A2", true);
              r.clock.advance(5s);
          }},
         "2 queued, 0 held back, 0 in doubt A1/0/0 A2/0/0; held:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir folder;
        ManualClock clock;
        for (const auto& steps : c.runs) {
            StoreRun run(folder, clock);
            steps(run);
        }
        EXPECT_EQ(StoreRun(folder, clock).Found(), c.found);
    }
}

}  // namespace
}  // namespace kelvarix
