#include <cstdio>
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
  -I, -Install     install Kelvarix as a system service, then exit
  -U, -Uninstall   remove the service, then exit
  --help           show this text
  --version        show the version

Signals: SIGINT (Ctrl+C) stops with "User closed application", SIGHUP with
"Windows is closing", SIGTERM with "Task Manager closed application".
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
    return kelvarix::RunGateway(arguments);
}
