#include "host/service_platform.h"

#include "host/service_mode.h"
#include "platform/windows_service.h"

namespace kelvarix {

std::unique_ptr<ServiceInstaller> PlatformServiceInstaller() {
    return std::make_unique<ScmServiceInstaller>();
}

std::unique_ptr<ServiceSettings> PlatformServiceSettings(const std::string&) {
    return std::make_unique<RegistryServiceSettings>(std::string(kServiceName),
                                                     std::string(kServiceSettingsSection));
}

std::unique_ptr<ServiceManager> StartServiceOperation() {
    return ScmServiceManager::Start(std::string(kServiceName));
}

}  // namespace kelvarix
