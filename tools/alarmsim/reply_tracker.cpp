#include "reply_tracker.h"

#include <algorithm>
#include <cmath>

namespace kelvarix::alarmsim {

void ReplyTracker::expect(std::string id, Clock::time_point at) {
    open_[std::move(id)].push_back(at);
    ++outstanding_;
    ++counts_.expected;
}

ReplyMatch ReplyTracker::on_reply(std::string_view line, Clock::time_point at) {
    ++counts_.replies;
    const Reply reply = parse_reply(line);
    switch (reply.kind) {
        case ReplyKind::sent: ++counts_.sent; break;
        case ReplyKind::failed: ++counts_.failed; break;
        case ReplyKind::buffered: ++counts_.buffered; break;
        case ReplyKind::other: ++counts_.other; return ReplyMatch::unreadable;
    }

    const auto entry = open_.find(reply.id);
    if (entry == open_.end()) {
        ++counts_.unexpected;
        return ReplyMatch::unexpected;
    }
    auto& times = entry->second;
    if (times.empty()) {
        ++counts_.doubled;
        return ReplyMatch::doubled;
    }
    const auto latency = std::chrono::duration_cast<std::chrono::nanoseconds>(at - times.front()).count();
    latencies_ns_.push_back(std::max<std::int64_t>(latency, 0));
    times.erase(times.begin());
    if (times.empty()) times.shrink_to_fit();  // large runs keep millions of answered ids
    --outstanding_;
    ++counts_.matched;
    return ReplyMatch::matched;
}

namespace {

// Index of the nearest-rank percentile p in a sorted set of n > 0 values.
std::size_t rank_index(std::size_t n, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(n)));
    return std::clamp<std::size_t>(rank, 1, n) - 1;
}

}  // namespace

std::int64_t percentile(std::vector<std::int64_t> values, double p) {
    if (values.empty()) return 0;
    const std::size_t index = rank_index(values.size(), p);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
    return values[index];
}

LatencySummary summarize(std::vector<std::int64_t> latencies_ns) {
    LatencySummary summary;
    summary.samples = latencies_ns.size();
    if (latencies_ns.empty()) return summary;
    std::sort(latencies_ns.begin(), latencies_ns.end());
    const auto us = [](std::int64_t ns) { return static_cast<double>(ns) / 1000.0; };
    summary.p50_us = us(latencies_ns[rank_index(latencies_ns.size(), 50)]);
    summary.p99_us = us(latencies_ns[rank_index(latencies_ns.size(), 99)]);
    summary.max_us = us(latencies_ns.back());
    return summary;
}

}  // namespace kelvarix::alarmsim
