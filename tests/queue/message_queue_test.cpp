#include "queue/message_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/record.h"

namespace kelvarix {
namespace {

using std::chrono::seconds;
using Refs = std::vector<MessageRef>;
using test::MakeRecord;

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

// Drives the queue with random appends (new records and records that left
// earlier), state changes, clean-ups and steps of a walk that goes on across
// all of them, and compares every lookup with a list scanned from the oldest.
TEST(MessageQueue, AgreesWithALinearScanUnderRandomOperations) {
    MessageQueue queue;
    Refs model, gone;
    std::map<const cMessage*, int> order;  // of the latest append
    int appends = 0, walked = 0;           // the walk is past the entries up to `walked`
    std::uint64_t cursor = 0;
    std::mt19937 random(4711);
    const std::string ids[] = {"A", "a", "B", ""};
    const std::string tags[] = {"tag", "TAG", "Tag", "other", "", "caf\xE9 \xFF\x9A",
                                "CAF\xC9 \x9F\x8A", "caf\xC9 \x9F\x9A", "\xF7", "\xD7"};
    // Tags of one group match: the case of Windows-1252 letters (here é, ÿ and
    // š) does not count, and ÷ and × are no letters.
    const int tag_groups[std::size(tags)] = {0, 0, 0, 1, 2, 3, 3, 3, 4, 5};
    auto group = [&](const std::string& tag) {
        return tag_groups[std::ranges::find(tags, tag) - tags];
    };
    const std::int16_t states[] = {0, 1, 2, 3, 4, 5, 100};
    const seconds max_age(20);
    auto now = std::chrono::steady_clock::time_point{};
    auto pick = [&](const auto& from) { return from[random() % std::size(from)]; };

    for (int step = 0; step < 4000; ++step) {
        SCOPED_TRACE(step);
        const unsigned op = random() % 10;
        if (op < 4) {
            now += seconds(random() % 3);
            MessageRef m = MakeRecord(pick(ids), pick(ids), "", "", pick(tags));
            if (op == 0 && !gone.empty()) m = gone[random() % gone.size()];
            m->m_InsertedIntoQueueMonotonic = now;
            if (random() % 4 == 0) m->m_MessageState = pick(states);
            ASSERT_TRUE(queue.append(m));
            std::erase(gone, m);
            model.push_back(m);
            order[m.get()] = ++appends;
        } else if (op < 8 && !model.empty()) {
            queue.set_state(*model[random() % model.size()], pick(states));
        } else if (op == 8) {
            const auto at = now + seconds(random() % 5);
            Refs due;
            std::erase_if(model, [&](const MessageRef& m) {
                const bool go = m->m_MessageState == MessageState::Deleted ||
                                m->m_InsertedIntoQueueMonotonic + max_age < at;
                if (go) due.push_back(m);
                return go;
            });
            ASSERT_EQ(queue.take_due(at, max_age), due);
            gone.insert(gone.end(), due.begin(), due.end());
        } else {
            MessageRef next;
            for (const MessageRef& m : model) {
                if (order[m.get()] > walked && NeedsPbxAction(m->m_MessageState)) {
                    next = m;
                    break;
                }
            }
            ASSERT_EQ(queue.next_actionable_after(cursor), next);
            walked = next ? order[next.get()] : walked;
        }

        ASSERT_EQ(queue.size(), model.size());
        for (const std::string& id : ids) {
            Refs of_event;
            MessageRef first_alarm, first_acked;
            for (const MessageRef& m : model) {
                if (m->m_EventId == id) {
                    of_event.push_back(m);
                    if (!first_acked && m->m_MessageState != 0) first_acked = m;
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
            if (group(m->m_Tag) == group(tag)) with_tag.push_back(m);
            if (NeedsPbxAction(m->m_MessageState)) actionable.push_back(m);
        }
        ASSERT_EQ(queue.entries_with_tag(tag), with_tag);
        ASSERT_EQ(Walk(queue), actionable);
        std::map<std::int16_t, std::size_t> by_state;
        for (const MessageRef& m : model) ++by_state[m->m_MessageState];
        auto counted = queue.state_counts();
        std::erase_if(counted, [](const auto& entry) { return entry.second == 0; });
        ASSERT_EQ(counted, by_state);
        if (!gone.empty()) {
            ASSERT_FALSE(queue.contains(*gone.back()));
        }
    }
    EXPECT_EQ(queue.snapshot(), model);
}

TEST(MessageQueue, RefusesWhatItCannotIndexAndIgnoresStrangers) {
    using namespace MessageState;
    MessageQueue queue, other;
    const MessageRef a = MakeRecord("a"), b = MakeRecord("b"), c = MakeRecord("c");
    const MessageRef stranger = MakeRecord("a");
    EXPECT_FALSE(queue.append(nullptr));
    for (const MessageRef& m : {a, b, c}) EXPECT_TRUE(queue.append(m));
    EXPECT_FALSE(queue.append(a));
    other.append(stranger);  // a record of another queue only has its field set
    queue.set_state(*stranger, Deleted);
    EXPECT_EQ(stranger->m_MessageState, Deleted);
    EXPECT_FALSE(queue.contains(*stranger));
    // The state is a public field; the queue follows a write that bypasses
    // set_state once it gets to the entry, and never acts on the old state.
    queue.set_state(*a, Acknowledged);
    a->m_MessageState = AckReported;
    queue.set_state(*b, Deleted);
    b->m_MessageState = AckReported;
    queue.set_state(*c, AcknowledgedElsewhere);
    c->m_MessageState = Deleted;
    EXPECT_EQ(Walk(queue), Refs{});
    EXPECT_EQ(queue.take_due({}, seconds(600)), (Refs{c}));
    EXPECT_EQ(queue.snapshot(), (Refs{a, b}));
}

TEST(BufferedMessages, KeepsOrderAndRemovesByIdentityOnly) {
    BufferedMessages buffer;
    const MessageRef a = MakeRecord("a"), b = MakeRecord("b"), c = MakeRecord("c");
    EXPECT_EQ(buffer.pop_front(), nullptr);
    EXPECT_FALSE(buffer.push_back(nullptr));
    for (const MessageRef& m : {a, b, c}) ASSERT_TRUE(buffer.push_back(m));
    EXPECT_FALSE(buffer.push_back(a));
    // While a is dispatched, the overflow rule drops it from the front.
    EXPECT_EQ(buffer.pop_front(), a);
    EXPECT_FALSE(buffer.remove(a));
    EXPECT_FALSE(buffer.remove(std::make_shared<cMessage>(*b)));  // equal is not the same
    // Removal from behind the front keeps the order of the rest, and a
    // record may be buffered and queued at once.
    MessageQueue queue;
    queue.append(c);
    EXPECT_TRUE(buffer.push_back(a));
    EXPECT_TRUE(buffer.remove(c));
    EXPECT_TRUE(queue.contains(*c));
    EXPECT_EQ(buffer.pop_front(), b);
    EXPECT_EQ(buffer.front(), a);
    EXPECT_TRUE(buffer.remove(a));
    EXPECT_EQ(buffer.front(), nullptr);
}

}  // namespace
}  // namespace kelvarix
