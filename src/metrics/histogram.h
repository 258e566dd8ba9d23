#pragma once
// A histogram of durations with fixed bucket bounds: one increment per
// observation, the cumulative counts are formed only when scraped.
#include <array>
#include <chrono>
#include <cstdint>

namespace kelvarix {

class Histogram {
public:
    // Upper bounds in seconds. A command waits at most CommandTimeout for its
    // reply (usually a few seconds); the PBX answers within milliseconds.
    static constexpr std::array<double, 12> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                       0.1,   0.25,   0.5,   1,    2.5,   10};

    void Observe(std::chrono::steady_clock::duration duration) {
        const double seconds = std::chrono::duration<double>(duration).count();
        std::size_t bucket = 0;
        while (bucket < kBounds.size() && seconds > kBounds[bucket]) ++bucket;
        ++counts_[bucket];
        sum_ += seconds;
        ++count_;
    }

    // Observations at or below kBounds[i] (i == kBounds.size(): all of them).
    std::uint64_t CumulativeCount(std::size_t i) const {
        std::uint64_t total = 0;
        for (std::size_t b = 0; b <= i; ++b) total += counts_[b];
        return total;
    }
    double Sum() const { return sum_; }
    std::uint64_t Count() const { return count_; }

private:
    std::array<std::uint64_t, kBounds.size() + 1> counts_{};  // the last: above every bound
    double sum_ = 0;
    std::uint64_t count_ = 0;
};

}  // namespace kelvarix
