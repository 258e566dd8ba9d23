#pragma once
// What a service tells its service manager while it runs: that it is ready,
// that it stops, and entries for the system's event log.
#include <cstdint>
#include <string_view>

namespace kelvarix {

class ServiceManager {
public:
    virtual ~ServiceManager() = default;
    virtual void ReportReady() = 0;
    virtual void ReportStopping() = 0;
    // The last word, just before the process ends (Windows wants to hear it).
    virtual void ReportStopped() {}
    // An information entry with the program's event number.
    virtual void WriteEventLog(std::uint32_t event_number, std::string_view text) = 0;
};

// systemd: readiness through sd_notify (NOTIFY_SOCKET; nothing happens when it
// is unset), entries into the journal with PRIORITY=6 (information) and the
// event number in the field KELVARIX_EVENT_ID.
class SystemdServiceManager final : public ServiceManager {
public:
    void ReportReady() override;
    void ReportStopping() override;
    void WriteEventLog(std::uint32_t event_number, std::string_view text) override;
};

}  // namespace kelvarix
