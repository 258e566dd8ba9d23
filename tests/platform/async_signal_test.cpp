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

TEST(AsyncSignalTest, NotifyWakesEveryWaiterRoundAfterRound) {
    asio::io_context io;
    AsyncSignal signal(io.get_executor());
    const auto far = std::chrono::steady_clock::now() + 1h;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        std::optional<bool> first, second;
        asio::co_spawn(io, WaitInto(signal, far, first), asio::detached);
        asio::co_spawn(io, WaitInto(signal, AsyncSignal::Deadline::max(), second), asio::detached);
        io.restart();
        io.poll();  // both are waiting now
        ASSERT_FALSE(first || second);
        signal.Notify();
        ASSERT_TRUE(RunUntil(io, [&] { return first && second; }));
        EXPECT_TRUE(*first);
        EXPECT_TRUE(*second);
    }
}

TEST(AsyncSignalTest, WaitEndsFalseAtItsDeadlineAndAnEarlierNotifyIsNotRemembered) {
    asio::io_context io;
    AsyncSignal signal(io.get_executor());
    signal.Notify();  // nobody waits: nothing to wake
    std::optional<bool> result;
    asio::co_spawn(io, WaitInto(signal, std::chrono::steady_clock::now() + 30ms, result), asio::detached);
    ASSERT_TRUE(RunUntil(io, [&] { return result.has_value(); }));
    EXPECT_FALSE(*result);
}

}  // namespace
}  // namespace kelvarix
