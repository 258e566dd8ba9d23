#include "host/watchdog.h"

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>

namespace kelvarix {

bool TickAlive(SteadyTime last_tick, SteadyTime now, std::chrono::microseconds interval) {
    return now - last_tick <= interval;
}

asio::awaitable<void> FeedWatchdog(ServiceManager& service, const SteadyTime& last_tick) {
    const std::chrono::microseconds interval = service.WatchdogInterval();
    if (interval <= interval.zero()) co_return;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (;;) {
        if (TickAlive(last_tick, std::chrono::steady_clock::now(), interval)) service.ReportAlive();
        timer.expires_after(interval / 2);
        auto [error] = co_await timer.async_wait(kAwaitTuple);
        if (error) co_return;
    }
}

}  // namespace kelvarix
