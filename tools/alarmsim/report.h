#pragma once
// The end-of-run report, as "key: value" lines and as one JSON line.
#include "options.h"
#include "reply_tracker.h"

#include <iosfwd>
#include <string>

namespace kelvarix::alarmsim {

constexpr int kExitOk = 0;
constexpr int kExitRepliesWrong = 1;
constexpr int kExitConnection = 2;

struct Report {
    Mode mode = Mode::lines;
    std::size_t lines = 0;  // lines (or round trips) sent
    ReplyCounts counts;     // the baseline fills only expected, replies and matched
    std::size_t missing = 0;
    double elapsed_s = 0;
    LatencySummary latency;
    std::string error;  // why the connection failed or was lost; empty if it held

    double rate_per_s() const;
};

void print_text(std::ostream& out, const Report& report);
void print_json(std::ostream& out, const Report& report);
int exit_status(const Report& report);

}  // namespace kelvarix::alarmsim
