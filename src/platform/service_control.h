#pragma once
// What the gateway needs from the platform to be a service, whatever the
// platform: installing and removing it, and a store for its settings (the
// choice between service and window mode). On Linux these are a systemd unit
// and KelvarixService.ini; on Windows the service control manager and the
// service's "Parameters" registry key.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix {

struct ServiceUnit {
    std::string name;               // "Kelvarix" gives Kelvarix.service
    std::string description;        // the display name
    std::string executable;         // absolute path of the program
    std::string working_directory;  // absolute path of the program folder
    std::string home;               // KELVARIX_HOME to carry into the unit; empty: none
    // The folders the service writes to (its logs, the store's, the SCADA
    // file's); where the platform can, everything else is read-only to it.
    std::vector<std::string> writable_folders = {};
    bool binds_privileged_port = false;  // ServerPort below 1024
};

// The full path of the running program.
std::string ExecutablePath();

class ServiceInstaller {
public:
    virtual ~ServiceInstaller() = default;
    // Registers the service to start with the system. Fails when a service of
    // that name exists already, and then changes nothing.
    virtual bool Install(const ServiceUnit& unit) const = 0;
    // Fails when there is none.
    virtual bool Remove(std::string_view service_name) const = 0;
};

class ServiceSettings {
public:
    virtual ~ServiceSettings() = default;
    virtual std::string Read(std::string_view section, std::string_view key,
                             std::string_view default_text) const = 0;
    // A failed write leaves the store as it was.
    virtual bool Write(std::string_view section, std::string_view key,
                       std::string_view value) const = 0;
    // The store as it is, opaque (nothing: there is none), and putting it
    // back exactly, so a failed change can be undone.
    virtual std::optional<std::string> Snapshot() const = 0;
    virtual bool Restore(const std::optional<std::string>& snapshot) const = 0;
};

}  // namespace kelvarix
