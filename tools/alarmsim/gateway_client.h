#pragma once
// The connection to the gateway for the lines and load modes: one coroutine
// sends, one reads replies into the tracker; a timer wakes the sender when a
// reply frees the window or the last reply comes in.
#include "options.h"
#include "reply_tracker.h"
#include "report.h"
#include "stdin_lines.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvarix::alarmsim {

class GatewayClient {
public:
    // `file_lines` holds the lines of each --file source, in order of the sources.
    GatewayClient(asio::io_context& io, const Options& options, std::vector<std::vector<std::string>> file_lines);

    asio::awaitable<void> run();
    void stop();  // SIGINT: end the run and report what there is
    bool connected() const { return connected_; }
    Report report() const;

private:
    asio::awaitable<void> read_replies();
    asio::awaitable<void> send_lines();
    asio::awaitable<bool> send_line(std::string line);
    asio::awaitable<void> send_load();
    asio::awaitable<bool> write(const std::string& text, std::size_t lines, Clock::time_point at);
    asio::awaitable<void> await_replies();
    asio::awaitable<void> pause_until(Clock::time_point deadline);
    asio::awaitable<void> wait_for_reply(Clock::time_point deadline);
    void fail(std::string why);
    void write_stamps();
    void close();
    bool over() const { return stopping_ || closed_; }

    asio::io_context& io_;
    const Options& options_;
    std::vector<std::vector<std::string>> file_lines_;
    asio::ip::tcp::resolver resolver_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer pause_;   // --interval, --rate schedule, --keep-open
    asio::steady_timer wakeup_;  // cancelled by the reader on each batch of replies
    std::unique_ptr<StdinLines> stdin_;

    ReplyTracker tracker_;
    std::size_t lines_sent_ = 0;
    std::optional<Clock::time_point> first_send_;
    Clock::time_point last_send_{};
    Clock::time_point last_progress_{};  // last send or matched reply: --wait counts from here
    Clock::time_point last_match_{};
    bool connected_ = false;
    bool sending_done_ = false;
    bool stopping_ = false;
    bool closed_ = false;
    std::vector<std::pair<std::string, Clock::time_point>> stamps_;  // --stamps: each alarm's send time
    std::size_t reported_strays_ = 0;
    std::string error_;
};

}  // namespace kelvarix::alarmsim
