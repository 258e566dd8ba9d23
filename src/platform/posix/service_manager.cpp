#include "platform/service_manager.h"

#include <sys/uio.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <array>
#include <string>

namespace kelvarix {

void SystemdServiceManager::ReportReady() { ::sd_notify(0, "READY=1"); }

void SystemdServiceManager::ReportStopping() { ::sd_notify(0, "STOPPING=1"); }

std::chrono::microseconds SystemdServiceManager::WatchdogInterval() const {
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID: a watchdog meant for another process is not ours.
    if (::sd_watchdog_enabled(0, &usec) <= 0) return {};
    return std::chrono::microseconds(usec);
}

void SystemdServiceManager::ReportAlive() { ::sd_notify(0, "WATCHDOG=1"); }

void SystemdServiceManager::WriteEventLog(std::uint32_t event_number, std::string_view text) {
    // sd_journal_sendv rather than sd_journal_send: the text is no format string.
    std::array<std::string, 4> fields = {
        "MESSAGE=" + std::string(text),
        "PRIORITY=6",
        "KELVARIX_EVENT_ID=" + std::to_string(event_number),
        "SYSLOG_IDENTIFIER=Kelvarix",
    };
    std::array<iovec, fields.size()> vector{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        vector[i].iov_base = fields[i].data();
        vector[i].iov_len = fields[i].size();
    }
    // Without a running journal the entry is lost, as the event log would lose it.
    ::sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
}

}  // namespace kelvarix
