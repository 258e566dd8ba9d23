#include "queue/message_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "support/record.h"

namespace kelvarix {
namespace {

using std::chrono::seconds;
using Refs = std::vector<MessageRef>;
using test::MakeRecord;

const auto kStart = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);

Refs Walk(MessageQueue& queue) {
    Refs seen;
    std::uint64_t cursor = 0;
    while (MessageRef next = queue.next_actionable_after(cursor)) {
        seen.push_back(next);
        if (seen.size() > queue.size()) {
            ADD_FAILURE() << "the walk does not advance";
            break;
        }
    }
    return seen;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; });
    return text;
}

// Drives the queue with random appends (new records and records that left
// earlier), state changes and clean-ups, and compares every lookup with a
// plain list scanned from the oldest entry.
TEST(MessageQueue, AgreesWithALinearScanUnderRandomOperations) {
    MessageQueue queue;
    Refs model, gone;
    std::mt19937 random(4711);
    const std::string ids[] = {"A", "a", "B", "C", ""};
    const std::string tags[] = {"tag", "TAG", "Tag", "other", ""};
    const std::int16_t states[] = {0, 1, 2, 3, 4, 5, 100};
    const seconds max_age(20);
    seconds clock(0);
    auto pick = [&](const auto& from) { return from[random() % std::size(from)]; };

    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const unsigned op = random() % 10;
        if (op < 4) {
            clock += seconds(random() % 3);
            MessageRef m = MakeRecord(pick(ids), pick(ids), "", "", pick(tags));
            if (op == 0 && !gone.empty()) m = gone[random() % gone.size()];
            m->m_InsertedIntoQueueMonotonic = kStart + clock;
            if (random() % 4 == 0) m->m_MessageState = pick(states);
            ASSERT_TRUE(queue.append(m));
            std::erase(gone, m);
            model.push_back(m);
        } else if (op < 8 && !model.empty()) {
            queue.set_state(*model[random() % model.size()], pick(states));
        } else if (op == 8) {
            const auto now = kStart + clock + seconds(random() % 5);
            Refs due;
            std::erase_if(model, [&](const MessageRef& m) {
                const bool go = m->m_MessageState == MessageState::Deleted ||
                                m->m_InsertedIntoQueueMonotonic + max_age < now;
                if (go) due.push_back(m);
                return go;
            });
            ASSERT_EQ(queue.take_due(now, max_age), due);
            gone.insert(gone.end(), due.begin(), due.end());
        }

        ASSERT_EQ(queue.size(), model.size());
        for (const std::string& id : ids) {
            Refs of_event;
            MessageRef first_alarm, first_acked;
            for (const MessageRef& m : model) {
                if (m->m_EventId == id) {
                    of_event.push_back(m);
                    if (!first_acked && m->m_MessageState != MessageState::Pending) first_acked = m;
                }
                if (!first_alarm && m->m_AlarmId == id) first_alarm = m;
            }
            ASSERT_EQ(queue.entries_of_event(id), of_event);
            ASSERT_EQ(queue.first_with_alarm_id(id), first_alarm);
            ASSERT_EQ(queue.first_acknowledged_of_event(id), first_acked);
        }
        const std::string tag = pick(tags);
        Refs with_tag, actionable;
        for (const MessageRef& m : model) {
            if (Upper(m->m_Tag) == Upper(tag)) with_tag.push_back(m);
            if (NeedsPbxAction(m->m_MessageState)) actionable.push_back(m);
        }
        ASSERT_EQ(queue.entries_with_tag(tag), with_tag);
        ASSERT_EQ(Walk(queue), actionable);
        if (!gone.empty()) {
            ASSERT_FALSE(queue.contains(*gone.back()));
        }
    }
    EXPECT_EQ(queue.snapshot(), model);
}

