#include "baseline.h"

#include "load_alarms.h"

#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <algorithm>

namespace kelvarix::alarmsim {
namespace {

// Four bytes, the size of "ack" and a line end; LF so both ends frame alike.
constexpr std::string_view kAnswer = "ack\n";

auto with_error(asio::error_code& ec) { return asio::redirect_error(asio::use_awaitable, ec); }

// The answering end: plain blocking calls on its own thread, one answer per
// line, until the client hangs up.
void answer_lines(asio::ip::tcp::socket& socket) {
    char buffer[4096];
    for (;;) {
        asio::error_code ec;
        const std::size_t n = socket.read_some(asio::buffer(buffer), ec);
        if (ec) return;
        for (auto lines = std::count(buffer, buffer + n, '\n'); lines > 0; --lines) {
            asio::write(socket, asio::buffer(kAnswer), ec);
            if (ec) return;
        }
    }
}

}  // namespace

Baseline::Baseline(asio::io_context& io, const Options& options)
    : options_(options), client_(io), pace_(io), answerer_(answer_io_) {}

Baseline::~Baseline() { finish(); }

asio::awaitable<void> Baseline::run() {
    asio::ip::tcp::acceptor acceptor(answer_io_);
    const asio::ip::tcp::endpoint any_loopback_port(asio::ip::address_v4::loopback(), 0);
    asio::error_code ec;
    acceptor.open(any_loopback_port.protocol(), ec);
    if (!ec) acceptor.bind(any_loopback_port, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    asio::ip::tcp::endpoint listening;
    if (!ec) listening = acceptor.local_endpoint(ec);
    if (ec) {
        error_ = "cannot listen on loopback: " + ec.message();
        co_return;
    }
    co_await client_.async_connect(listening, with_error(ec));
    if (stopping_) co_return;
    if (!ec) acceptor.accept(answerer_, ec);  // already queued by the connect: does not block
    if (ec) {
        error_ = "cannot connect over loopback: " + ec.message();
        co_return;
    }
    client_.set_option(asio::ip::tcp::no_delay(true), ec);
    answerer_.set_option(asio::ip::tcp::no_delay(true), ec);
    connected_ = true;
    answering_ = std::thread([this] { answer_lines(answerer_); });

    co_await exchange();
    finish();
}

void Baseline::finish() {
    // Closing our end is what ends the answering thread.
    asio::error_code ignored;
    client_.close(ignored);
    if (answering_.joinable()) answering_.join();
}

asio::awaitable<void> Baseline::exchange() {
    std::string id;
    const std::string line = LoadAlarms(options_.destination, options_.text_bytes, 0.0).next(id) + '\n';
    latencies_ns_.reserve(options_.count);
    std::string received;
    first_ = Clock::now();
    for (std::uint64_t i = 0; i < options_.count && !stopping_; ++i) {
        asio::error_code ec;
        if (options_.rate > 0) {
            // The same schedule as a paced load run: both ends sleep between
            // lines, so each round trip includes waking them.
            pace_.expires_at(first_ + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(static_cast<double>(i) / options_.rate)));
            co_await pace_.async_wait(with_error(ec));
            if (stopping_) co_return;
        }
        const auto start = Clock::now();
        co_await asio::async_write(client_, asio::buffer(line), with_error(ec));
        if (!ec) ++sent_;
        std::size_t n = 0;
        if (!ec) n = co_await asio::async_read_until(client_, asio::dynamic_buffer(received), '\n', with_error(ec));
        if (ec) {
            if (!stopping_) {
                error_ = "loopback exchange failed: " + ec.message();
            } else if (sent_ > latencies_ns_.size()) {
                --sent_;  // cut short by SIGINT: not a lost answer
            }
            co_return;
        }
        last_ = Clock::now();
        received.erase(0, n);
        latencies_ns_.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(last_ - start).count());
    }
}

void Baseline::stop() {
    stopping_ = true;
    asio::error_code ignored;
    client_.close(ignored);
    pace_.cancel();
}

Report Baseline::report() const {
    Report r;
    r.mode = Mode::baseline;
    r.lines = sent_;
    r.counts.expected = sent_;
    r.counts.replies = latencies_ns_.size();
    r.counts.matched = latencies_ns_.size();
    r.missing = sent_ - latencies_ns_.size();
    if (!latencies_ns_.empty()) r.elapsed_s = std::chrono::duration<double>(last_ - first_).count();
    r.latency = summarize(latencies_ns_);
    r.error = error_;
    return r;
}

}  // namespace kelvarix::alarmsim
