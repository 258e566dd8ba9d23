#include "host/service_platform.h"

#include "host/service_mode.h"
#include "host/service_settings.h"
#include "platform/service_units.h"

namespace kelvarix {

std::unique_ptr<ServiceInstaller> PlatformServiceInstaller() {
    return std::make_unique<SystemdUnits>(SystemdUnits::FromEnvironment());
}

std::unique_ptr<ServiceSettings> PlatformServiceSettings(const std::string& program_folder) {
    return std::make_unique<ServiceSettingsStore>(program_folder + std::string(kServiceSettingsFile));
}

// systemd needs no call to take up the protocol: the unit's SIGTERM is the stop.
std::unique_ptr<ServiceManager> StartServiceOperation() {
    return std::make_unique<SystemdServiceManager>();
}

}  // namespace kelvarix
