#pragma once
// The Asio shell of the simulator: the listener, the one open connection,
// standard input and the output lines. All protocol decisions are Session's.
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <cstdio>
#ifndef _WIN32
#include <asio/posix/stream_descriptor.hpp>
#endif
#include <memory>
#include <string_view>
#include <vector>

#include "options.h"
#include "session.h"

namespace kelvarix::pbxsim {

// Writes output lines to standard output, each batch flushed at once, and
// notes the arrival time of each SA in the stamps file when there is one.
class Printer {
  public:
    // Throws std::runtime_error when the stamps file cannot be opened.
    Printer(bool quiet, const std::string& stamps_path);
    ~Printer();
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    void event(std::string_view line);
    void actions(const std::vector<Action>& actions, TimePoint received_at = {});

  private:
    void write(std::string_view line);
    bool quiet_;
    std::FILE* stamps_ = nullptr;
};

class Connection;

class Server {
  public:
    // Opens the listener; throws std::system_error when it cannot.
    Server(asio::io_context& io, Options options);
    ~Server();
    std::uint16_t port() const;
    // Starts accepting, reading standard input and watching for SIGINT/SIGTERM.
    void start();
    void stop();

  private:
    asio::awaitable<void> accept_loop();
    void read_stdin();
    void typed(std::string line);

    asio::io_context& io_;
    Options options_;
    Printer printer_;
    asio::ip::tcp::acceptor acceptor_;
#ifndef _WIN32
    asio::posix::stream_descriptor input_;
#endif
    asio::signal_set signals_;
    std::shared_ptr<Connection> current_;
    bool stopped_ = false;
};

}  // namespace kelvarix::pbxsim
