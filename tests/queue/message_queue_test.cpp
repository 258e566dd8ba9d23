#include "queue/message_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace kelvarix {
namespace {

using std::chrono::seconds;
using Time = std::chrono::steady_clock::time_point;
using Refs = std::vector<MessageRef>;

const Time kStart = Time{} + std::chrono::hours(1);

MessageRef Record(std::string alarm, std::string event, std::string tag = {},
                  seconds at = seconds(0), std::int16_t state = MessageState::Pending) {
    auto message = std::make_shared<cMessage>();
    message->m_AlarmId = std::move(alarm);
    message->m_EventId = std::move(event);
    message->m_Tag = std::move(tag);
    message->m_InsertedIntoQueueMonotonic = kStart + at;
    message->m_MessageState = state;
    return message;
}

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

TEST(MessageQueue, LookupsFindTheOldestMatchAndOnlyTagsIgnoreCase) {
    MessageQueue queue;
    const MessageRef a = Record("A1", "E1", "abc");
    const MessageRef b = Record("A1", "E1", "ABC");
    const MessageRef c = Record("a1", "e1", "Abd");
    const MessageRef d = Record("A2", "E1", "");
    const MessageRef e = Record("A9", "E9", "CAF\xC9 \xDE\x9F\x8A\x8C\x8E \xF7\xB5\xDF");  // CAFÉ ÞŸŠŒŽ ÷µß
    for (const MessageRef& m : {a, b, c, d, e}) {
        ASSERT_TRUE(queue.append(m));
    }
    EXPECT_EQ(queue.size(), 5u);

    EXPECT_EQ(queue.first_with_alarm_id("A1"), a);
    EXPECT_EQ(queue.first_with_alarm_id("a1"), c);
    EXPECT_EQ(queue.first_with_alarm_id("A2"), d);
    EXPECT_EQ(queue.first_with_alarm_id("A3"), nullptr);
    EXPECT_EQ(queue.first_with_alarm_id("A1 "), nullptr);

    EXPECT_EQ(queue.entries_of_event("E1"), (Refs{a, b, d}));
    EXPECT_EQ(queue.entries_of_event("e1"), (Refs{c}));
    EXPECT_EQ(queue.entries_of_event("E2"), Refs{});

    EXPECT_EQ(queue.entries_with_tag("abc"), (Refs{a, b}));
    EXPECT_EQ(queue.entries_with_tag("aBC"), (Refs{a, b}));
    EXPECT_EQ(queue.entries_with_tag("ABD"), (Refs{c}));
    EXPECT_EQ(queue.entries_with_tag(""), (Refs{d}));
    EXPECT_EQ(queue.entries_with_tag("ab"), Refs{});
    // Tags ignore the case of every Windows-1252 letter; ÷, µ and ß have none.
    EXPECT_EQ(queue.entries_with_tag("caf\xE9 \xFE\xFF\x9A\x9C\x9E \xF7\xB5\xDF"), (Refs{e}));
    EXPECT_EQ(queue.entries_with_tag("CAF\xC9 \xDE\x9F\x8A\x8C\x8E \xD7\xB5\xDF"), Refs{});

    EXPECT_EQ(queue.snapshot(), (Refs{a, b, c, d, e}));
}

TEST(MessageQueue, DuplicateTestPassesOverPendingEntriesOfTheEvent) {
    MessageQueue queue;
    const MessageRef pending = Record("1", "E");
    const MessageRef reported = Record("2", "E");
    const MessageRef by_server = Record("3", "E");
    const MessageRef other = Record("4", "F", "", seconds(0), MessageState::AckReported);
    for (const MessageRef& m : {pending, reported, by_server, other}) {
        queue.append(m);
    }
    EXPECT_EQ(queue.first_acknowledged_of_event("E"), nullptr);
    EXPECT_EQ(queue.first_acknowledged_of_event("F"), other) << "queued already acknowledged";
    EXPECT_EQ(queue.first_acknowledged_of_event("f"), nullptr);

    queue.set_state(*by_server, MessageState::AckedByAlarmServer);
    EXPECT_EQ(queue.first_acknowledged_of_event("E"), by_server);
    queue.set_state(*reported, MessageState::AckReported);
    EXPECT_EQ(queue.first_acknowledged_of_event("E"), reported);
    EXPECT_EQ(reported->m_MessageState, MessageState::AckReported);

    // Once the acknowledged entries have left, the event is free again.
    queue.set_state(*reported, MessageState::Deleted);
    queue.set_state(*by_server, MessageState::Deleted);
    EXPECT_EQ(queue.take_due(kStart, seconds(600)), (Refs{reported, by_server}));
    EXPECT_EQ(queue.first_acknowledged_of_event("E"), nullptr);
    EXPECT_EQ(queue.entries_of_event("E"), (Refs{pending}));
}

TEST(MessageQueue, TakeDueRemovesAgedAndDeletedEntriesInQueueOrder) {
    MessageQueue queue;
    const MessageRef t0 = Record("0", "E", "x", seconds(0));
    const MessageRef t1 = Record("1", "E", "x", seconds(1));
    const MessageRef t2 = Record("2", "E", "x", seconds(2));
    const MessageRef t3 = Record("3", "E", "x", seconds(3));
    const MessageRef t4 = Record("4", "E", "x", seconds(4));
    const MessageRef t5 = Record("5", "F", "y", seconds(5));
    for (const MessageRef& m : {t0, t1, t2, t3, t4, t5}) {
        queue.append(m);
    }
    const seconds max_age(600);

    // Exactly at the limit an entry stays.
    EXPECT_EQ(queue.take_due(kStart + seconds(600), max_age), Refs{});

    // Age counts whatever the state; Deleted ones go from anywhere.
    queue.set_state(*t1, MessageState::AckReported);
    queue.set_state(*t3, MessageState::Deleted);
    queue.set_state(*t5, MessageState::Deleted);
    EXPECT_EQ(queue.take_due(kStart + seconds(602), max_age), (Refs{t0, t1, t3, t5}));
    EXPECT_EQ(queue.snapshot(), (Refs{t2, t4}));
    EXPECT_EQ(queue.size(), 2u);

    // The indexes forget what left.
    EXPECT_EQ(queue.first_with_alarm_id("0"), nullptr);
    EXPECT_EQ(queue.first_with_alarm_id("3"), nullptr);
    EXPECT_EQ(queue.entries_of_event("E"), (Refs{t2, t4}));
    EXPECT_EQ(queue.entries_of_event("F"), Refs{});
    EXPECT_EQ(queue.entries_with_tag("X"), (Refs{t2, t4}));
    EXPECT_EQ(queue.entries_with_tag("y"), Refs{});
    EXPECT_EQ(queue.first_acknowledged_of_event("E"), nullptr);
    EXPECT_FALSE(queue.contains(*t3));
    EXPECT_TRUE(queue.contains(*t4));

    // A removed record no longer reaches the queue, and may be queued anew.
    queue.set_state(*t3, MessageState::Deleted);
    queue.set_state(*t1, MessageState::AcknowledgedAgain);
    EXPECT_EQ(queue.take_due(kStart + seconds(602), max_age), Refs{});
    EXPECT_EQ(Walk(queue), Refs{});
    t0->m_InsertedIntoQueueMonotonic = kStart + seconds(10);
    EXPECT_TRUE(queue.append(t0));
    EXPECT_EQ(queue.entries_of_event("E"), (Refs{t2, t4, t0}));

    // Two adjacent due entries both go in one pass.
    EXPECT_EQ(queue.take_due(kStart + seconds(605), max_age), (Refs{t2, t4}));
    EXPECT_EQ(queue.first_with_alarm_id("0"), t0);
    EXPECT_EQ(queue.take_due(kStart + seconds(611), max_age), (Refs{t0}));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.entries_with_tag("x"), Refs{});
}

