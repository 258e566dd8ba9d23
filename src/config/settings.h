#pragma once
// The program-wide settings, read once at start-up from Kelvarix.ini and
// read-only afterwards. Each member is named after its key.
#include <cstdint>
#include <string>

namespace kelvarix {

struct Settings {
    // [General]
    std::int16_t LogFileDays = 30;
    std::string AlarmStore;  // file of the durable alarm store; empty: memory only
    // [Orvane]
    std::int32_t ServerPort = 0;
    std::string ListenAddress;   // empty: every interface
    std::string AllowedClients;  // comma-separated addresses; empty: any
    // [ATAS]
    std::string IPAddress;
    std::int32_t PortNumber = 0;
    std::int32_t ConnectTimeout = 0;
    std::int32_t ReconnectInterval = 0;
    std::string Username;
    std::string Password;
    std::int32_t CommandTimeout = 0;
    bool ResetAlarmsAtConnect = false;
    std::int32_t HeartbeatInterval = 0;
    std::string SM_Read;
    std::string SM_Acknowledge;
    bool BufferWhenDisconnected = false;
    std::int32_t MaxBufferedMessages = 0;
    std::int32_t QueueDeleteTime = 600;
    std::string SCADAAckFile;
    bool SendMCA = false;
    // [Metrics]
    std::int32_t MetricsPort = 0;  // 0: no metrics endpoint
    std::string MetricsListenAddress = "127.0.0.1";
    // [Parameters] of the service settings store
    bool RunAsService = false;
};

}  // namespace kelvarix
