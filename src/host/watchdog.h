#pragma once
// The service manager's watchdog, fed from the event loop that runs the
// supervisor's tick: when the loop hangs or the tick has stopped, the pings
// stop and the manager restarts the gateway. No other thread may feed it.
#include <chrono>

#include "platform/awaitable.h"
#include "platform/service_manager.h"

namespace kelvarix {

using SteadyTime = std::chrono::steady_clock::time_point;

// Whether a tick at last_tick still shows a live supervisor at now.
bool TickAlive(SteadyTime last_tick, SteadyTime now, std::chrono::microseconds interval);

// Pings at half the manager's interval while the tick is alive; ends at once
// when the manager watches nothing.
asio::awaitable<void> FeedWatchdog(ServiceManager& service, const SteadyTime& last_tick);

}  // namespace kelvarix
