#pragma once
// The ATAS commands sent, by keyword and result, and how long each waited.
#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "metrics/histogram.h"

namespace kelvarix {

enum class CommandResult { Ack, Nack, Timeout, NoLink, Sent };
inline constexpr std::array<std::string_view, 5> kCommandResultNames = {"ack", "nack", "timeout",
                                                                        "no_link", "sent"};

class CommandStats {
public:
    using Counts = std::array<std::uint64_t, kCommandResultNames.size()>;

    // Looked up by a view of the keyword: no allocation once a keyword is known.
    void Count(std::string_view keyword, CommandResult result) {
        auto it = counts_.find(keyword);
        if (it == counts_.end()) it = counts_.emplace(std::string(keyword), Counts{}).first;
        ++it->second[static_cast<std::size_t>(result)];
    }
    void Count(std::string_view keyword, CommandResult result,
               std::chrono::steady_clock::duration waited) {
        Count(keyword, result);
        durations_.Observe(waited);
    }

    const std::map<std::string, Counts, std::less<>>& ByKeyword() const { return counts_; }
    const Histogram& Durations() const { return durations_; }

private:
    std::map<std::string, Counts, std::less<>> counts_;
    Histogram durations_;
};

}  // namespace kelvarix
