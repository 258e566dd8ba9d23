#include "alarm_server/orvane_link.h"

#include <algorithm>

namespace kelvarix {

std::vector<std::string> SplitAddresses(const std::string& list) {
    std::vector<std::string> addresses;
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto comma = std::min(list.find(',', start), list.size());
        std::string item = list.substr(start, comma - start);
        item.erase(0, item.find_first_not_of(" \t"));
        item.erase(item.find_last_not_of(" \t") + 1);
        if (!item.empty()) {
            asio::error_code error;
            const auto parsed = asio::ip::make_address(item, error);
            addresses.push_back(error ? item : PlainAddress(parsed));
        }
        start = comma + 1;
    }
    return addresses;
}

std::string PlainAddress(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

OrvaneLink::OrvaneLink(asio::any_io_executor executor, const Settings& settings, Logger& logger)
    : settings_(settings),
      logger_(logger),
      listener_(executor),
      data_(executor),
      allowed_clients_(SplitAddresses(settings.AllowedClients)) {
    data_.SetEvents({
        [this](std::string_view data) {
            if (intake_ != nullptr) intake_->Winsock_Orvane_Data_DataArrival(data);
        },
        nullptr,
        [this] { Winsock_Orvane_Data_Close(); },
        [this](const std::string& description) { Winsock_Orvane_Data_Error(description); },
    });
}

void OrvaneLink::Attach(AlarmIntake& intake) {
    intake_ = &intake;
    // The intake holds the alarm server back while its backlog is full.
    intake.SetReadControl([this](bool pause) {
        if (pause) {
            data_.PauseReading();
        } else {
            data_.ResumeReading();
        }
    });
}

std::string OrvaneLink::Listen() {
    return listener_.Listen(settings_.ListenAddress, settings_.ServerPort,
                            [this](asio::ip::tcp::socket socket) {
                                Winsock_Orvane_Connect_ConnectionRequest(std::move(socket));
                            });
}

bool OrvaneLink::ClientAllowed(const std::string& address) const {
    return allowed_clients_.empty() ||
           std::find(allowed_clients_.begin(), allowed_clients_.end(), address) !=
               allowed_clients_.end();
}

void OrvaneLink::Winsock_Orvane_Connect_ConnectionRequest(asio::ip::tcp::socket socket) {
    asio::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    const std::string address = error ? std::string() : PlainAddress(endpoint.address());
    if (!ClientAllowed(address)) {
        // A stranger neither gets in nor pushes the alarm server out.
        socket.close(error);
        logger_.WriteSystemLog("Refused Orvane connection from " + address +
                               " (not in AllowedClients)");
        return;
    }
    data_.Close();
    if (intake_ != nullptr) intake_->ClearReceiveBuffer();
    data_.Accept(std::move(socket));
    logger_.WriteSystemLog("Orvane Alarm Server connected");
}

void OrvaneLink::Winsock_Orvane_Data_Close() {
    logger_.WriteSystemLog("Orvane Alarm Server disconnected");
    data_.Close();
}

void OrvaneLink::Winsock_Orvane_Data_Error(const std::string& description) {
    logger_.WriteSystemLog("Orvane client error (" + description + ")");
    data_.Close();
}

void OrvaneLink::SendToOrvane(std::string_view text) {
    if (!Connected()) return;
    logger_.WriteTrafficLog(text, TagToOrvane);
    data_.SendData(text);
}

}  // namespace kelvarix
