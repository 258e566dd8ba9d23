#include "platform/tcp_socket.h"

#include <array>
#include "platform/awaitable.h"
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace kelvarix {


TcpSocket::TcpSocket(asio::any_io_executor executor)
    : executor_(executor), socket_(std::move(executor)) {}

TcpSocket::~TcpSocket() {
    lifetime_.reset();
    asio::error_code ignored;
    socket_.close(ignored);
}

void TcpSocket::Connect(const std::string& host, std::int32_t port) {
    Close();
    state_ = sckConnecting;
    asio::co_spawn(executor_, ConnectLoop(generation_, host, std::to_string(port)),
                   asio::detached);
}

asio::awaitable<void> TcpSocket::ConnectLoop(std::uint64_t generation, std::string host,
                                             std::string port) {
    const std::weak_ptr<int> alive = lifetime_;
    asio::ip::tcp::resolver resolver(executor_);
    auto [resolve_error, endpoints] = co_await resolver.async_resolve(host, port, kAwaitTuple);
    if (alive.expired() || generation != generation_) co_return;
    if (resolve_error) {
        Failed(resolve_error.message());
        co_return;
    }
    auto [connect_error, endpoint] = co_await asio::async_connect(socket_, endpoints, kAwaitTuple);
    if (alive.expired() || generation != generation_) co_return;
    if (connect_error) {
        Failed(connect_error.message());
        co_return;
    }
    Started();
    if (events_.connected) events_.connected();
}

void TcpSocket::Accept(asio::ip::tcp::socket socket) {
    Close();
    socket_ = std::move(socket);
    Started();
}

void TcpSocket::Started() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
    state_ = sckConnected;
    read_paused_ = false;
    reading_ = true;
    asio::co_spawn(executor_, ReadLoop(generation_), asio::detached);
}

void TcpSocket::ResumeReading() {
    read_paused_ = false;
    if (state_ != sckConnected || reading_) return;
    reading_ = true;
    asio::co_spawn(executor_, ReadLoop(generation_), asio::detached);
}

void TcpSocket::Failed(const std::string& description) {
    asio::error_code ignored;
    socket_.close(ignored);
    state_ = sckError;
    if (events_.error) events_.error(description);
}

asio::awaitable<void> TcpSocket::ReadLoop(std::uint64_t generation) {
    const std::weak_ptr<int> alive = lifetime_;
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        auto [error, count] = co_await socket_.async_read_some(asio::buffer(buffer), kAwaitTuple);
        if (alive.expired() || generation != generation_) co_return;
        if (!error) {
            if (events_.data) events_.data(std::string_view(buffer.data(), count));
            if (generation != generation_) co_return;  // the handler closed us
            if (read_paused_) {
                reading_ = false;  // ResumeReading starts the next loop
                co_return;
            }
            continue;
        }
        if (error == asio::error::eof) {
            state_ = sckClosing;
            if (events_.close) events_.close();
        } else {
            Failed(error.message());
        }
        co_return;
    }
}

bool TcpSocket::SendData(std::string_view text) {
    if (state_ != sckConnected) return false;
    if (!writing_ && pending_output_.empty()) {
        // Most lines go out at once; only what the kernel refuses waits.
        asio::error_code error;
        const std::size_t sent = socket_.write_some(asio::buffer(text.data(), text.size()), error);
        if (error && error != asio::error::would_block && error != asio::error::try_again) {
            return true;  // the read side reports the broken connection
        }
        text.remove_prefix(sent);
        if (text.empty()) return true;
    }
    if (pending_output_.size() + text.size() > kMaxPendingOutput) {
        Failed("the peer does not read what is sent to it");
        return false;
    }
    pending_output_.append(text);
    if (!writing_) {
        writing_ = true;
        asio::co_spawn(executor_, WriteLoop(generation_), asio::detached);
    }
    return true;
}

asio::awaitable<void> TcpSocket::WriteLoop(std::uint64_t generation) {
    const std::weak_ptr<int> alive = lifetime_;
    while (!pending_output_.empty()) {
        std::string chunk;
        chunk.swap(pending_output_);
        auto [error, count] = co_await asio::async_write(socket_, asio::buffer(chunk), kAwaitTuple);
        if (alive.expired() || generation != generation_) co_return;
        if (error) break;  // the read side reports the broken connection
    }
    writing_ = false;
}

void TcpSocket::Close() {
    ++generation_;
    asio::error_code ignored;
    socket_.close(ignored);
    state_ = sckClosed;
    pending_output_.clear();
    writing_ = false;
    read_paused_ = false;
    reading_ = false;
}

std::string TcpSocket::RemoteAddress() const {
    asio::error_code error;
    const auto endpoint = socket_.remote_endpoint(error);
    return error ? std::string() : endpoint.address().to_string();
}

}  // namespace kelvarix
