#include "host/service_mode.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "host/gateway.h"
#include "platform/message_box.h"
#include "queue/conversions.h"
#include "store/alarm_store.h"

namespace kelvarix {
namespace {

constexpr std::string_view kSection = kServiceSettingsSection;
constexpr std::string_view kRunAsServiceKey = "RunAsService";

std::string Absolute(const std::string& path) {
    std::error_code ec;
    std::string absolute = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec) absolute = path;
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    return absolute;
}

// Stores the new setting first and then changes the installation, putting
// the store back when the change fails: a setting that cannot be stored
// never leaves a service behind that would start in the wrong mode.
bool ChangeInstallation(const ServiceSettings& store, std::string_view value,
                        const std::function<bool()>& change) {
    const std::optional<std::string> before = store.Snapshot();
    if (!store.Write(kSection, kRunAsServiceKey, value)) return false;
    if (change()) return true;
    store.Restore(before);
    return false;
}

// The folder a file setting points into; a relative one lies in the program
// folder, which is where the service runs.
std::string FolderOf(const std::string& program_folder, const std::string& file) {
    return Absolute(std::filesystem::path(StorePath(program_folder, file)).parent_path().string());
}

std::vector<std::string> WritableFolders(const std::string& program_folder,
                                         const Settings& settings) {
    std::vector<std::string> folders = {Absolute(program_folder + "/LogFiles")};
    for (const std::string* file : {&settings.AlarmStore, &settings.SCADAAckFile}) {
        if (file->empty()) continue;
        const std::string folder = FolderOf(program_folder, *file);
        if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
            folders.push_back(folder);
        }
    }
    return folders;
}

int Report(bool succeeded, std::string_view success, std::string_view failure) {
    ShowMessageBox(std::string(kServiceDisplayName) + std::string(succeeded ? success : failure),
                   std::string(kProgramName));
    return succeeded ? 0 : 1;
}

}  // namespace

bool ReadRunAsService(const ServiceSettings& store) {
    return ToStrictNumber(store.Read(kSection, kRunAsServiceKey, "0")).value_or(0) != 0;
}

ServiceUnit GatewayUnit(const std::string& executable, const std::string& program_folder,
                        bool folder_from_home, const Settings& settings) {
    const std::string folder = Absolute(program_folder);
    return ServiceUnit{std::string(kServiceName),
                       std::string(kServiceDisplayName),
                       Absolute(executable),
                       folder,
                       folder_from_home ? folder : std::string(),
                       WritableFolders(folder + "/", settings),
                       settings.ServerPort > 0 && settings.ServerPort < 1024};
}

int InstallService(const ServiceInstaller& units, const ServiceSettings& store,
                   const ServiceUnit& unit) {
    const bool installed = ChangeInstallation(store, "1", [&] { return units.Install(unit); });
    return Report(installed, " service installation succeeded", " failed to install as service");
}

int RemoveService(const ServiceInstaller& units, const ServiceSettings& store) {
    const bool removed = ChangeInstallation(store, "0", [&] { return units.Remove(kServiceName); });
    return Report(removed, " service uninstalled successfully", " failed to uninstall as service");
}

void WriteShutdown(CloseMode mode, Logger& logger, BackgroundWriter* log_writer,
                   ServiceManager* service) {
    if (service != nullptr) service->ReportStopping();
    logger.WriteSystemLog(StopLine(mode));
    if (log_writer != nullptr) log_writer->Flush();
    if (service != nullptr) service->WriteEventLog(kEventNumber, kServiceStoppedEntry);
}

}  // namespace kelvarix
