#pragma once
// Local date and time, and a monotonic clock for ages. Everything that reads
// the time goes through Clock so tests can set it.
#include <chrono>
#include <cstdint>

namespace kelvarix {

struct LocalTime {
    int year = 0;    // four digits
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59

    // Whole days since 1970-01-01 of this local calendar date; changes at local midnight.
    std::int32_t day_number() const;
    friend bool operator==(const LocalTime&, const LocalTime&) = default;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() const = 0;
    virtual std::chrono::steady_clock::time_point monotonic() const = 0;
    // The calendar clock, for times that must outlive the process.
    virtual std::chrono::system_clock::time_point wall() const = 0;
};

// The real clocks of the machine.
class SystemClock final : public Clock {
public:
    LocalTime now() const override;
    std::chrono::steady_clock::time_point monotonic() const override;
    std::chrono::system_clock::time_point wall() const override;
};

// A clock that stands still until a test moves it.
class ManualClock final : public Clock {
public:
    explicit ManualClock(LocalTime start = {2012, 3, 14, 9, 5, 7}) : local_(start) {}
    LocalTime now() const override { return local_; }
    std::chrono::steady_clock::time_point monotonic() const override { return mono_; }
    std::chrono::system_clock::time_point wall() const override { return wall_; }
    void set(LocalTime t) { local_ = t; }
    // Sets the calendar clock alone, as when an operator corrects it.
    void set_wall(std::chrono::system_clock::time_point t) { wall_ = t; }
    // Moves all clocks forward; the local time rolls over seconds, minutes,
    // hours and days (months are left to set()).
    void advance(std::chrono::seconds s);

private:
    LocalTime local_;
    std::chrono::steady_clock::time_point mono_{std::chrono::hours(1)};
    std::chrono::system_clock::time_point wall_{std::chrono::hours(24 * 365 * 42)};
};

}  // namespace kelvarix
