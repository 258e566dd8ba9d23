#pragma once
// The periodic cycle: every 100 ms tick runs the daily log cleanup when the
// day has changed, then either keeps the PBX connection alive and works
// through the queue, or counts down to the next connect attempt and makes it.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <cstdint>

#include "config/settings.h"
#include "logging/logger.h"
#include "pbx/atas_link.h"
#include "platform/clock.h"
#include "supervisor/queue_maintenance.h"

namespace kelvarix {

class Supervisor {
public:
    static constexpr std::int32_t kTickInterval = 100;  // milliseconds

    Supervisor(asio::any_io_executor executor, const Settings& settings, Logger& logger,
               const Clock& clock, AtasLink& link, QueueMaintenance& maintenance)
        : executor_(std::move(executor)),
          settings_(settings),
          logger_(logger),
          clock_(clock),
          link_(link),
          maintenance_(maintenance) {}

    // State kept between ticks.
    std::int32_t LastCleanupDay = 0;
    std::int32_t HeartbeatElapsed = 0;
    std::int32_t ReconnectWait = 0;
    bool CycleBusy = false;
    // When RunTimer last ticked: the service's watchdog is fed only while it ticks.
    std::chrono::steady_clock::time_point LastTick{};

    // Connection attempts that ended logged in, or not (for the metrics).
    std::uint64_t connects_ok = 0;
    std::uint64_t connects_failed = 0;

    // One tick of the timer.
    void Timer_System_Timer(std::int32_t interval = kTickInterval);
    // Accrues the heartbeat time, then starts a cycle unless one is running.
    // The cycle's time-keeping is the sum of the intervals it is given.
    void SupervisorCycle(std::int32_t interval);

    // Ticks every 100 ms until the program ends.
    asio::awaitable<void> RunTimer();

private:
    asio::awaitable<void> RunCycle(std::int32_t interval);
    asio::awaitable<void> ConnectedPhase();
    asio::awaitable<void> ConnectionPhase(std::int32_t interval);
    std::string HostAndPort() const;

    asio::any_io_executor executor_;
    const Settings& settings_;
    Logger& logger_;
    const Clock& clock_;
    AtasLink& link_;
    QueueMaintenance& maintenance_;
};

}  // namespace kelvarix
