#include "platform/clock.h"

namespace kelvarix {

std::int32_t LocalTime::day_number() const {
    using namespace std::chrono;
    const sys_days d = year_month_day{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                                      std::chrono::day{unsigned(day)}};
    return static_cast<std::int32_t>(d.time_since_epoch().count());
}

std::chrono::steady_clock::time_point SystemClock::monotonic() const {
    return std::chrono::steady_clock::now();
}

std::chrono::system_clock::time_point SystemClock::wall() const {
    return std::chrono::system_clock::now();
}

void ManualClock::advance(std::chrono::seconds s) {
    mono_ += s;
    wall_ += s;
    using namespace std::chrono;
    const sys_days d = year_month_day{std::chrono::year{local_.year},
                                      std::chrono::month{unsigned(local_.month)},
                                      std::chrono::day{unsigned(local_.day)}};
    const auto t = sys_seconds{d} + hours(local_.hour) + minutes(local_.minute) +
                   seconds(local_.second) + s;
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    local_ = {int(ymd.year()),         int(unsigned(ymd.month())), int(unsigned(ymd.day())),
              int(hms.hours().count()), int(hms.minutes().count()), int(hms.seconds().count())};
}

}  // namespace kelvarix