// The supervisor waits for the PBX between entries; meanwhile acknowledgements
// change states and new alarms are queued.
TEST(MessageQueue, ActionableWalkSeesChangesMadeWhileItWaits) {
    MessageQueue queue;
    const MessageRef a = Record("a", "E");
    const MessageRef b = Record("b", "E", "", seconds(0), MessageState::Acknowledged);
    const MessageRef c = Record("c", "E");
    const MessageRef d = Record("d", "E", "", seconds(0), MessageState::AcknowledgedElsewhere);
    const MessageRef e = Record("e", "E", "", seconds(0), MessageState::AckReported);
    for (const MessageRef& m : {a, b, c, d, e}) {
        queue.append(m);
    }

    std::uint64_t cursor = 0;
    EXPECT_EQ(queue.next_actionable_after(cursor), b);
    // While waiting on b:
    queue.set_state(*a, MessageState::Acknowledged);         // behind the cursor: next walk
    queue.set_state(*c, MessageState::AckedByAlarmServer);   // ahead: seen now
    queue.set_state(*d, MessageState::Deleted);              // no longer needs action
    queue.set_state(*e, MessageState::AcknowledgedAgain);
    const MessageRef late = Record("f", "G", "", seconds(1));
    queue.append(late);
    queue.set_state(*b, MessageState::AckReported);          // the supervisor's own step

    EXPECT_EQ(queue.next_actionable_after(cursor), c);
    queue.set_state(*late, MessageState::AcknowledgedElsewhere);
    EXPECT_EQ(queue.next_actionable_after(cursor), e);
    EXPECT_EQ(queue.next_actionable_after(cursor), late);
    EXPECT_EQ(queue.next_actionable_after(cursor), nullptr);
    const std::uint64_t end = cursor;
    EXPECT_EQ(queue.next_actionable_after(cursor), nullptr);
    EXPECT_EQ(cursor, end);

    EXPECT_EQ(Walk(queue), (Refs{a, c, e, late}));
    for (const MessageRef& m : {a, c, e, late}) {
        queue.set_state(*m, MessageState::Deleted);
    }
    EXPECT_EQ(Walk(queue), Refs{});
}

