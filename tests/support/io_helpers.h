#pragma once
// Running an io_context in tests until something has happened, with a
// deadline instead of a sleep.
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <functional>

namespace kelvarix::test {

inline constexpr std::chrono::seconds kIoWait{20};

// Runs handlers until the condition holds; false when the deadline came first.
inline bool RunUntil(asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::steady_clock::duration timeout = kIoWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (io.stopped()) io.restart();
        io.run_one_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A port on 127.0.0.1 that nothing listens on at the moment.
inline int UnusedLocalPort(asio::io_context& io) {
    asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
    return probe.local_endpoint().port();
}

}  // namespace kelvarix::test
