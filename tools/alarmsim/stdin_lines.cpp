#include "stdin_lines.h"

#include <asio/local/connect_pair.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <iostream>
#include <memory>

namespace kelvarix::alarmsim {
namespace {

// The reading thread's end; it owns its own context, used only for blocking calls.
struct Feeder {
    asio::io_context io;
    asio::local::stream_protocol::socket socket{io};
};

}  // namespace

StdinLines::StdinLines(asio::io_context& io) : socket_(io) {
    auto feeder = std::make_unique<Feeder>();
    asio::local::connect_pair(socket_, feeder->socket);
    std::cin.tie(nullptr);  // reading must not flush std::cout from this thread
    reader_ = std::thread([feeder = std::move(feeder)] {
        std::string line;
        while (std::getline(std::cin, line)) {
            line += '\n';
            asio::error_code ec;
            // Fails (without SIGPIPE) once the loop side is closed; then stop.
            asio::write(feeder->socket, asio::buffer(line), ec);
            if (ec) return;
        }
        asio::error_code ignored;
        feeder->socket.shutdown(asio::socket_base::shutdown_send, ignored);
    });
}

StdinLines::~StdinLines() {
    close();
    // After end of input the thread is done or about to be; otherwise it may
    // sit in a read on a terminal for ever, and must not hold up the exit.
    if (ended_) {
        reader_.join();
    } else {
        reader_.detach();
    }
}

asio::awaitable<std::optional<std::string>> StdinLines::next() {
    if (ended_ || !socket_.is_open()) co_return std::nullopt;
    asio::error_code ec;
    const std::size_t n =
        co_await asio::async_read_until(socket_, asio::dynamic_buffer(received_), '\n', asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
        ended_ = ended_ || ec == asio::error::eof;
        co_return std::nullopt;
    }
    std::string line = received_.substr(0, n - 1);
    received_.erase(0, n);
    co_return line;
}

void StdinLines::close() {
    asio::error_code ignored;
    socket_.close(ignored);
}

}  // namespace kelvarix::alarmsim
