#pragma once
// The alarms of a load run: 1|0|E<n>|A<n>|<dest>||<text>|T<n>, n counting
// from 1, so alarm identifiers and tags never repeat. A chosen share of the
// alarms reuses the event of an earlier one, the way a real alarm server
// raises the same event again.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kelvarix::alarmsim {

class LoadAlarms {
public:
    LoadAlarms(std::string destination, std::size_t text_bytes, double repeat_share);

    // The next alarm line, without its LF; `id` receives its alarm identifier.
    std::string next(std::string& id);

private:
    std::string destination_;
    std::size_t text_bytes_;
    double repeat_share_;
    std::uint64_t n_ = 0;
    std::vector<std::uint64_t> fresh_events_;  // events raised so far
    std::mt19937_64 random_{20120314};         // fixed seed: runs are repeatable
};

}  // namespace kelvarix::alarmsim
