#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "host/lifecycle.h"

namespace {
constexpr const char* kHelp = R"(Kelvarix - alarm gateway between an alarm server and a PBX's ATAS interface

Usage: kelvarix [options]

Kelvarix reads Kelvarix.ini from its program folder (the folder of the
executable, or $KELVARIX_HOME when set), listens for the alarm server on
[Orvane] ServerPort, connects to the PBX at [ATAS] IPAddress:PortNumber and
writes its daily logs into LogFiles/ beside the configuration.

Options:
  -I, -Install     install Kelvarix as the systemd service Kelvarix, then exit
  -U, -Uninstall   remove the service, then exit
  --help           show this text
  --version        show the version

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
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (argument == "--version") {
            std::printf("%s\n", kelvarix::WindowCaption().c_str());
            return 0;
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
