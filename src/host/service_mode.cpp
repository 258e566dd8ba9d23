#include "host/service_mode.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>

#include "host/gateway.h"
#include "platform/message_box.h"
#include "queue/conversions.h"

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
                        bool folder_from_home) {
    const std::string folder = Absolute(program_folder);
    return ServiceUnit{std::string(kServiceName), std::string(kServiceDisplayName),
                       Absolute(executable), folder, folder_from_home ? folder : std::string()};
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
