#include "platform/async_signal.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <optional>

#include "support/io_helpers.h"

namespace kelvarix {
namespace {

using namespace std::chrono_literals;
using test::RunUntil;

asio::awaitable<void> WaitInto(AsyncSignal& signal, AsyncSignal::Deadline deadline,
                               std::optional<bool>& result) {
    result = co_await signal.WaitUntil(deadline);
}

TEST(AsyncSignalTest, NotifyWakesEveryWaiterRoundAfterRoundButIsNotRemembered) {
    asio::io_context io;
    AsyncSignal signal(io.get_executor());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::optional<bool> first, second;
        asio::co_spawn(io, WaitInto(signal, std::chrono::steady_clock::now() + 1h, first),
                       asio::detached);
        asio::co_spawn(io, WaitInto(signal, AsyncSignal::Deadline::max(), second), asio::detached);
        io.restart();
        io.poll();  // both are waiting now
        ASSERT_FALSE(first || second);
        signal.Notify();
        ASSERT_TRUE(RunUntil(io, [&] { return first && second; }));
        EXPECT_TRUE(*first && *second);
    }
    // Nobody waits now: this wakes nobody, and a later wait ends at its deadline.
    signal.Notify();
    std::optional<bool> late;
    asio::co_spawn(io, WaitInto(signal, std::chrono::steady_clock::now() + 30ms, late),
                   asio::detached);
    ASSERT_TRUE(RunUntil(io, [&] { return late.has_value(); }));
    EXPECT_FALSE(*late);
}

}  // namespace
}  // namespace kelvarix
