#pragma once
// Book-keeping of the replies owed by the gateway, free of any I/O: the shell
// tells it what it sent and what came back, with the time of each.
#include "alarm_line.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kelvarix::alarmsim {

using Clock = std::chrono::steady_clock;

struct ReplyCounts {
    std::size_t expected = 0;    // replies owed for what was sent
    std::size_t replies = 0;     // reply lines received, whatever they were
    std::size_t sent = 0;
    std::size_t failed = 0;
    std::size_t buffered = 0;
    std::size_t other = 0;       // not one of the three forms
    std::size_t matched = 0;     // answered a line that was owed a reply
    std::size_t doubled = 0;     // a further reply for an identifier already answered
    std::size_t unexpected = 0;  // a reply for an identifier never sent with status 0 to 3
};

enum class ReplyMatch { matched, doubled, unexpected, unreadable };

class ReplyTracker {
public:
    // A line went out at `at` that the gateway owes a reply for `id`.
    void expect(std::string id, Clock::time_point at);

    // One reply line (without its LF) came in at `at`. A repeated identifier
    // answers its oldest open line first; the latency is measured from that
    // line's time.
    ReplyMatch on_reply(std::string_view line, Clock::time_point at);

    // Replies still owed; at the end of a run these are the missing ones.
    std::size_t outstanding() const { return outstanding_; }
    const ReplyCounts& counts() const { return counts_; }
    const std::vector<std::int64_t>& latencies_ns() const { return latencies_ns_; }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // Send times of the lines still open per identifier, oldest first; an
    // emptied entry stays to tell a doubled reply from an unexpected one.
    std::unordered_map<std::string, std::vector<Clock::time_point>, Hash, std::equal_to<>> open_;
    std::size_t outstanding_ = 0;
    ReplyCounts counts_;
    std::vector<std::int64_t> latencies_ns_;
};

struct LatencySummary {
    std::size_t samples = 0;
    double p50_us = 0;
    double p99_us = 0;
    double max_us = 0;
};

// Nearest-rank percentile (0 < p <= 100) of `values`, which need not be sorted.
std::int64_t percentile(std::vector<std::int64_t> values, double p);

LatencySummary summarize(std::vector<std::int64_t> latencies_ns);

}  // namespace kelvarix::alarmsim
