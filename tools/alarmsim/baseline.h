#pragma once
// The round trip of a plain line over loopback TCP, measured inside this
// program: what any exchange of one line and one short answer at a time can
// reach on this machine, with no gateway in the way.
#include "options.h"
#include "reply_tracker.h"
#include "report.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <string>
#include <thread>
#include <vector>

namespace kelvarix::alarmsim {

class Baseline {
public:
    Baseline(asio::io_context& io, const Options& options);
    ~Baseline();
    Baseline(const Baseline&) = delete;
    Baseline& operator=(const Baseline&) = delete;

    asio::awaitable<void> run();
    void stop();
    bool connected() const { return connected_; }
    Report report() const;

private:
    asio::awaitable<void> exchange();
    void finish();

    const Options& options_;
    asio::ip::tcp::socket client_;
    asio::steady_timer pace_;  // --rate: the wait for each line's turn
    asio::io_context answer_io_;  // only for blocking calls on the answering thread
    asio::ip::tcp::socket answerer_;
    std::thread answering_;
    std::vector<std::int64_t> latencies_ns_;
    std::size_t sent_ = 0;
    Clock::time_point first_{};
    Clock::time_point last_{};
    bool connected_ = false;
    bool stopping_ = false;
    std::string error_;
};

}  // namespace kelvarix::alarmsim
