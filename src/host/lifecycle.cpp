#include "host/lifecycle.h"

#include <array>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <memory>

#include "host/config_loader.h"
#include "host/gateway.h"
#include "platform/awaitable.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/message_box.h"
#include "platform/program_folder.h"

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
    for (const std::string& argument : arguments) {
        if (argument.size() < 2 || (argument[0] != '-' && argument[0] != '/')) continue;
        if (argument.find('/', 1) != std::string::npos) continue;  // a path, not a switch
        const char letter = static_cast<char>(argument[1] & ~0x20);
        if (letter == 'U') return ServiceSwitch::Remove;
        if (letter == 'I') install = true;
    }
    return install ? ServiceSwitch::Install : ServiceSwitch::None;
}

std::string WindowCaption() {
    return std::string(kProgramName) + " - Version " + std::string(kVersion);
}

namespace {

CloseMode CloseModeOfSignal(int signal_number) {
    switch (signal_number) {
        case SIGINT: return CloseMode::UserClosed;
        case SIGHUP: return CloseMode::SystemClosing;
        default: return CloseMode::TaskManager;
    }
}

void ReportConfigError(const ConfigError& error, Logger& logger) {
    std::fprintf(stderr, "%s\n", error.message.c_str());
    std::fflush(stderr);
    logger.WriteSystemLog(error.message);
}

}  // namespace

int RunGateway(const std::vector<std::string>& arguments) {
    const std::string app_path = ProgramFolder();
    MakeFolder(app_path + "LogFiles");

    SystemClock clock;
    asio::io_context io(1);
    const std::string ini_path = app_path + "Kelvarix.ini";
    LoadResult loaded = LoadSettings(ini_path);
    if (const auto* error = std::get_if<ConfigError>(&loaded)) {
        WindowList window;
        if (!StandardOutputIsTerminal()) window.SetEcho(stdout);
        Logger logger(clock, window, app_path + "LogFiles/");
        ReportConfigError(*error, logger);
        return 2;
    }

    auto gateway = std::make_unique<Gateway>(io, clock, app_path,
                                             std::move(std::get<Settings>(loaded)));
    Gateway& g = *gateway;
    g.window.SetEcho(stdout);

    switch (FindServiceSwitch(arguments)) {
        case ServiceSwitch::Remove:
        case ServiceSwitch::Install:
            ShowMessageBox("Service installation is not available in this build", std::string(kProgramName));
            return 1;
        case ServiceSwitch::None:
            break;
    }

    InstanceLock instance;
    if (!instance.Acquire(app_path)) {
        ShowMessageBox("Kelvarix already started", std::string(kProgramName));
        g.logger.WriteSystemLog(StopLine(CloseMode::ByCode));
        return 1;
    }

    const std::string listen_error = g.orvane.Listen();
    const std::string port = std::to_string(g.settings.ServerPort);
    if (listen_error.empty()) {
        g.logger.WriteSystemLog("Orvane server socket port " + port + " was set in listening mode");
    } else {
        g.logger.WriteSystemLog("Failed to set Orvane server socket port " + port +
                                " in listening mode (" + listen_error + ")");
    }
    g.logger.WriteSystemLog("Kelvarix was started");

    asio::co_spawn(io, g.supervisor.RunTimer(), asio::detached);

    asio::signal_set signals(io, SIGINT, SIGHUP, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int signal_number) {
        if (error) return;
        g.logger.WriteSystemLog(StopLine(CloseModeOfSignal(signal_number)));
        io.stop();
    });
    io.run();
    // The process ends at once: no word to either peer, nothing saved.
    std::fflush(stdout);
    std::_Exit(0);
}

}  // namespace kelvarix