// The supervisor waits for the PBX between entries; meanwhile acknowledgements
// change states and new alarms are queued.
TEST(MessageQueue, ActionableWalkSeesChangesMadeWhileItWaits) {
    using namespace MessageState;
    MessageQueue queue;
    const Refs m = {MakeRecord("a"), MakeRecord("b"), MakeRecord("c"), MakeRecord("d"),
                    MakeRecord("e")};
    const std::int16_t initial[] = {Pending, Acknowledged, Pending, AcknowledgedElsewhere,
                                    AckReported};
    for (std::size_t i = 0; i < m.size(); ++i) {
        m[i]->m_MessageState = initial[i];
        queue.append(m[i]);
    }
    std::uint64_t cursor = 0;
    EXPECT_EQ(queue.next_actionable_after(cursor), m[1]);
    queue.set_state(*m[0], Acknowledged);        // behind the cursor: the next walk
    queue.set_state(*m[2], AckedByAlarmServer);  // ahead: seen now
    queue.set_state(*m[3], Deleted);             // no longer needs action
    queue.set_state(*m[4], AcknowledgedAgain);
    const MessageRef late = MakeRecord("f");
    queue.append(late);
    queue.set_state(*m[1], AckReported);  // the supervisor's own step

    EXPECT_EQ(queue.next_actionable_after(cursor), m[2]);
    queue.set_state(*late, AcknowledgedElsewhere);
    EXPECT_EQ(queue.next_actionable_after(cursor), m[4]);
    EXPECT_EQ(queue.next_actionable_after(cursor), late);
    EXPECT_EQ(queue.next_actionable_after(cursor), nullptr);
    const std::uint64_t end = cursor;
    EXPECT_EQ(queue.next_actionable_after(cursor), nullptr);
    EXPECT_EQ(cursor, end);
    EXPECT_EQ(Walk(queue), (Refs{m[0], m[2], m[4], late}));
}

TEST(MessageQueue, RefusesWhatItCannotIndexAndIgnoresStrangers) {
    using namespace MessageState;
    MessageQueue queue, other;
    const MessageRef a = MakeRecord("a"), b = MakeRecord("b"), stranger = MakeRecord("a");
    EXPECT_FALSE(queue.append(nullptr));
    EXPECT_TRUE(queue.append(a));
    EXPECT_FALSE(queue.append(a));
    EXPECT_TRUE(queue.append(b));
    EXPECT_EQ(queue.entries_of_event("E"), (Refs{a, b}));
    other.append(stranger);  // a record of another queue only has its field set
    queue.set_state(*stranger, Deleted);
    EXPECT_EQ(stranger->m_MessageState, Deleted);
    EXPECT_FALSE(queue.contains(*stranger));
    // The state is a public field; a write that bypasses set_state must
    // neither make the supervisor act nor remove an entry.
    queue.set_state(*a, Acknowledged);
    a->m_MessageState = AckReported;
    queue.set_state(*b, Deleted);
    b->m_MessageState = AckReported;
    EXPECT_EQ(Walk(queue), Refs{});
    EXPECT_EQ(queue.take_due({}, seconds(600)), Refs{});  // not by age either
    EXPECT_EQ(queue.size(), 2u);
}

TEST(BufferedMessages, KeepsOrderAndRemovesByIdentityOnly) {
    BufferedMessages buffer;
    const MessageRef a = MakeRecord("a"), b = MakeRecord("b"), c = MakeRecord("c");
    EXPECT_EQ(buffer.pop_front(), nullptr);
    EXPECT_FALSE(buffer.push_back(nullptr));
    for (const MessageRef& m : {a, b, c}) ASSERT_TRUE(buffer.push_back(m));
    EXPECT_FALSE(buffer.push_back(a));
    EXPECT_EQ(buffer.size(), 3u);

    // While a is dispatched, the overflow rule drops it from the front.
    EXPECT_EQ(buffer.pop_front(), a);
    EXPECT_FALSE(buffer.remove(a));
    EXPECT_FALSE(buffer.remove(std::make_shared<cMessage>(*b)));  // equal is not the same
    EXPECT_EQ(buffer.size(), 2u);

    // Removal from behind the front keeps the order of the rest, and a record
    // may be both buffered and queued.
    MessageQueue queue;
    queue.append(c);
    const MessageRef d = MakeRecord("d");
    buffer.push_back(d);
    EXPECT_TRUE(buffer.remove(c));
    EXPECT_FALSE(buffer.remove(c));
    EXPECT_TRUE(queue.contains(*c));
    EXPECT_TRUE(buffer.push_back(a));
    EXPECT_TRUE(buffer.remove(b));
    EXPECT_EQ(buffer.front(), d);
    EXPECT_EQ(buffer.pop_front(), d);
    EXPECT_EQ(buffer.pop_front(), a);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.front(), nullptr);
}

}  // namespace
}  // namespace kelvarix
