#include "load_alarms.h"

#include <cmath>

namespace kelvarix::alarmsim {

LoadAlarms::LoadAlarms(std::string destination, std::size_t text_bytes, double repeat_share)
    : destination_(std::move(destination)), text_bytes_(text_bytes), repeat_share_(repeat_share) {}

std::string LoadAlarms::next(std::string& id) {
    ++n_;
    // Alarm n repeats when the running count of repeats steps up at n: the
    // share is met exactly and spread evenly over the run.
    const auto repeats_up_to = [this](std::uint64_t k) {
        return static_cast<std::uint64_t>(std::floor(static_cast<double>(k) * repeat_share_));
    };
    std::uint64_t event = n_;
    if (!fresh_events_.empty() && repeats_up_to(n_) > repeats_up_to(n_ - 1)) {
        std::uniform_int_distribution<std::size_t> pick(0, fresh_events_.size() - 1);
        event = fresh_events_[pick(random_)];
    } else {
        fresh_events_.push_back(n_);
    }

    const std::string number = std::to_string(n_);
    std::string text = "Load alarm " + number + " ";
    text.resize(text_bytes_, '.');

    id = "A" + number;
    std::string line;
    line.reserve(32 + destination_.size() + text.size() + 2 * number.size());
    line.append("1|0|E").append(std::to_string(event)).append("|").append(id).append("|");
    line.append(destination_).append("||").append(text).append("|T").append(number);
    return line;
}

}  // namespace kelvarix::alarmsim
