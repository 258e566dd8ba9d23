#include "gateway_client.h"

#include "alarm_line.h"
#include "load_alarms.h"

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <limits>

namespace kelvarix::alarmsim {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kWriteBatch = 64 * 1024;  // load mode gathers due lines into writes of about this size
constexpr std::size_t kStrayReplyLimit = 20;    // load mode names this many wrong replies, then only counts

auto with_error(asio::error_code& ec) { return asio::redirect_error(asio::use_awaitable, ec); }

std::chrono::milliseconds ms(unsigned value) { return std::chrono::milliseconds(value); }

const char* describe(ReplyMatch match) {
    switch (match) {
        case ReplyMatch::doubled: return "doubled";
        case ReplyMatch::unexpected: return "unexpected";
        case ReplyMatch::unreadable: return "unreadable";
        case ReplyMatch::matched: break;
    }
    return "matched";
}

}  // namespace

GatewayClient::GatewayClient(asio::io_context& io, const Options& options,
                             std::vector<std::vector<std::string>> file_lines)
    : io_(io),
      options_(options),
      file_lines_(std::move(file_lines)),
      resolver_(io),
      socket_(io),
      pause_(io),
      wakeup_(io) {}

asio::awaitable<void> GatewayClient::run() {
    const std::string port = std::to_string(options_.port);
    asio::error_code ec;
    const auto endpoints = co_await resolver_.async_resolve(options_.host, port, with_error(ec));
    if (stopping_) {
        error_ = "interrupted before the connection was made";
        co_return;
    }
    if (ec) {
        error_ = "cannot resolve " + options_.host + ": " + ec.message();
        co_return;
    }
    co_await asio::async_connect(socket_, endpoints, with_error(ec));
    if (stopping_) {
        error_ = "interrupted before the connection was made";
        co_return;
    }
    if (ec) {
        error_ = "cannot connect to " + options_.host + ":" + port + ": " + ec.message();
        co_return;
    }
    // Lines go out one by one; Nagle would hold each back until the previous reply.
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    connected_ = true;
    asio::co_spawn(io_, read_replies(), [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
    });

    if (options_.mode == Mode::load) {
        co_await send_load();
    } else {
        co_await send_lines();
    }
    sending_done_ = true;
    co_await await_replies();
    if (options_.keep_open_ms > 0 && !over()) co_await pause_until(Clock::now() + ms(options_.keep_open_ms));
    close();
    if (!options_.stamps_path.empty()) write_stamps();
}

void GatewayClient::write_stamps() {
    std::ofstream out(options_.stamps_path, std::ios::binary | std::ios::trunc);
    for (const auto& [id, at] : stamps_) {
        out << id << ' ' << std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count()
            << '\n';
    }
    out.flush();
    if (!out) fail("cannot write " + options_.stamps_path);
}

void GatewayClient::stop() {
    stopping_ = true;
    resolver_.cancel();
    close();
}

void GatewayClient::fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    close();
}

void GatewayClient::close() {
    closed_ = true;
    asio::error_code ignored;
    socket_.close(ignored);
    pause_.cancel();
    wakeup_.cancel();
    if (stdin_) stdin_->close();
}

asio::awaitable<void> GatewayClient::read_replies() {
    std::vector<char> chunk(kReadChunk);
    std::string received;
    const bool print_replies = options_.mode == Mode::lines;
    for (;;) {
        asio::error_code ec;
        const std::size_t n = co_await socket_.async_read_some(asio::buffer(chunk), with_error(ec));
        if (ec) {
            if (closed_) co_return;  // our own close
            if (sending_done_ && tracker_.outstanding() == 0) {
                close();  // nothing more was owed: the gateway may hang up
            } else {
                fail(ec == asio::error::eof ? std::string("the gateway closed the connection")
                                            : "connection lost: " + ec.message());
            }
            co_return;
        }
        const auto now = Clock::now();
        received.append(chunk.data(), n);
        std::size_t start = 0;
        for (auto lf = received.find('\n'); lf != std::string::npos; lf = received.find('\n', start)) {
            const std::string_view line(received.data() + start, lf - start);
            start = lf + 1;
            const ReplyMatch match = tracker_.on_reply(line, now);
            if (match == ReplyMatch::matched) {
                last_progress_ = std::max(last_progress_, now);
                last_match_ = now;
            }
            if (print_replies) {
                std::cout << "reply: " << line << '\n';
            } else if (match != ReplyMatch::matched && reported_strays_ < kStrayReplyLimit) {
                ++reported_strays_;
                std::cerr << "kelvarix-alarmsim: " << describe(match) << " reply: " << line << '\n';
            }
        }
        received.erase(0, start);
        if (print_replies) std::cout.flush();
        wakeup_.cancel();
    }
}

asio::awaitable<void> GatewayClient::send_lines() {
    std::vector<LineSource> sources = options_.sources;
    if (sources.empty()) sources.push_back({LineSource::Kind::standard_input, {}});
    std::size_t file_index = 0;
    for (const auto& source : sources) {
        switch (source.kind) {
            case LineSource::Kind::line:
                if (!co_await send_line(source.text)) co_return;
                break;
            case LineSource::Kind::file:
                for (const auto& line : file_lines_.at(file_index)) {
                    if (!co_await send_line(line)) co_return;
                }
                ++file_index;
                break;
            case LineSource::Kind::standard_input:
                if (!stdin_) stdin_ = std::make_unique<StdinLines>(io_);
                while (auto line = co_await stdin_->next()) {
                    if (!co_await send_line(std::move(*line))) co_return;
                }
                if (over()) co_return;
                break;
        }
    }
}

