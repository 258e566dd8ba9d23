#include "server.h"

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#ifdef _WIN32
#include <asio/post.hpp>
#include <iostream>
#include <thread>
#endif

#include "text.h"

namespace kelvarix::pbxsim {

namespace {

constexpr auto kAwait = asio::experimental::as_tuple(asio::use_awaitable);
constexpr auto kCloseGrace = std::chrono::seconds{1};

// A coroutine that fails is a bug: let it end the program loudly.
void rethrow(std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
}

}  // namespace

Printer::Printer(bool quiet, const std::string& stamps_path) : quiet_(quiet) {
    if (stamps_path.empty()) return;
    stamps_ = std::fopen(stamps_path.c_str(), "w");
    if (stamps_ == nullptr) {
        throw std::runtime_error("cannot write " + stamps_path + ": " + std::strerror(errno));
    }
}

Printer::~Printer() {
    if (stamps_ != nullptr) std::fclose(stamps_);
}

void Printer::event(std::string_view line) {
    write(line);
    std::fflush(stdout);
}

void Printer::actions(const std::vector<Action>& actions, TimePoint received_at) {
    bool any = false;
    bool stamped = false;
    for (const auto& action : actions) {
        if (stamps_ != nullptr && action.kind == Action::Kind::received &&
            action.text.starts_with("SA\t")) {
            const auto fields = split_fields(action.text);
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                received_at.time_since_epoch());
            std::fprintf(stamps_, "%.*s %lld\n", static_cast<int>(fields[1].size()),
                         fields[1].data(), static_cast<long long>(ns.count()));
            stamped = true;
        }
        if (const auto line = output_line(action, quiet_)) {
            write(*line);
            any = true;
        }
    }
    if (any) std::fflush(stdout);
    if (stamped) std::fflush(stamps_);
}

void Printer::write(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

// One accepted socket and its Session. A reader coroutine feeds received
// bytes, a timer coroutine wakes the session at its next deadline, and
// writes are chained handlers: starting one sends the bytes at once, before
// the output lines are printed.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(asio::ip::tcp::socket socket, const SessionConfig& config, Printer& printer)
        : socket_(std::move(socket)),
          timer_(socket_.get_executor()),
          session_(config),
          printer_(printer) {}

    void start() {
        asio::error_code ec;
        socket_.set_option(asio::ip::tcp::no_delay(true), ec);
        const auto peer = socket_.remote_endpoint(ec);
        printer_.event(ec ? std::string{"connected"}
                          : "connected " + peer.address().to_string() + ":" +
                                std::to_string(peer.port()));
        perform(session_.start(Clock::now()));
        if (closed_) return;
        asio::co_spawn(socket_.get_executor(), read_loop(shared_from_this()), rethrow);
        asio::co_spawn(socket_.get_executor(), timer_loop(shared_from_this()), rethrow);
    }

    bool is_open() const { return !closed_ && !session_.closing(); }

    void type_line(std::string_view line) { perform(session_.operator_line(line)); }

    // Hang up at once, whatever is still unsent.
    void drop(std::string_view reason) {
        if (closed_) return;
        if (!reason.empty()) printer_.event("dropped: " + std::string{reason});
        finish();
    }

  private:
    asio::awaitable<void> read_loop(std::shared_ptr<Connection>) {
        std::array<char, 4096> buffer;
        for (;;) {
            const auto [ec, n] = co_await socket_.async_read_some(asio::buffer(buffer), kAwait);
            if (closed_ || closing_) co_return;
            if (ec) {
                if (ec != asio::error::eof) printer_.event("error: " + ec.message());
                finish();
                co_return;
            }
            const TimePoint now = Clock::now();
            perform(session_.on_data({buffer.data(), n}, now), now);
        }
    }

    asio::awaitable<void> timer_loop(std::shared_ptr<Connection>) {
        while (!closed_ && !closing_) {
            armed_ = session_.next_deadline().value_or(TimePoint::max());
            timer_.expires_at(armed_);
            co_await timer_.async_wait(kAwait);
            if (closed_ || closing_) co_return;
            perform(session_.on_timer(Clock::now()));
        }
    }

    void perform(std::vector<Action> actions, TimePoint received_at = {}) {
        if (closed_) return;
        bool close = false;
        for (auto& action : actions) {
            if (action.kind == Action::Kind::send || action.kind == Action::Kind::send_unlogged) {
                outbox_ += action.text;
            } else if (action.kind == Action::Kind::close) {
                close = true;
            }
        }
        // Write first: printing must not delay a reply.
        write_pending();
        printer_.actions(actions, received_at);
        if (close) {
            closing_ = true;
            if (!writing_) {
                finish();
            } else {
                // A gateway that stopped reading (a flood, say) must not keep
                // the link open: give the last lines a moment, then hang up.
                timer_.expires_after(kCloseGrace);
                timer_.async_wait([self = shared_from_this()](asio::error_code ec) {
                    if (!ec) self->finish();
                });
            }
        }
        // An earlier deadline needs the timer re-armed; a later one just
        // wakes the timer loop early, which then re-arms.
        if (!closing_ && session_.next_deadline().value_or(TimePoint::max()) < armed_)
            timer_.cancel();
    }

    void write_pending() {
        if (writing_ || outbox_.empty() || closed_) return;
        writing_ = true;
        in_flight_.swap(outbox_);
        outbox_.clear();
        asio::async_write(socket_, asio::buffer(in_flight_),
                          [self = shared_from_this()](asio::error_code ec, std::size_t) {
                              self->writing_ = false;
                              self->in_flight_.clear();
                              if (self->closed_) return;
                              if (ec) {
                                  self->printer_.event("error: " + ec.message());
                                  self->finish();
                              } else if (!self->outbox_.empty()) {
                                  self->write_pending();
                              } else if (self->closing_) {
                                  self->finish();
                              }
                          });
    }

    void finish() {
        if (closed_) return;
        closed_ = true;
        asio::error_code ec;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        socket_.close(ec);
        timer_.cancel();
        printer_.event("closed");
    }

    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    Session session_;
    Printer& printer_;
    TimePoint armed_ = TimePoint::max();
    std::string outbox_;
    std::string in_flight_;
    bool writing_ = false;
    bool closing_ = false;  // the session hung up; send what is queued, then close
    bool closed_ = false;
};

