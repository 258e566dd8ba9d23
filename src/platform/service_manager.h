#pragma once
// What a service tells its service manager while it runs: that it is ready,
// that it stops, and entries for the system's event log.
#include <chrono>
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
    // How often the manager wants to hear that the service is alive; zero
    // when it does not watch.
    virtual std::chrono::microseconds WatchdogInterval() const { return {}; }
    virtual void ReportAlive() {}
};

// systemd: readiness through sd_notify (NOTIFY_SOCKET; nothing happens when it
// is unset), entries into the journal with PRIORITY=6 (information) and the
// event number in the field KELVARIX_EVENT_ID. The watchdog is the unit's
// WatchdogSec, handed over in WATCHDOG_USEC.
class SystemdServiceManager final : public ServiceManager {
public:
    void ReportReady() override;
    void ReportStopping() override;
    void WriteEventLog(std::uint32_t event_number, std::string_view text) override;
    std::chrono::microseconds WatchdogInterval() const override;
    void ReportAlive() override;
};

}  // namespace kelvarix
