#pragma once
// The platform's side of service mode, chosen once per platform: where the
// service is installed, where its settings live, and what tells the service
// manager about the running service.
#include <memory>
#include <string>

#include "platform/service_control.h"
#include "platform/service_manager.h"

namespace kelvarix {

std::unique_ptr<ServiceInstaller> PlatformServiceInstaller();
std::unique_ptr<ServiceSettings> PlatformServiceSettings(const std::string& program_folder);
// Takes up the service protocol: from here the service manager's requests
// are answered, and a stop arrives as a stop request.
std::unique_ptr<ServiceManager> StartServiceOperation();

}  // namespace kelvarix
