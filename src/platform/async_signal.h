#pragma once
// A wake-up call for coroutines on the one event thread: waiters suspend until
// Notify() or their deadline, whichever comes first. Callers re-check their
// condition after every wake-up, so a notify that races a deadline is harmless.
#include "platform/awaitable.h"
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <list>

namespace kelvarix {

class AsyncSignal {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    explicit AsyncSignal(asio::any_io_executor executor) : executor_(std::move(executor)) {}

    void Notify() {
        for (asio::steady_timer* timer : waiters_) timer->cancel();
    }

    // True when woken by Notify(), false when the deadline passed.
    asio::awaitable<bool> WaitUntil(Deadline deadline) {
        asio::steady_timer timer(executor_, deadline);
        const auto position = waiters_.insert(waiters_.end(), &timer);
        auto [ec] = co_await timer.async_wait(kAwaitTuple);
        waiters_.erase(position);
        co_return ec == asio::error::operation_aborted;
    }

    asio::awaitable<bool> Wait() { return WaitUntil(Deadline::max()); }

private:
    asio::any_io_executor executor_;
    std::list<asio::steady_timer*> waiters_;
};

}  // namespace kelvarix
