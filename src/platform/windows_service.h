#pragma once
// Service mode on Windows (implemented in platform/windows): the service
// control manager installs and runs the service, its settings live in the
// registry under the service's own key.
#include <memory>
#include <string>

#include "platform/service_control.h"
#include "platform/service_manager.h"

namespace kelvarix {

// An own-process service that starts automatically, without desktop
// interaction, under the account the manager chooses, and is restarted 5 s
// after each failure. Its event source (of the same name, in the Application
// log) takes the entries' text from the executable's message table; removal
// takes the source away with the service.
class ScmServiceInstaller final : public ServiceInstaller {
public:
    bool Install(const ServiceUnit& unit) const override;
    bool Remove(std::string_view service_name) const override;
};

// String values under HKLM\SYSTEM\CurrentControlSet\Services\<service>\<section>.
// A snapshot holds the string values of the one section given here.
class RegistryServiceSettings final : public ServiceSettings {
public:
    RegistryServiceSettings(std::string service_name, std::string section)
        : service_name_(std::move(service_name)), section_(std::move(section)) {}

    std::string Read(std::string_view section, std::string_view key,
                     std::string_view default_text) const override;
    bool Write(std::string_view section, std::string_view key,
               std::string_view value) const override;
    std::optional<std::string> Snapshot() const override;
    bool Restore(const std::optional<std::string>& snapshot) const override;

private:
    std::string KeyPath(std::string_view section) const;
    std::string service_name_;
    std::string section_;
};

// Runs the service dispatcher on a thread of its own. Start, pause and
// continue are answered with success; stop and shutdown become a stop
// request from the service manager. Started by hand rather than by the
// manager, there is no dispatcher: the program runs on as a service all the
// same and still writes its event-log entries.
class ScmServiceManager final : public ServiceManager {
public:
    static std::unique_ptr<ScmServiceManager> Start(std::string service_name);
    ~ScmServiceManager() override;

    void ReportReady() override;
    void ReportStopping() override;
    void ReportStopped() override;
    void WriteEventLog(std::uint32_t event_number, std::string_view text) override;

    struct State;

private:
    explicit ScmServiceManager(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace kelvarix
