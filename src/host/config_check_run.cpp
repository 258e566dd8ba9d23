// The check's look at the machine: files, the listening port and the PBX's
// name. Each probe only asks; none writes, listens or connects.
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <filesystem>

#include "host/config_check.h"
#include "platform/files.h"
#include "platform/instance_lock.h"
#include "platform/tcp_listener.h"
#include "store/alarm_store.h"

namespace kelvarix {
namespace {

namespace fs = std::filesystem;

// Why lines could not be appended to the file (or, with its folder, a store
// kept beside it), or "" when nothing speaks against it.
std::string FileProblem(const fs::path& file, bool folder_too) {
    std::error_code ec;
    const fs::path folder = file.parent_path();
    if (fs::is_directory(file, ec)) return "names a folder, not a file";
    if (!fs::is_directory(folder, ec)) return "its folder " + folder.string() + " does not exist";
    if (fs::exists(file, ec) && !MayWrite(file.string())) return "the file cannot be written";
    if ((folder_too || !fs::exists(file, ec)) && !MayWrite(folder.string())) {
        return "its folder " + folder.string() + " cannot be written";
    }
    return {};
}

void CheckFiles(ConfigCheck& check, const Settings& s, const std::string& app_path) {
    if (!s.SCADAAckFile.empty()) {
        if (!fs::path(s.SCADAAckFile).is_absolute()) {
            check.Warn("ATAS", "SCADAAckFile",
                       "is a relative path: the gateway takes it from the folder it is started in, "
                       "which differs between a start by hand and the service; give the full path");
        } else if (const std::string problem = FileProblem(s.SCADAAckFile, false);
                   !problem.empty()) {
            check.Warn("ATAS", "SCADAAckFile",
                       problem + ": no acknowledgement line can be written");
        }
    }
    // The store's file, relative to the program folder; the store also
    // keeps files of its own beside it.
    if (!s.AlarmStore.empty()) {
        const fs::path path = StorePath(app_path, s.AlarmStore);
        if (const std::string problem = FileProblem(path, true); !problem.empty()) {
            check.Warn("General", "AlarmStore", problem + ": alarms are kept in memory only");
        }
    }
}

void CheckListeningPort(ConfigCheck& check, const Settings& s, const std::string& app_path) {
    asio::error_code error;
    if (!s.ListenAddress.empty()) asio::ip::make_address(s.ListenAddress, error);
    if (error || s.ServerPort < 1 || s.ServerPort > 65535) return;  // said already
    error = TcpListener::TryBind(s.ListenAddress, s.ServerPort);
    if (!error) return;
    const std::string port = "port " + std::to_string(s.ServerPort);
    if (error == asio::error::address_in_use && InstanceLock::HeldFor(app_path)) {
        check.Note("Orvane", "ServerPort",
                   port + " is in use, by the gateway running on this folder");
    } else if (error == asio::error::address_in_use) {
        check.Warn("Orvane", "ServerPort",
                   port + " is in use by another program: the gateway could not listen");
    } else if (error == asio::error::access_denied) {
        check.Warn("Orvane", "ServerPort",
                   port + " needs privileges (" + error.message() +
                       "): the gateway can listen only when it has them");
    } else {
        check.Warn("Orvane", "ServerPort", port + " cannot be opened: " + error.message());
    }
}

void CheckPbxAddress(ConfigCheck& check, const Settings& s) {
    if (s.IPAddress.empty()) return;  // said already
    asio::io_context io(1);
    asio::ip::tcp::resolver resolver(io);
    asio::error_code error;
    resolver.resolve(s.IPAddress, "0", error);
    if (error) {
        check.Warn("ATAS", "IPAddress",
                   "\"" + ShownValue(s.IPAddress) + "\" does not resolve (" + error.message() +
                       "): no connection to the PBX can be made");
    }
}

}  // namespace

int RunConfigCheck(const std::string& app_path, std::string& report) {
    const std::string ini_path = app_path + "Kelvarix.ini";
    ConfigCheck check(ini_path, IniFile::read(ini_path));
    check.Loaded(
        LoadSettings(ini_path, [&check](const KeyReading& reading) { check.Read(reading); }));
    if (const std::optional<Settings>& settings = check.settings()) {
        CheckFiles(check, *settings, app_path);
        CheckListeningPort(check, *settings, app_path);
        CheckPbxAddress(check, *settings);
    }
    report = check.Report();
    return check.ExitStatus();
}

}  // namespace kelvarix
