#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>
#include <iostream>

#include "stdin_lines.h"

namespace kelvarix::alarmsim {

struct StdinLines::Shared {
    explicit Shared(asio::io_context& io)
        : io(io), wake(io, asio::steady_timer::time_point::max()) {}
    asio::io_context& io;
    asio::steady_timer wake;  // cancelled when a line or the end arrives
    std::deque<std::string> lines;
    bool ended = false;
    bool closed = false;
};

StdinLines::StdinLines(asio::io_context& io) : shared_(std::make_shared<Shared>(io)) {
    std::cin.tie(nullptr);  // reading must not flush std::cout from this thread
    // Detached: it may sit in a read on a console for ever and must not hold
    // up the exit. It touches the shared state only on the loop's thread.
    std::thread([shared = shared_] {
        std::string line;
        bool more = true;
        while (more) {
            more = static_cast<bool>(std::getline(std::cin, line));
            asio::post(shared->io, [shared, line, more] {
                if (more)
                    shared->lines.push_back(line);
                else
                    shared->ended = true;
                shared->wake.cancel();
            });
        }
    }).detach();
}

StdinLines::~StdinLines() {
    close();
}

asio::awaitable<std::optional<std::string>> StdinLines::next() {
    const std::shared_ptr<Shared> shared = shared_;
    while (!shared->closed && shared->lines.empty() && !shared->ended) {
        asio::error_code ignored;
        co_await shared->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        shared->wake.expires_at(asio::steady_timer::time_point::max());
    }
    if (shared->closed || shared->lines.empty()) co_return std::nullopt;
    std::string line = std::move(shared->lines.front());
    shared->lines.pop_front();
    co_return line;
}

void StdinLines::close() {
    shared_->closed = true;
    shared_->wake.cancel();
}

}  // namespace kelvarix::alarmsim
