#include "platform/tcp_listener.h"

#include "platform/awaitable.h"
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace kelvarix {

namespace {

// Opens the acceptor on the port of the given address ("" for every
// interface) and binds it; the error when that fails.
asio::error_code OpenAndBind(asio::ip::tcp::acceptor& acceptor, const std::string& address,
                             int port) {
    if (port < 0 || port > 65535) return std::make_error_code(std::errc::invalid_argument);
    asio::error_code error;
    asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), static_cast<unsigned short>(port));
    bool dual_stack = true;
    if (!address.empty()) {
        const auto ip = asio::ip::make_address(address, error);
        if (error) return error;
        endpoint = asio::ip::tcp::endpoint(ip, static_cast<unsigned short>(port));
        dual_stack = false;
    }
    acceptor.open(endpoint.protocol(), error);
    if (error && dual_stack) {
        // No IPv6 on this machine: every IPv4 interface instead.
        endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), static_cast<unsigned short>(port));
        dual_stack = false;
        error.clear();
        acceptor.open(endpoint.protocol(), error);
    }
    if (error) return error;
    // An IPv4 address written as IPv6 ("::ffff:10.0.0.5") is reached over
    // IPv4, whatever the system's default for IPv6 sockets.
    const bool v4_mapped = endpoint.address().is_v6() && endpoint.address().to_v6().is_v4_mapped();
    if (dual_stack || v4_mapped) acceptor.set_option(asio::ip::v6_only(false), error);
#ifndef _WIN32
    // Rebinds a port whose last connections linger in TIME_WAIT. Windows does
    // that without it, and there it would let a second program take the port.
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
#endif
    acceptor.bind(endpoint, error);
    return error;
}

}  // namespace

std::string TcpListener::Listen(const std::string& address, int port, RequestHandler handler) {
    handler_ = std::move(handler);
    asio::error_code error = OpenAndBind(acceptor_, address, port);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        return error.message();
    }
    asio::co_spawn(executor_, AcceptLoop(), asio::detached);
    return {};
}

asio::error_code TcpListener::TryBind(const std::string& address, int port) {
    asio::io_context io(1);
    asio::ip::tcp::acceptor acceptor(io);
    return OpenAndBind(acceptor, address, port);  // the acceptor closes on leaving
}

asio::awaitable<void> TcpListener::AcceptLoop() {
    const std::weak_ptr<int> alive = lifetime_;
    for (;;) {
        auto [error, socket] = co_await acceptor_.async_accept(kAwaitTuple);
        if (alive.expired() || error == asio::error::operation_aborted || !acceptor_.is_open()) {
            co_return;
        }
        if (error) {
            // Out of descriptors or a similar passing fault: do not spin.
            asio::steady_timer pause(executor_, std::chrono::milliseconds(100));
            co_await pause.async_wait(kAwaitTuple);
            if (alive.expired()) co_return;
            continue;
        }
        if (handler_) handler_(std::move(socket));
    }
}

void TcpListener::Close() {
    asio::error_code ignored;
    acceptor_.close(ignored);
}

int TcpListener::LocalPort() const {
    asio::error_code error;
    const auto endpoint = acceptor_.local_endpoint(error);
    return error ? 0 : endpoint.port();
}

}  // namespace kelvarix
