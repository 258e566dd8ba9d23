#pragma once
// The gateway's side of the ATAS link: its state, the two ways to send, the
// handling of everything the PBX sends, and the command lane that keeps one
// command at a time waiting for its reply.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "logging/logger.h"
#include "metrics/command_stats.h"
#include "pbx/atas_protocol.h"
#include "platform/async_signal.h"
#include "platform/tcp_socket.h"
#include "queue/message_queue.h"

namespace kelvarix {

class AtasLink {
public:
    // Received text that brings no CR for this long is dropped.
    static constexpr std::size_t kMaxReceiveBuffer = 64 * 1024;

    AtasLink(asio::any_io_executor executor, const Settings& settings, Logger& logger,
             MessageQueue& queue);

    // --- link state -----------------------------------------------------
    std::string ATASReceiveBuffer;
    bool ATASSessionReady = false;
    bool ATASLoginRefused = false;
    ReplySlots ExpectedReplies;
    std::int16_t MatchedReply = 0;

    // --- counts for the metrics ----------------------------------------------
    CommandStats command_stats;
    std::uint64_t terminal_acknowledgements = 0;  // OPM lines of code 2

    const std::string& RemoteHost() const { return remote_host_; }
    std::int32_t RemotePort() const { return remote_port_; }
    void SetRemote(std::string host, std::int32_t port);
    int State() const { return socket_.State(); }
    bool Connected() const { return socket_.State() == TcpSocket::sckConnected; }

    // --- sending ----------------------------------------------------------
    // Sends the text unchanged and logs it, only while connected.
    void SendToATAS(std::string_view text);
    // Sends a command and waits for one of the expected replies (upper-cased
    // into the slots). 1..4: the slot that matched; 0: none within the
    // time-out. A command started while another waits is held back until the
    // first has its result; its own time-out counts from its send.
    asio::awaitable<std::int16_t> SendATASCommand(std::string line, std::string_view reply1,
                                                  std::string_view reply2,
                                                  std::string_view reply3,
                                                  std::string_view reply4,
                                                  std::int32_t timeout_seconds);
    // The usual form: "ack" accepts, "nack" refuses, CommandTimeout applies.
    asio::awaitable<std::int16_t> SendCommand(std::string line);
    // True while a command waits for its reply or for its turn.
    bool CommandPending() const { return next_ticket_ != serving_ticket_; }

    // --- connection (the supervisor drives it) ---------------------------
    // Closes the socket and clears the receive buffer and the login flags.
    void ResetForConnect();
    void StartConnect();
    void Close();
    // Set once the session set-up of the current connection has finished.
    bool SessionSetUp() const { return session_set_up_; }
    void MarkSessionSetUp();
    // Wakes on every change of the socket's state, the login flags or the
    // set-up, until the deadline.
    asio::awaitable<bool> WaitForChange(AsyncSignal::Deadline deadline) {
        return changed_.WaitUntil(deadline);
    }
    // Waits while the link is connected but its session is not yet set up.
    // True when an alarm may go out now.
    asio::awaitable<bool> WaitUntilUsable();

    // --- socket events (public so tests can feed them) -------------------
    void Winsock_ATAS_DataArrival(std::string_view data);
    void Winsock_ATAS_Close();
    void Winsock_ATAS_Error(const std::string& description);

    TcpSocket& Socket() { return socket_; }

private:
    void HandleLine(std::string line);
    void HandleTerminalOperation(std::string_view line);
    void SendSecret(const std::string& text);
    std::string HostAndPort() const;
    // Ends the wait of a command sent on the connection that just ended.
    void LinkGone();
    asio::awaitable<void> AcquireLane();
    void ReleaseLane();

    asio::any_io_executor executor_;
    const Settings& settings_;
    Logger& logger_;
    MessageQueue& queue_;
    TcpSocket socket_;
    std::string remote_host_;
    std::int32_t remote_port_ = 0;
    bool session_set_up_ = false;
    std::uint64_t connection_ = 0;  // counts the ends of connections
    AsyncSignal changed_;
    AsyncSignal reply_arrived_;
    // The command lane: tickets served in the order they were drawn.
    std::uint64_t next_ticket_ = 0;
    std::uint64_t serving_ticket_ = 0;
    AsyncSignal lane_turn_;
};

}  // namespace kelvarix
