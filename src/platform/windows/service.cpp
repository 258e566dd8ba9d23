#include <windows.h>

#include <future>
#include <iterator>
#include <mutex>
#include <thread>

#include "platform/stop_requests.h"
#include "platform/windows_service.h"

namespace kelvarix {
namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kEventSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_ != nullptr) ::CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

class RegKey {
public:
    RegKey() = default;
    ~RegKey() {
        if (key_ != nullptr) ::RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// The string values of a key, as name, NUL, value, NUL, ...
std::optional<std::string> StringValues(const std::string& path) {
    RegKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.out()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string out;
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD name_size = sizeof name;
        DWORD type = 0;
        DWORD data_size = 0;
        const LONG status = ::RegEnumValueA(key.get(), index, name, &name_size, nullptr, &type,
                                            nullptr, &data_size);
        if (status != ERROR_SUCCESS) break;
        if (type != REG_SZ) continue;
        std::string data(data_size, '\0');
        if (::RegQueryValueExA(key.get(), name, nullptr, nullptr,
                               reinterpret_cast<BYTE*>(data.data()), &data_size) != ERROR_SUCCESS) {
            continue;
        }
        data.resize(data_size);
        while (!data.empty() && data.back() == '\0') data.pop_back();
        out.append(name, name_size);
        out += '\0';
        out += data;
        out += '\0';
    }
    return out;
}

// Restarted 5 s after the first, the second and every later failure; a day
// without one starts the count again.
bool SetRecoveryActions(SC_HANDLE service) {
    constexpr SC_ACTION kRestart{SC_ACTION_RESTART, 5000};
    SC_ACTION actions[] = {kRestart, kRestart, kRestart};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = static_cast<DWORD>(std::size(actions));
    failure.lpsaActions = actions;
    return ::ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

// The event source of the service's entries, with the executable as the file
// whose message table gives Event Viewer their text.
bool AddEventSource(const std::string& name, const std::string& executable) {
    RegKey key;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kEventSourcesKey + name).c_str(), 0, nullptr, 0,
                          KEY_SET_VALUE, nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    return ::RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(executable.c_str()),
                            static_cast<DWORD>(executable.size() + 1)) == ERROR_SUCCESS &&
           ::RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof types) == ERROR_SUCCESS;
}

void DeleteEventSource(std::string_view name) {
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kEventSourcesKey + std::string(name)).c_str());
}

}  // namespace

// --- installation ---------------------------------------------------------

bool ScmServiceInstaller::Install(const ServiceUnit& unit) const {
    const ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (manager.get() == nullptr) return false;
    // Quoted, so that a folder with blanks is not cut at the first blank.
    const std::string command = "\"" + unit.executable + "\"";
    const ScHandle service(::CreateServiceA(
        manager.get(), unit.name.c_str(), unit.description.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
        nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service.get() == nullptr) return false;
    if (!unit.home.empty()) {
        // The service manager hands these variables to the service's process.
        std::string environment = "KELVARIX_HOME=" + unit.home;
        environment.append(2, '\0');
        ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, (kServicesKey + unit.name).c_str(), "Environment",
                          REG_MULTI_SZ, environment.data(), static_cast<DWORD>(environment.size()));
    }
    if (SetRecoveryActions(service.get()) && AddEventSource(unit.name, unit.executable)) return true;
    // A failed installation leaves nothing behind.
    DeleteEventSource(unit.name);
    ::DeleteService(service.get());
    return false;
}

bool ScmServiceInstaller::Remove(std::string_view service_name) const {
    const ScHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.get() == nullptr) return false;
    const ScHandle service(::OpenServiceA(manager.get(), std::string(service_name).c_str(), DELETE));
    if (service.get() == nullptr || ::DeleteService(service.get()) == FALSE) return false;
    DeleteEventSource(service_name);
    return true;
}

// --- settings -------------------------------------------------------------

std::string RegistryServiceSettings::KeyPath(std::string_view section) const {
    return kServicesKey + service_name_ + "\\" + std::string(section);
}

std::string RegistryServiceSettings::Read(std::string_view section, std::string_view key,
                                          std::string_view default_text) const {
    DWORD size = 0;
    const std::string path = KeyPath(section);
    const std::string name(key);
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                       nullptr, &size) != ERROR_SUCCESS) {
        return std::string(default_text);
    }
    std::string value(size, '\0');
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                       value.data(), &size) != ERROR_SUCCESS) {
        return std::string(default_text);
    }
    value.resize(size);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
}

