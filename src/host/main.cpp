#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "host/config_check.h"
#include "host/gateway.h"
#include "host/lifecycle.h"
#include "platform/command_line_text.h"
#include "platform/program_folder.h"

namespace {
#ifdef _WIN32
constexpr const char* kHelp = R"(Kelvarix - alarm gateway between an alarm server and a PBX's ATAS interface

Usage: kelvarix.exe [options]

Kelvarix reads Kelvarix.ini from its program folder (the folder of
kelvarix.exe, or %KELVARIX_HOME% when set), listens for the alarm server on
[Orvane] ServerPort, connects to the PBX at [ATAS] IPAddress:PortNumber and
writes its daily logs into LogFiles\ in the program folder.

Options:
  -I, -Install     install the Windows service "Kelvarix" (display name
                   "Quorsyn Kelvarix service", automatic start), then exit;
                   needs administrator rights
  -U, -Uninstall   remove the service, then exit
  --check          show what a start would make of Kelvarix.ini, with a
                   warning for each line that is likely not meant so, then
                   exit: 0 nothing wrong, 1 warnings, 2 the gateway would
                   not start; changes nothing and may run beside the gateway
  --help           show this text
  --version        show the version
/I, /U and /check work as well. The outcome of -I and -U is shown in a
message box. Run kelvarix.exe --check after each edit of Kelvarix.ini.

Once installed (RunAsService = 1 under the service's Parameters key,
HKLM\SYSTEM\CurrentControlSet\Services\Kelvarix\Parameters), every start
runs as the service: no window, and its events ("Quorsyn Kelvarix started",
"Kelvarix was stopped") go to the Application event log, source Kelvarix.
Start and stop it in the Services console or with "net start Kelvarix" and
"net stop Kelvarix" (logged as "By Code").

Otherwise Kelvarix shows its window with the newest log lines: File > Clear
debug list empties the list, File > Exit (Alt+F4, the close box) stops the
gateway with "User closed application". Task Manager or taskkill stops it
with "Task Manager closed application", logging off or shutting Windows down
with "Windows is closing".
)";
#else
constexpr const char* kHelp = R"(Kelvarix - alarm gateway between an alarm server and a PBX's ATAS interface

Usage: kelvarix [options]

Kelvarix reads Kelvarix.ini from its program folder (the folder of the
executable, or $KELVARIX_HOME when set), listens for the alarm server on
[Orvane] ServerPort, connects to the PBX at [ATAS] IPAddress:PortNumber and
writes its daily logs into LogFiles/ beside the configuration.

Options:
  -I, -Install     install Kelvarix as the systemd service Kelvarix, then exit
  -U, -Uninstall   remove the service, then exit
  --check          show what a start would make of Kelvarix.ini, with a
                   warning for each line that is likely not meant so, then
                   exit: 0 nothing wrong, 1 warnings, 2 the gateway would
                   not start; changes nothing and may run beside the gateway
  --help           show this text
  --version        show the version

Run kelvarix --check after each edit of Kelvarix.ini.

Once installed, every start runs as the service (the setting RunAsService in
KelvarixService.ini decides): no console, nothing on standard output, its
events in the journal.

In a terminal Kelvarix shows its console: F10 or Alt+F opens the File menu
(L clears the list, E exits), the arrow keys, Page Up/Down, Home and End
scroll the list, Alt+F4 or Ctrl+C closes. Elsewhere the log lines go to
standard output.

Signals: SIGINT stops with "User closed application", SIGHUP with
"Windows is closing", SIGTERM with "Task Manager closed application"
("By Code" when running as the service).
)";
#endif
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            kelvarix::WriteCommandLineText(kHelp, kelvarix::kProgramName);
            return 0;
        }
        if (argument == "--version") {
            kelvarix::WriteCommandLineText(kelvarix::WindowCaption() + "\n",
                                           kelvarix::kProgramName);
            return 0;
        }
        if (kelvarix::IsCheckSwitch(argument)) {
            std::string report;
            const int status = kelvarix::RunConfigCheck(kelvarix::ProgramFolder(), report);
            kelvarix::WriteCommandLineText(report, kelvarix::kProgramName);
            return status;
        }
    }
    try {
        return kelvarix::RunGateway(arguments);
    } catch (const std::exception& error) {
        // Reached after unwinding, so the console has given the terminal back.
        std::fprintf(stderr, "kelvarix: %s\n", error.what());
        return 70;
    }
}
