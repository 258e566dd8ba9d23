#pragma once
// The listening socket: it stays listening for the life of the program and
// hands every accepted connection to its handler.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/error_code.hpp>
#include <asio/ip/tcp.hpp>
#include <functional>
#include <memory>
#include <string>

namespace kelvarix {

class TcpListener {
public:
    using RequestHandler = std::function<void(asio::ip::tcp::socket)>;

    explicit TcpListener(asio::any_io_executor executor)
        : executor_(executor), acceptor_(std::move(executor)) {}
    ~TcpListener() { lifetime_.reset(); }

    // Listens on the port of the given address ("" for every interface).
    // Returns "" on success, otherwise the platform's description of the error.
    std::string Listen(const std::string& address, int port, RequestHandler handler);
    void Close();

    // Binds a socket to the port as Listen would and closes it again, without
    // listening: tells whether the port could be opened.
    static asio::error_code TryBind(const std::string& address, int port);
    int LocalPort() const;

private:
    asio::awaitable<void> AcceptLoop();

    asio::any_io_executor executor_;
    asio::ip::tcp::acceptor acceptor_;
    RequestHandler handler_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);  // see TcpSocket
};

}  // namespace kelvarix