Server::Server(asio::io_context& io, Options options)
    : io_(io),
      options_(std::move(options)),
      printer_(options_.quiet, options_.stamps_path),
      acceptor_(io, {asio::ip::make_address(options_.bind), options_.port}),
#ifndef _WIN32
      input_(io),
#endif
      signals_(io, SIGINT, SIGTERM) {}

Server::~Server() = default;

std::uint16_t Server::port() const {
    return acceptor_.local_endpoint().port();
}

void Server::start() {
    printer_.event("listening " + std::to_string(port()));
    signals_.async_wait([this](asio::error_code ec, int) {
        if (ec) return;
        stop();
        printer_.event("stopped");
    });
    asio::co_spawn(io_, accept_loop(), rethrow);
    read_stdin();
}

void Server::stop() {
    if (stopped_) return;
    stopped_ = true;
    asio::error_code ec;
    acceptor_.close(ec);
#ifndef _WIN32
    input_.close(ec);
#endif
    signals_.cancel(ec);
    if (current_) current_->drop({});
    current_.reset();
}

asio::awaitable<void> Server::accept_loop() {
    for (;;) {
        auto [ec, socket] = co_await acceptor_.async_accept(kAwait);
        if (stopped_) co_return;
        if (ec == asio::error::operation_aborted) co_return;
        if (ec) {
            printer_.event("error: accept: " + ec.message());
            continue;
        }
        if (current_) current_->drop("replaced by a new connection");
        current_ = std::make_shared<Connection>(std::move(socket), options_.session, printer_);
        current_->start();
    }
}

void Server::typed(std::string line) {
    if (line.ends_with('\r')) line.pop_back();
    if (current_ && current_->is_open()) {
        current_->type_line(line);
    } else {
        printer_.event("not sent, no connection: " + escape_controls(line));
    }
}

#ifdef _WIN32
void Server::read_stdin() {
    // Windows cannot wait for a console or pipe on the event loop: a thread
    // reads the lines and hands each to the loop. It is left blocked in its
    // read when the simulator stops; the process ends it.
    std::thread([this] {
        for (std::string line; std::getline(std::cin, line);) {
            asio::post(io_, [this, line = std::move(line)]() mutable {
                if (!stopped_) typed(std::move(line));
            });
        }
    }).detach();
}
#else
void Server::read_stdin() {
    // A regular file or /dev/null cannot be watched for input; then nothing
    // can be typed and the simulator simply runs on.
    asio::error_code ec;
    input_.assign(0, ec);
    if (ec) return;
    asio::co_spawn(
        io_,
        [this]() -> asio::awaitable<void> {
            std::string pending;
            for (;;) {
                const auto [error, n] = co_await asio::async_read_until(
                    input_, asio::dynamic_buffer(pending), '\n', kAwait);
                if (stopped_) co_return;
                // End of input (or a terminal we may not read from in the
                // background): keep serving the gateway.
                if (error) co_return;
                std::string line = pending.substr(0, n - 1);
                pending.erase(0, n);
                typed(std::move(line));
            }
        },
        rethrow);
}
#endif

}  // namespace kelvarix::pbxsim
