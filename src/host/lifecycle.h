#pragma once
// Start-up and shutdown of the gateway process.
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix {

// Why the program closes, by the close mode of its window.
enum class CloseMode : int {
    UserClosed = 0,      // the operator closed it (Ctrl+C, Alt+F4, Exit)
    ByCode = 1,          // the program ended itself (service stop by SIGTERM, second instance)
    SystemClosing = 2,   // the session ends or the system shuts down (SIGHUP)
    TaskManager = 3,     // another program ended it (SIGTERM, when not a service)
    MdiClosed = 4,
    OwnerClosed = 5,
};
std::string_view CloseReason(CloseMode mode);
std::string StopLine(CloseMode mode);  // "Kelvarix was stopped (reason: ...)"

// The service switches. Each argument is looked at on its own: it is a switch
// when it begins with -I, -U, /I, /U, --I or --U in any case and holds no
// further "/" (so a path such as /usr/local/etc is never taken for a switch,
// while -Install and --uninstall count). Removal wins over installation.
enum class ServiceSwitch { None, Install, Remove };
ServiceSwitch FindServiceSwitch(const std::vector<std::string>& arguments);

// The caption of the operator console.
std::string WindowCaption();

// Runs the gateway until it is stopped; returns the process exit status.
int RunGateway(const std::vector<std::string>& arguments);

}  // namespace kelvarix