bool RegistryServiceSettings::Write(std::string_view section, std::string_view key,
                                    std::string_view value) const {
    RegKey handle;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, KeyPath(section).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                          nullptr, handle.out(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const std::string text(value);
    return ::RegSetValueExA(handle.get(), std::string(key).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

std::optional<std::string> RegistryServiceSettings::Snapshot() const {
    return StringValues(KeyPath(section_));
}

bool RegistryServiceSettings::Restore(const std::optional<std::string>& snapshot) const {
    const std::string path = KeyPath(section_);
    if (!snapshot) {
        const LONG status = ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
    }
    // Values written since go, the snapshot's come back.
    if (const std::optional<std::string> now = StringValues(path)) {
        for (std::size_t at = 0; at < now->size();) {
            const std::string name = now->c_str() + at;
            at += name.size() + 1;
            at += std::char_traits<char>::length(now->c_str() + at) + 1;
            ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, path.c_str(), name.c_str());
        }
    }
    bool ok = true;
    for (std::size_t at = 0; at < snapshot->size();) {
        const std::string name = snapshot->c_str() + at;
        at += name.size() + 1;
        const std::string value = snapshot->c_str() + at;
        at += value.size() + 1;
        ok = Write(section_, name, value) && ok;
    }
    return ok;
}

// --- the running service --------------------------------------------------

struct ScmServiceManager::State {
    std::string name;
    HANDLE event_source = nullptr;
    std::mutex mutex;  // guards the status
    SERVICE_STATUS_HANDLE status_handle = nullptr;
    SERVICE_STATUS status{};
    std::promise<void> registered;
    bool registered_set = false;

    void Report(DWORD state, DWORD wait_hint) {
        std::lock_guard lock(mutex);
        if (status_handle == nullptr) return;
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        // The accepted controls: stop and shutdown; not pause and continue.
        status.dwControlsAccepted =
            state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status.dwWin32ExitCode = NO_ERROR;
        status.dwWaitHint = wait_hint;
        status.dwCheckPoint = wait_hint != 0 ? status.dwCheckPoint + 1 : 0;
        ::SetServiceStatus(status_handle, &status);
    }
    void Registered() {
        std::lock_guard lock(mutex);
        if (registered_set) return;
        registered_set = true;
        registered.set_value();
    }
};

namespace {

// The dispatcher's ServiceMain has no context of its own.
std::shared_ptr<ScmServiceManager::State> g_service;

DWORD WINAPI ServiceControl(DWORD control, DWORD, LPVOID, LPVOID context) {
    auto* state = static_cast<ScmServiceManager::State*>(context);
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            state->Report(SERVICE_STOP_PENDING, 10000);
            RaiseStopRequest(StopRequest::ServiceManager);
            return NO_ERROR;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;  // success, and nothing else
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    const std::shared_ptr<ScmServiceManager::State> state = g_service;
    {
        std::lock_guard lock(state->mutex);
        state->status_handle =
            ::RegisterServiceCtrlHandlerExA(state->name.c_str(), &ServiceControl, state.get());
    }
    // Start answered: running once the gateway is ready for a stop.
    state->Report(SERVICE_START_PENDING, 10000);
    state->Registered();
}

}  // namespace

ScmServiceManager::ScmServiceManager(std::shared_ptr<State> state) : state_(std::move(state)) {}

ScmServiceManager::~ScmServiceManager() {
    if (state_->event_source != nullptr) ::DeregisterEventSource(state_->event_source);
}

std::unique_ptr<ScmServiceManager> ScmServiceManager::Start(std::string service_name) {
    auto state = std::make_shared<State>();
    state->name = std::move(service_name);
    state->event_source = ::RegisterEventSourceA(nullptr, state->name.c_str());
    g_service = state;
    std::future<void> registered = state->registered.get_future();
    // The dispatcher returns when the service has stopped, which the process
    // does not outlive; or at once when the manager did not start us.
    std::thread([state] {
        SERVICE_TABLE_ENTRYA table[] = {{state->name.data(), &ServiceMain}, {nullptr, nullptr}};
        ::StartServiceCtrlDispatcherA(table);
        state->Registered();
    }).detach();
    registered.wait();
    return std::unique_ptr<ScmServiceManager>(new ScmServiceManager(state));
}

void ScmServiceManager::ReportReady() { state_->Report(SERVICE_RUNNING, 0); }

void ScmServiceManager::ReportStopping() { state_->Report(SERVICE_STOP_PENDING, 10000); }

void ScmServiceManager::ReportStopped() { state_->Report(SERVICE_STOPPED, 0); }

void ScmServiceManager::WriteEventLog(std::uint32_t event_number, std::string_view text) {
    if (state_->event_source == nullptr) return;
    const std::string entry(text);
    const char* strings[] = {entry.c_str()};
    ::ReportEventA(state_->event_source, EVENTLOG_INFORMATION_TYPE, 0, event_number, nullptr, 1, 0,
                   strings, nullptr);
}

}  // namespace kelvarix
