#pragma once
// The alarm server's connection: a listener that stays listening, and one
// data connection at a time; the newest connection request always wins.
#include <asio/any_io_executor.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "alarm_server/intake.h"
#include "config/settings.h"
#include "logging/logger.h"
#include "platform/tcp_listener.h"
#include "platform/tcp_socket.h"

namespace kelvarix {

class OrvaneLink {
public:
    OrvaneLink(asio::any_io_executor executor, const Settings& settings, Logger& logger);

    // Connects the link to the intake that handles its data.
    void Attach(AlarmIntake& intake);
    // Starts listening on ServerPort; "" or the platform's error text.
    std::string Listen();
    int ListeningPort() const { return listener_.LocalPort(); }

    void SendToOrvane(std::string_view text);
    bool Connected() const { return data_.State() == TcpSocket::sckConnected; }

    void Winsock_Orvane_Connect_ConnectionRequest(asio::ip::tcp::socket socket);
    void Winsock_Orvane_Data_Close();
    void Winsock_Orvane_Data_Error(const std::string& description);

    // True when AllowedClients is empty or names the address.
    bool ClientAllowed(const std::string& address) const;

private:
    const Settings& settings_;
    Logger& logger_;
    TcpListener listener_;
    TcpSocket data_;
    AlarmIntake* intake_ = nullptr;
    std::vector<std::string> allowed_clients_;
};

// The entries of AllowedClients: split at commas, blanks around them
// dropped, addresses in their plain form; an entry that is no address is
// kept as written (it matches no connection).
std::vector<std::string> SplitAddresses(const std::string& list);

// An IPv4 peer seen through a dual-stack listener ("::ffff:10.0.0.5") is
// named by its IPv4 address.
std::string PlainAddress(const asio::ip::address& address);

}  // namespace kelvarix
