#include "store/alarm_row.h"

#include <algorithm>
#include <cstdio>

namespace kelvarix {

namespace {

using std::chrono::milliseconds;

std::string LocalText(const LocalTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

LocalTime LocalFrom(const std::string& text) {
    LocalTime t;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &t.year, &t.month, &t.day, &t.hour,
                    &t.minute, &t.second) != 6) {
        return {};
    }
    return t;
}

MessageRef RecordFrom(const AlarmRow& row) {
    auto record = std::make_shared<cMessage>();
    record->m_MessageState = row.state;
    record->m_Tag = row.tag;
    record->m_Status = row.status;
    record->m_System = row.system;
    record->m_EventId = row.event_id;
    record->m_AlarmId = row.alarm_id;
    record->m_Destination = row.destination;
    record->m_TerminalId = row.terminal_id;
    record->m_Message = row.message;
    record->m_AckedByTerminalId = row.acked_by;
    record->m_InsertedIntoQueueTimeStamp = LocalFrom(row.queued_local);
    record->m_InDoubt = row.in_doubt;
    record->m_Store.key = row.key;
    record->m_Store.queue_position = row.queue_position;
    record->m_Store.buffer_position = row.buffer_position;
    return record;
}

}  // namespace

AlarmRow RowOf(const cMessage& record, const ClockReading& now) {
    AlarmRow row;
    row.key = record.m_Store.key;
    row.queue_position = record.m_Store.queue_position;
    row.buffer_position = record.m_Store.buffer_position;
    row.in_doubt = record.m_InDoubt;
    row.state = record.m_MessageState;
    row.status = record.m_Status;
    row.system = record.m_System;
    row.tag = record.m_Tag;
    row.event_id = record.m_EventId;
    row.alarm_id = record.m_AlarmId;
    row.destination = record.m_Destination;
    row.terminal_id = record.m_TerminalId;
    row.message = record.m_Message;
    row.acked_by = record.m_AckedByTerminalId;
    if (row.queue_position != 0) {
        // The age is measured on the monotonic clock; the calendar time is
        // what survives the process.
        const auto age = now.monotonic - record.m_InsertedIntoQueueMonotonic;
        const auto queued = now.wall - std::chrono::duration_cast<milliseconds>(age);
        row.queued_wall_ms =
            std::chrono::duration_cast<milliseconds>(queued.time_since_epoch()).count();
        row.queued_local = LocalText(record.m_InsertedIntoQueueTimeStamp);
    }
    return row;
}

RestoredAlarms Restore(std::vector<AlarmRow> rows, const ClockReading& now) {
    RestoredAlarms restored;
    std::vector<std::pair<std::uint64_t, MessageRef>> held;
    for (const AlarmRow& row : rows) {
        restored.next_key = std::max(restored.next_key, row.key + 1);
        restored.next_position =
            std::max({restored.next_position, row.queue_position + 1, row.buffer_position + 1});
    }
    std::sort(rows.begin(), rows.end(), [](const AlarmRow& a, const AlarmRow& b) {
        return a.queue_position < b.queue_position;
    });
    const auto wall_now = std::chrono::duration_cast<milliseconds>(now.wall.time_since_epoch());
    auto not_before = std::chrono::steady_clock::time_point::min();
    for (const AlarmRow& row : rows) {
        MessageRef record = RecordFrom(row);
        if (row.queue_position != 0) {
            const milliseconds age = std::max(wall_now - milliseconds(row.queued_wall_ms),
                                              milliseconds(0));
            not_before = std::max(now.monotonic - age, not_before);
            record->m_InsertedIntoQueueMonotonic = not_before;
            restored.queue.push_back(record);
        }
        if (row.buffer_position != 0) {
            held.emplace_back(row.buffer_position, record);
        } else if (row.in_doubt && row.queue_position != 0) {
            restored.resend.push_back(record);
        }
        if (row.in_doubt) restored.in_doubt.push_back(record);
    }
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [position, record] : held) restored.held_back.push_back(std::move(record));
    return restored;
}

}  // namespace kelvarix
