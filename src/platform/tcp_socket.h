#pragma once
// A TCP connection that behaves like the socket control the gateway was
// designed around: a state (0 closed, 6 connecting, 7 connected, 8 closing,
// 9 error), connect, send, close, and events for data, close and error.
// Sends never block the event thread: what the kernel does not take at once
// waits in an outgoing buffer.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kelvarix {

class TcpSocket {
public:
    static constexpr int sckClosed = 0;
    static constexpr int sckConnecting = 6;
    static constexpr int sckConnected = 7;
    static constexpr int sckClosing = 8;
    static constexpr int sckError = 9;

    // Data the peer does not read beyond this is a fault of the peer: the
    // connection then ends with an error rather than growing without end.
    static constexpr std::size_t kMaxPendingOutput = 8 * 1024 * 1024;

    struct Events {
        std::function<void(std::string_view data)> data;
        std::function<void()> connected;
        std::function<void()> close;                            // the peer closed
        std::function<void(const std::string& description)> error;
    };

    explicit TcpSocket(asio::any_io_executor executor);
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    void SetEvents(Events events) { events_ = std::move(events); }
    int State() const { return state_; }

    // Starts a connection; the outcome arrives as the connected or error event.
    void Connect(const std::string& host, std::int32_t port);
    // Takes over a connection accepted by a listener.
    void Accept(asio::ip::tcp::socket socket);
    // Queues text for sending; false when not connected.
    bool SendData(std::string_view text);
    void Close();

    // Flow control: while paused, nothing more is read, so the kernel's
    // buffers fill and the peer is held back by TCP itself. A pause asked
    // for inside the data event takes effect at once; one asked for
    // elsewhere lets at most the read already under way deliver its data.
    // A new connection starts unpaused. A close by the peer is only seen
    // once reading resumes.
    void PauseReading() { read_paused_ = true; }
    void ResumeReading();
    bool ReadingPaused() const { return read_paused_; }

    std::string RemoteAddress() const;

private:
    asio::awaitable<void> ConnectLoop(std::uint64_t generation, std::string host,
                                      std::string port);
    asio::awaitable<void> ReadLoop(std::uint64_t generation);
    asio::awaitable<void> WriteLoop(std::uint64_t generation);
    void Started();
    void Failed(const std::string& description);

    asio::any_io_executor executor_;
    asio::ip::tcp::socket socket_;
    Events events_;
    int state_ = sckClosed;
    std::uint64_t generation_ = 0;  // bumped on close; stale completions see it and stop
    // Pending completions outlive the object when it is destroyed first (in
    // tests); they hold this token's weak side and stop when it is gone.
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
    std::string pending_output_;
    bool writing_ = false;
    bool read_paused_ = false;
    bool reading_ = false;  // a read loop runs for the current connection
};

}  // namespace kelvarix