// The state is a public field; a write that bypasses set_state must not make
// the supervisor act on an entry that no longer needs it, nor drop one.
TEST(MessageQueue, DirectStateWritesNeverCauseWrongActionsOrRemovals) {
    MessageQueue queue;
    const MessageRef a = Record("a", "E", "", seconds(0), MessageState::Acknowledged);
    const MessageRef b = Record("b", "E", "", seconds(0), MessageState::Deleted);
    const MessageRef c = Record("c", "E", "", seconds(0), MessageState::AcknowledgedElsewhere);
    for (const MessageRef& m : {a, b, c}) {
        queue.append(m);
    }
    a->m_MessageState = MessageState::AckReported;
    b->m_MessageState = MessageState::AckReported;
    EXPECT_EQ(Walk(queue), (Refs{c}));
    EXPECT_EQ(queue.take_due(kStart, seconds(600)), Refs{});
    EXPECT_EQ(queue.size(), 3u);
    EXPECT_EQ(queue.first_acknowledged_of_event("E"), a);
}

TEST(MessageQueue, RefusesNullAndRecordsAlreadyQueued) {
    MessageQueue queue;
    const MessageRef a = Record("a", "E", "t");
    EXPECT_FALSE(queue.append(nullptr));
    EXPECT_TRUE(queue.append(a));
    EXPECT_FALSE(queue.append(a));
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.entries_of_event("E"), (Refs{a}));

    // A record in another queue is a stranger here.
    MessageQueue other;
    const MessageRef stranger = Record("a", "E");
    other.append(stranger);
    queue.set_state(*stranger, MessageState::Deleted);
    EXPECT_EQ(stranger->m_MessageState, MessageState::Deleted);
    EXPECT_EQ(queue.take_due(kStart, seconds(600)), Refs{});
    EXPECT_FALSE(queue.contains(*stranger));
}

