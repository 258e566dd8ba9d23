#pragma once
// One alarm as the store keeps it, and the conversions between records and
// rows. No I/O here.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "queue/message.h"

namespace kelvarix {

struct AlarmRow {
    std::uint64_t key = 0;
    std::uint64_t queue_position = 0;   // 0: not in the queue
    std::uint64_t buffer_position = 0;  // 0: not held back
    bool in_doubt = false;
    std::int16_t state = 0;
    std::int16_t status = 0;
    std::int16_t system = 0;
    std::string tag;
    std::string event_id;
    std::string alarm_id;
    std::string destination;
    std::string terminal_id;
    std::string message;
    std::string acked_by;
    std::string queued_local;         // "YYYY-MM-DD HH:MM:SS" when queued
    std::int64_t queued_wall_ms = 0;  // milliseconds since 1970 (UTC) when queued

    // A row whose record has left both collections leaves the store.
    bool Held() const { return queue_position != 0 || buffer_position != 0; }
};

struct ClockReading {
    std::chrono::system_clock::time_point wall;
    std::chrono::steady_clock::time_point monotonic;
};

// The row of a record, with the key and places the store gave it.
AlarmRow RowOf(const cMessage& record, const ClockReading& now);

// A loaded store, ready for the collections.
struct RestoredAlarms {
    std::vector<MessageRef> queue;      // oldest first
    std::vector<MessageRef> held_back;  // in their order
    // Queue entries in doubt that were not held back: they go to the PBX
    // again, after the held-back alarms.
    std::vector<MessageRef> resend;
    std::vector<MessageRef> in_doubt;   // every record in doubt, in or out of the buffer
    std::uint64_t next_key = 1;
    std::uint64_t next_position = 1;
};

// Queue ages count from the stored calendar time; a calendar clock that went
// back since counts as age 0, and no entry comes out younger than one queued
// after it.
RestoredAlarms Restore(std::vector<AlarmRow> rows, const ClockReading& now);

}  // namespace kelvarix
