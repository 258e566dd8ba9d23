#include "host/lifecycle.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/config_loader.h"
#include "host/gateway.h"
#include "host/service_mode.h"
#include "host/service_platform.h"
#include "host/watchdog.h"
#include "platform/awaitable.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/message_box.h"
#include "platform/program_folder.h"
#include "platform/stop_requests.h"

namespace kelvarix {

std::string_view CloseReason(CloseMode mode) {
    static constexpr std::array<std::string_view, 6> kReasons = {
        "User closed application", "By Code",     "Windows is closing",
        "Task Manager closed application", "MDI closed", "Owner closed"};
    return kReasons.at(static_cast<std::size_t>(mode));
}

std::string StopLine(CloseMode mode) {
    return "Kelvarix was stopped (reason: " + std::string(CloseReason(mode)) + ")";
}

ServiceSwitch FindServiceSwitch(const std::vector<std::string>& arguments) {
    bool install = false;
    for (std::string_view argument : arguments) {
        if (argument.starts_with("--")) {
            argument.remove_prefix(2);
        } else if (argument.starts_with('-') || argument.starts_with('/')) {
            argument.remove_prefix(1);
        } else {
            continue;
        }
        if (argument.empty() || argument.find('/') != std::string_view::npos) continue;  // a path
        const char letter = static_cast<char>(argument[0] & ~0x20);
        if (letter == 'U') return ServiceSwitch::Remove;
        if (letter == 'I') install = true;
    }
    return install ? ServiceSwitch::Install : ServiceSwitch::None;
}

std::string WindowCaption() {
    return std::string(kProgramName) + " - Version " + std::string(kVersion);
}

namespace {

// A service ends itself on its manager's behalf (close mode 1). systemd stops
// a service the way any other program asks (SIGTERM), so a service takes
// that request as its manager's too.
CloseMode CloseModeOf(StopRequest request, bool as_service) {
    switch (request) {
        case StopRequest::Operator: return CloseMode::UserClosed;
        case StopRequest::SessionEnd: return CloseMode::SystemClosing;
        case StopRequest::ServiceManager: return CloseMode::ByCode;
        case StopRequest::OtherProgram: break;
    }
    return as_service ? CloseMode::ByCode : CloseMode::TaskManager;
}

constexpr std::string_view kMenuExit = "&Exit";

ConsoleCaptions MainWindowCaptions() {
    return {WindowCaption(), "&File", "C&lear debug list", std::string(kMenuExit)};
}

bool FolderFromHome() {
    const char* home = std::getenv("KELVARIX_HOME");
    return home != nullptr && *home != '\0';
}

void ReportConfigError(const ConfigError& error, Logger& logger) {
    std::fprintf(stderr, "%s\n", error.message.c_str());
    std::fflush(stderr);
    logger.WriteSystemLog(error.message);
}

// Runs the event loop until it is stopped. Whenever the loop has handled
// everything that is ready and is about to sleep, the log writer may start on
// the lines of that work: an alarm's "SA" and reply go out first, its disk
// work follows while the gateway waits anyway.
void RunEventLoop(asio::io_context& io, BackgroundWriter& writer) {
    while (!io.stopped()) {
        io.poll();
        writer.WakeUp();
        if (io.stopped() || io.run_one() == 0) break;
    }
}

}  // namespace

int RunGateway(const std::vector<std::string>& arguments) {
    const std::string app_path = ProgramFolder();
    MakeFolder(app_path + "LogFiles");

    SystemClock clock;
    asio::io_context io(1);
    // Stop requests are caught from here on and wait for their handler, so
    // a signal that comes during start-up still gets its stop line.
    StopRequests stop_requests(io);
    const std::string ini_path = app_path + "Kelvarix.ini";
    LoadResult loaded = LoadSettings(ini_path);
    if (const auto* error = std::get_if<ConfigError>(&loaded)) {
        WindowList window;
        if (!StandardOutputIsTerminal()) window.SetEcho(stdout);
        Logger logger(clock, window, app_path + "LogFiles/");
        ReportConfigError(*error, logger);
        return 2;
    }
    Settings settings = std::move(std::get<Settings>(loaded));
    const std::unique_ptr<ServiceSettings> service_settings = PlatformServiceSettings(app_path);
    settings.RunAsService = ReadRunAsService(*service_settings);

    auto gateway = std::make_unique<Gateway>(io, clock, app_path, std::move(settings));
    Gateway& g = *gateway;

    // The window: the full-screen console on a terminal (its dialogs are the
    // message boxes), plain lines on standard output otherwise.
    std::unique_ptr<Console> console;
    if (Console::Available()) {
        console = std::make_unique<Console>(io, g.window, MainWindowCaptions());
    } else {
        g.window.SetEcho(stdout);
    }

    switch (FindServiceSwitch(arguments)) {
        case ServiceSwitch::Remove:
            return RemoveService(*PlatformServiceInstaller(), *service_settings);
        case ServiceSwitch::Install:
            return InstallService(
                *PlatformServiceInstaller(), *service_settings,
                GatewayUnit(ExecutablePath(), app_path, FolderFromHome(), g.settings));
        case ServiceSwitch::None:
            break;
    }

    // A service shows no window and writes nothing to standard output.
    std::unique_ptr<ServiceManager> service;
    if (g.settings.RunAsService) {
        console.reset();
        g.window.SetEcho(nullptr);
        service = StartServiceOperation();
        service->WriteEventLog(kEventNumber, kServiceStartedEntry);
    }

    InstanceLock instance;
    if (!instance.Acquire(app_path)) {
        if (service) {
            service->WriteEventLog(kEventNumber, kAlreadyStarted);
        } else {
            ShowMessageBox(std::string(kAlreadyStarted), std::string(kProgramName), MessageIcon::Warning);
        }
        WriteShutdown(CloseMode::ByCode, g.logger, &g.writer, service.get());
        return 1;
    }

    // The stored alarms are back before the alarm server can send more.
    if (g.store) {
        AlarmStore::OperatorLog operator_log;
        if (service) {
            operator_log = [&service](std::string_view text) {
                service->WriteEventLog(kEventNumber, text);
            };
        }
        g.store->Load(std::move(operator_log));
    }

    const std::string listen_error = g.orvane.Listen();
    const std::string port = std::to_string(g.settings.ServerPort);
    if (listen_error.empty()) {
        g.logger.WriteSystemLog("Orvane server socket port " + port + " was set in listening mode");
    } else {
        g.logger.WriteSystemLog("Failed to set Orvane server socket port " + port +
                                " in listening mode (" + listen_error + ")");
    }
    if (g.settings.MetricsPort != 0) {
        const std::string where =
            g.settings.MetricsListenAddress + ":" + std::to_string(g.settings.MetricsPort);
        const std::string error =
            g.metrics.Listen(g.settings.MetricsListenAddress, g.settings.MetricsPort);
        g.logger.WriteSystemLog(error.empty() ? "Metrics are served on " + where
                                              : "Failed to serve metrics on " + where + " (" +
                                                    error + ")");
    }
    if (console) console->SetExitCaption(std::string(kMenuExit) + "\tAlt+F4");
    g.logger.WriteSystemLog("Kelvarix was started");

    bool stopping = false;
    const auto stop = [&](CloseMode mode) {
        if (stopping) return;
        stopping = true;
        WriteShutdown(mode, g.logger, &g.writer, service.get());
        io.stop();
    };
    if (console && !console->Show([&] { stop(CloseMode::UserClosed); })) {
        console.reset();
        g.window.SetEcho(stdout);
    }

    asio::co_spawn(io, g.supervisor.RunTimer(), asio::detached);
    if (service) asio::co_spawn(io, FeedWatchdog(*service, g.supervisor.LastTick), asio::detached);

    stop_requests.AsyncWait(
        [&](StopRequest request) { stop(CloseModeOf(request, service != nullptr)); });
    // Ready once a stop request can be handled.
    if (service) service->ReportReady();
    RunEventLoop(io, g.writer);
    // The process ends at once: no word to either peer, nothing saved. The
    // terminal is given back first.
    console.reset();
    std::fflush(stdout);
    g.writer.Flush();  // every log line reaches its file before the process ends
    if (service) service->ReportStopped();
    std::_Exit(0);
}

}  // namespace kelvarix
