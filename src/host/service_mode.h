#pragma once
// The service side of the gateway: installing and removing it as a service,
// the stored choice between service and window mode, and what a service
// tells its service manager.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "host/lifecycle.h"
#include "host/service_settings.h"
#include "logging/logger.h"
#include "platform/background_writer.h"
#include "platform/service_control.h"
#include "platform/service_manager.h"
#include "platform/service_units.h"

namespace kelvarix {

inline constexpr std::string_view kServiceName = "Kelvarix";
inline constexpr std::string_view kServiceDisplayName = "Quorsyn Kelvarix service";
inline constexpr std::string_view kServiceSettingsFile = "KelvarixService.ini";
inline constexpr std::string_view kServiceSettingsSection = "Parameters";

// Every event-log entry is information with this number.
inline constexpr std::uint32_t kEventNumber = 110;
inline constexpr std::string_view kServiceStartedEntry = "Quorsyn Kelvarix started";
inline constexpr std::string_view kServiceStoppedEntry = "Kelvarix was stopped";
// The second instance's message box, or its event-log entry in service mode.
inline constexpr std::string_view kAlreadyStarted = "Kelvarix already started";

// RunAsService, converted strictly. A stored text that is not a whole number
// counts as "0": the gateway starts as a window rather than not at all.
bool ReadRunAsService(const ServiceSettings& store);

// The unit that runs this executable in its program folder. KELVARIX_HOME is
// carried into the unit when the program folder came from it. The service may
// write to LogFiles/ and to the folders of the store and the SCADA file as the
// settings name them now: -I again after moving them.
ServiceUnit GatewayUnit(const std::string& executable, const std::string& program_folder,
                        bool folder_from_home, const Settings& settings);

// The -I and -U switches: change the installation, keep the stored setting in
// step (a failure leaves it as it was) and tell the operator in a message
// box. Return the exit status: 0 on success.
int InstallService(const ServiceInstaller& units, const ServiceSettings& store,
                   const ServiceUnit& unit);
int RemoveService(const ServiceInstaller& units, const ServiceSettings& store);

// Shutdown's record, in this order: the service manager hears that we stop,
// the system log gets the stop line, the event log its entry. log_writer,
// when the logger has one, is flushed so the stop line is in its file first.
// service is null in window mode.
void WriteShutdown(CloseMode mode, Logger& logger, BackgroundWriter* log_writer,
                   ServiceManager* service);

}  // namespace kelvarix