// Drives the queue with random operations and compares every lookup with a
// plain list scanned from the oldest entry.
TEST(MessageQueue, AgreesWithALinearScanUnderRandomOperations) {
    MessageQueue queue;
    Refs model;
    std::mt19937 random(4711);
    const std::vector<std::string> ids = {"A", "a", "B", "C", ""};
    const std::vector<std::string> tags = {"tag", "TAG", "Tag", "other", ""};
    const std::int16_t states[] = {0, 1, 2, 3, 4, 5, 100};
    const seconds max_age(20);
    seconds clock(0);
    auto pick = [&](const auto& from) { return from[random() % std::size(from)]; };
    auto upper = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; });
        return s;
    };

    for (int step = 0; step < 4000; ++step) {
        const unsigned op = random() % 10;
        if (op < 4) {
            clock += seconds(random() % 3);
            const MessageRef m = Record(pick(ids), pick(ids), pick(tags), clock,
                                        random() % 4 == 0 ? pick(states) : std::int16_t{0});
            ASSERT_TRUE(queue.append(m));
            model.push_back(m);
        } else if (op < 8 && !model.empty()) {
            queue.set_state(*model[random() % model.size()], pick(states));
        } else if (op == 8) {
            const Time now = kStart + clock + seconds(random() % 5);
            Refs due;
            std::erase_if(model, [&](const MessageRef& m) {
                const bool go = m->m_MessageState == MessageState::Deleted ||
                                m->m_InsertedIntoQueueMonotonic + max_age < now;
                if (go) {
                    due.push_back(m);
                }
                return go;
            });
            ASSERT_EQ(queue.take_due(now, max_age), due) << "step " << step;
        }

        ASSERT_EQ(queue.size(), model.size());
        for (const std::string& id : ids) {
            Refs of_event;
            MessageRef first_alarm;
            MessageRef first_acked;
            for (const MessageRef& m : model) {
                if (m->m_EventId == id) {
                    of_event.push_back(m);
                    if (!first_acked && m->m_MessageState != 0) {
                        first_acked = m;
                    }
                }
                if (!first_alarm && m->m_AlarmId == id) {
                    first_alarm = m;
                }
            }
            ASSERT_EQ(queue.entries_of_event(id), of_event) << "step " << step;
            ASSERT_EQ(queue.first_with_alarm_id(id), first_alarm) << "step " << step;
            ASSERT_EQ(queue.first_acknowledged_of_event(id), first_acked) << "step " << step;
        }
        const std::string tag = pick(tags);
        Refs with_tag;
        Refs actionable;
        for (const MessageRef& m : model) {
            if (upper(m->m_Tag) == upper(tag)) {
                with_tag.push_back(m);
            }
            if (NeedsPbxAction(m->m_MessageState)) {
                actionable.push_back(m);
            }
        }
        ASSERT_EQ(queue.entries_with_tag(tag), with_tag) << "step " << step;
        ASSERT_EQ(Walk(queue), actionable) << "step " << step;
    }
    EXPECT_EQ(queue.snapshot(), model);
}

TEST(BufferedMessages, KeepsOrderAndRemovesByIdentityOnly) {
    BufferedMessages buffer;
    const MessageRef a = Record("a", "E");
    const MessageRef b = Record("b", "E");
    const MessageRef c = Record("c", "E");
    EXPECT_EQ(buffer.front(), nullptr);
    EXPECT_EQ(buffer.pop_front(), nullptr);
    EXPECT_FALSE(buffer.push_back(nullptr));
    for (const MessageRef& m : {a, b, c}) {
        ASSERT_TRUE(buffer.push_back(m));
    }
    EXPECT_FALSE(buffer.push_back(a));
    EXPECT_EQ(buffer.size(), 3u);

    // Dispatching a: meanwhile the overflow rule drops it from the front.
    const MessageRef dispatched = buffer.front();
    EXPECT_EQ(dispatched, a);
    EXPECT_EQ(buffer.pop_front(), a);
    EXPECT_FALSE(buffer.remove(dispatched));
    EXPECT_EQ(buffer.front(), b);
    EXPECT_EQ(buffer.size(), 2u);

    // An equal record is not the same record.
    const MessageRef twin = std::make_shared<cMessage>(*b);
    EXPECT_FALSE(buffer.remove(twin));
    EXPECT_EQ(buffer.size(), 2u);

    // Removal from behind the front leaves the order of the rest.
    const MessageRef d = Record("d", "E");
    buffer.push_back(d);
    EXPECT_TRUE(buffer.remove(c));
    EXPECT_FALSE(buffer.remove(c));
    EXPECT_TRUE(buffer.remove(b));
    EXPECT_EQ(buffer.front(), d);
    EXPECT_EQ(buffer.size(), 1u);
    EXPECT_TRUE(buffer.push_back(a));
    EXPECT_EQ(buffer.pop_front(), d);
    EXPECT_EQ(buffer.pop_front(), a);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.front(), nullptr);
}

// A record moves from the buffer to the queue by reference; each collection
// keeps its own hold on it.
TEST(BufferedMessages, SharesRecordsWithTheQueueIndependently) {
    BufferedMessages buffer;
    MessageQueue queue;
    const MessageRef a = Record("a", "E", "", seconds(0));
    const MessageRef b = Record("b", "E", "", seconds(0));
    buffer.push_back(a);
    buffer.push_back(b);

    queue.append(buffer.front());
    EXPECT_TRUE(buffer.remove(a));
    EXPECT_TRUE(queue.contains(*a));
    queue.set_state(*a, MessageState::Deleted);

    queue.append(b);
    EXPECT_EQ(queue.take_due(kStart, seconds(600)), (Refs{a}));
    EXPECT_EQ(buffer.front(), b);
    EXPECT_TRUE(buffer.remove(b));
    EXPECT_EQ(queue.first_with_alarm_id("b"), b);
}

}  // namespace
}  // namespace kelvarix
