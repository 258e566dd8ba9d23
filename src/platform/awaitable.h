#pragma once
// The Asio pieces every coroutine of the gateway uses. Expected errors come
// back as values (an error_code in a tuple), never as exceptions.
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvarix {

inline constexpr auto kAwaitTuple = asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace kelvarix
