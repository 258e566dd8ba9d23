#pragma once
// Lines from standard input for the event loop. A thread does the blocking
// reads and hands each line over a socket pair, so the loop never waits on a
// terminal, and pipes, files and terminals all behave alike.
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#ifndef _WIN32
#include <asio/local/stream_protocol.hpp>
#endif

#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace kelvarix::alarmsim {

class StdinLines {
public:
    explicit StdinLines(asio::io_context& io);
    ~StdinLines();
    StdinLines(const StdinLines&) = delete;
    StdinLines& operator=(const StdinLines&) = delete;

    // The next line without its LF, or nothing at end of input or after close().
    asio::awaitable<std::optional<std::string>> next();
    void close();

private:
#ifdef _WIN32
    // Windows has no socket pair: the thread posts each line to the loop,
    // into this state that both share.
    struct Shared;
    std::shared_ptr<Shared> shared_;
#else
    asio::local::stream_protocol::socket socket_;
    std::string received_;
    bool ended_ = false;
    std::thread reader_;
#endif
};

}  // namespace kelvarix::alarmsim
