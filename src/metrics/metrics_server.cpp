#include "metrics/metrics_server.h"

#include <asio/buffer.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include "metrics/http_request.h"
#include "platform/awaitable.h"

namespace kelvarix {

MetricsServer::MetricsServer(asio::any_io_executor executor, Page page)
    : executor_(executor), page_(std::move(page)), listener_(std::move(executor)) {}

MetricsServer::~MetricsServer() { lifetime_.reset(); }

std::string MetricsServer::Listen(const std::string& address, int port) {
    return listener_.Listen(address, port, [this](asio::ip::tcp::socket socket) {
        if (connections_ >= kMaxConnections) return;  // the socket closes as it goes
        ++connections_;
        asio::co_spawn(executor_, Serve(std::move(socket)), asio::detached);
    });
}

asio::awaitable<void> MetricsServer::Serve(asio::ip::tcp::socket socket_in) {
    const std::weak_ptr<int> alive = lifetime_;
    // The watchdog shares the socket, so it may still fire after this returns.
    auto socket = std::make_shared<asio::ip::tcp::socket>(std::move(socket_in));
    asio::steady_timer deadline(executor_, kDeadline);
    deadline.async_wait([socket](asio::error_code error) {
        asio::error_code ignored;
        if (!error) socket->close(ignored);
    });

    std::string received;
    RequestVerdict verdict = RequestVerdict::NeedMore;
    char chunk[1024];
    while (verdict == RequestVerdict::NeedMore) {
        auto [error, n] = co_await socket->async_read_some(asio::buffer(chunk), kAwaitTuple);
        if (error) break;
        received.append(chunk, n);
        verdict = JudgeRequest(received);
    }
    if (verdict != RequestVerdict::NeedMore && !alive.expired()) {
        const std::string body = verdict == RequestVerdict::Metrics ? page_() : std::string();
        const std::string response = HttpResponse(verdict, body);
        co_await asio::async_write(*socket, asio::buffer(response), kAwaitTuple);
    }
    deadline.cancel();
    asio::error_code ignored;
    socket->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket->close(ignored);
    if (!alive.expired()) --connections_;
}

}  // namespace kelvarix