asio::awaitable<bool> GatewayClient::send_line(std::string line) {
    if (over()) co_return false;
    if (first_send_ && options_.interval_ms > 0) {
        co_await pause_until(last_send_ + ms(options_.interval_ms));
        if (over()) co_return false;
    }
    line += '\n';
    const auto now = Clock::now();
    for (auto& id : reply_ids(line)) tracker_.expect(std::move(id), now);
    const auto lines = static_cast<std::size_t>(std::count(line.begin(), line.end(), '\n'));
    co_return co_await write(line, lines, now);
}

asio::awaitable<void> GatewayClient::send_load() {
    LoadAlarms alarms(options_.destination, options_.text_bytes, options_.repeat_share);
    const std::uint64_t total = options_.count;
    const auto start = Clock::now();
    const auto due = [&](std::uint64_t k) {
        return start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(static_cast<double>(k) / options_.rate));
    };
    const auto wait = ms(options_.wait_ms);
    const bool stamping = !options_.stamps_path.empty();
    if (stamping) stamps_.reserve(total);
    std::uint64_t next = 0;
    std::string batch;
    std::vector<std::string> ids;
    std::string id;
    while (next < total && !over()) {
        batch.clear();
        std::size_t in_batch = 0;
        Clock::time_point at;
        if (options_.rate > 0) {
            if (Clock::now() < due(next)) {
                co_await pause_until(due(next));
                continue;
            }
            at = Clock::now();
            // Everything due goes now; each line's latency counts from its
            // schedule, so a gateway that holds us up cannot hide the delay.
            while (next < total && due(next) <= at && batch.size() < kWriteBatch) {
                batch.append(alarms.next(id)).push_back('\n');
                if (stamping) stamps_.emplace_back(id, at);
                tracker_.expect(std::move(id), due(next));
                ++next;
                ++in_batch;
            }
        } else {
            const std::size_t open = tracker_.outstanding();
            if (options_.window > 0 && open >= options_.window) {
                if (Clock::now() >= last_progress_ + wait) break;  // the gateway stopped answering
                co_await wait_for_reply(last_progress_ + wait);
                continue;
            }
            const std::size_t room =
                options_.window > 0 ? options_.window - open : std::numeric_limits<std::size_t>::max();
            while (next < total && in_batch < room && batch.size() < kWriteBatch) {
                batch.append(alarms.next(id)).push_back('\n');
                ids.push_back(std::move(id));
                ++next;
                ++in_batch;
            }
            at = Clock::now();
            for (auto& each : ids) {
                if (stamping) stamps_.emplace_back(each, at);
                tracker_.expect(std::move(each), at);
            }
            ids.clear();
        }
        if (!co_await write(batch, in_batch, at)) co_return;
    }
}

asio::awaitable<bool> GatewayClient::write(const std::string& text, std::size_t lines, Clock::time_point at) {
    if (!first_send_) first_send_ = at;
    last_send_ = at;
    asio::error_code ec;
    co_await asio::async_write(socket_, asio::buffer(text), with_error(ec));
    if (ec) {
        if (!closed_) fail("cannot send: " + ec.message());
        co_return false;
    }
    lines_sent_ += lines;
    last_progress_ = std::max(last_progress_, Clock::now());
    co_return true;
}

asio::awaitable<void> GatewayClient::await_replies() {
    const auto wait = ms(options_.wait_ms);
    while (!over() && tracker_.outstanding() > 0) {
        const auto deadline = last_progress_ + wait;
        if (Clock::now() >= deadline) {
            std::cerr << "kelvarix-alarmsim: no reply for " << options_.wait_ms << " ms; "
                      << tracker_.outstanding() << " still owed\n";
            break;
        }
        co_await wait_for_reply(deadline);
    }
}

asio::awaitable<void> GatewayClient::pause_until(Clock::time_point deadline) {
    pause_.expires_at(deadline);
    asio::error_code ignored;  // cancelled by close(): the caller checks over()
    co_await pause_.async_wait(with_error(ignored));
}

asio::awaitable<void> GatewayClient::wait_for_reply(Clock::time_point deadline) {
    wakeup_.expires_at(deadline);
    asio::error_code ignored;  // cancelled by each batch of replies
    co_await wakeup_.async_wait(with_error(ignored));
}

Report GatewayClient::report() const {
    Report r;
    r.mode = options_.mode;
    r.lines = lines_sent_;
    r.counts = tracker_.counts();
    r.missing = tracker_.outstanding();
    if (first_send_ && r.counts.matched > 0) {
        r.elapsed_s = std::chrono::duration<double>(last_match_ - *first_send_).count();
    }
    r.latency = summarize(tracker_.latencies_ns());
    r.error = error_;
    return r;
}

}  // namespace kelvarix::alarmsim
