#pragma once
// The metrics endpoint: answers GET /metrics on the gateway's own event loop.
// A slow or hostile client cannot hold the gateway: at most kMaxConnections
// at once (more are closed on arrival), each closed after kDeadline, and a
// request head over kMaxRequestBytes is refused.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/tcp_listener.h"

namespace kelvarix {

class MetricsServer {
public:
    static constexpr std::size_t kMaxConnections = 8;
    static constexpr std::chrono::seconds kDeadline{5};

    // page: the metrics text, formed at each scrape.
    using Page = std::function<std::string()>;

    MetricsServer(asio::any_io_executor executor, Page page);
    ~MetricsServer();

    // "" or the platform's description of the error.
    std::string Listen(const std::string& address, int port);
    int LocalPort() const { return listener_.LocalPort(); }
    std::size_t OpenConnections() const { return connections_; }

private:
    asio::awaitable<void> Serve(asio::ip::tcp::socket socket);

    asio::any_io_executor executor_;
    Page page_;
    TcpListener listener_;
    std::size_t connections_ = 0;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace kelvarix
