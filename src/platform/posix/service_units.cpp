#include "platform/service_units.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <vector>

extern char** environ;

namespace kelvarix {
namespace {

bool HasControlCharacter(std::string_view text) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

// systemd expands "%" specifiers in every value below.
std::string EscapeSpecifiers(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// A double-quoted word as systemd reads it. ExecStart also expands "$"
// variables, so there a "$" is doubled.
std::string QuotedWord(std::string_view text, bool escape_dollar) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '%' || (c == '$' && escape_dollar)) out += c;
        out += c;
    }
    return out + "\"";
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool IsAbsolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

bool ProgramOnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string folder(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// Runs systemctl with the arguments and waits for it. Its output is dropped:
// it would tear up the console, and the outcome is reported by its status.
bool RunSystemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "systemctl");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Only a running systemd has unit files to reload; systemctl enable and
// disable also work without one (on an image being prepared).
bool ReloadSystemd() { return ::sd_booted() <= 0 || RunSystemctl({"daemon-reload"}); }

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A crash or a hung event loop (no watchdog ping for 30 s) restarts the
// gateway after 5 s.
constexpr std::string_view kRestartAndWatchdog =
    "Restart=on-failure\nRestartSec=5\nWatchdogSec=30\n";

// The gateway needs its sockets (AF_UNIX for the instance lock, sd_notify
// and the journal), its writable folders and nothing else of the system.
constexpr std::string_view kSandbox =
    "UMask=0027\nProtectSystem=strict\nPrivateDevices=yes\nPrivateMounts=yes\nNoNewPrivileges=yes\n"
    "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\nSystemCallFilter=@system-service\n"
    "SystemCallFilter=~@privileged @resources\nSystemCallErrorNumber=EPERM\n"
    "SystemCallArchitectures=native\nProcSubset=pid\n"
    "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n"
    "ProtectClock=yes\nProtectHostname=yes\nProtectControlGroups=yes\nProtectProc=invisible\n"
    "RestrictNamespaces=yes\nRestrictRealtime=yes\nRestrictSUIDSGID=yes\nLockPersonality=yes\n"
    "MemoryDenyWriteExecute=yes\nRemoveIPC=yes\nKeyringMode=private\nDevicePolicy=closed\n";

// A gateway installed below a home or temporary folder must still see its
// files there, which ProtectHome=yes and PrivateTmp would hide.
bool AnyBelow(const ServiceUnit& unit, std::initializer_list<std::string_view> roots) {
    std::vector<std::string> paths = unit.writable_folders;
    paths.insert(paths.end(), {unit.executable, unit.working_directory, unit.home});
    for (const std::string& path : paths) {
        for (std::string_view root : roots) {
            if (path.starts_with(root)) return true;
        }
    }
    return false;
}

std::string UnitFileName(std::string_view service_name) {
    return std::string(service_name) + ".service";
}

}  // namespace

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
}

std::optional<std::string> UnitFileText(const ServiceUnit& unit) {
    std::vector<const std::string*> fields = {&unit.name, &unit.description, &unit.executable,
                                              &unit.working_directory, &unit.home};
    for (const std::string& folder : unit.writable_folders) {
        if (!IsAbsolute(folder)) return std::nullopt;
        fields.push_back(&folder);
    }
    for (const std::string* field : fields) {
        if (HasControlCharacter(*field)) return std::nullopt;
    }
    if (!IsAbsolute(unit.executable) || !IsAbsolute(unit.working_directory)) return std::nullopt;
    if (!unit.home.empty() && !IsAbsolute(unit.home)) return std::nullopt;

    std::string text = "[Unit]\nDescription=" + EscapeSpecifiers(unit.description) +
                       "\nDocumentation=man:kelvarix(1)\nAfter=network.target\n\n"
                       "[Service]\nType=notify\nNotifyAccess=main\nExecStart=" +
                       QuotedWord(unit.executable, true) + "\nWorkingDirectory=" +
                       EscapeSpecifiers(WithoutTrailingSlash(unit.working_directory)) + "\n";
    if (!unit.home.empty()) {
        text += "Environment=" + QuotedWord("KELVARIX_HOME=" + unit.home, false) + "\n";
    }
    text += kRestartAndWatchdog;
    // "-": a folder that is missing does not keep the service from starting;
    // the gateway then logs its failed writes there.
    text += "ReadWritePaths=";
    for (const std::string& folder : unit.writable_folders) {
        text += " " + QuotedWord("-" + WithoutTrailingSlash(folder), false);
    }
    text += std::string("\nCapabilityBoundingSet=") +
            (unit.binds_privileged_port ? "CAP_NET_BIND_SERVICE" : "") + "\n";
    text += AnyBelow(unit, {"/home/", "/root/", "/run/user/"}) ? "ProtectHome=read-only\n"
                                                               : "ProtectHome=yes\n";
    if (!AnyBelow(unit, {"/tmp/", "/var/tmp/"})) text += "PrivateTmp=yes\n";
    text += kSandbox;
    text += "\n[Install]\nWantedBy=multi-user.target\n";
    return text;
}

SystemdUnits::SystemdUnits(std::string unit_folder, bool use_systemctl)
    : folder_(WithoutTrailingSlash(std::move(unit_folder))), use_systemctl_(use_systemctl) {}

SystemdUnits SystemdUnits::FromEnvironment() {
    const char* folder = std::getenv("KELVARIX_UNIT_DIR");
    if (folder != nullptr && *folder != '\0') return SystemdUnits(folder, false);
    return SystemdUnits(std::string(kSystemUnitFolder), ProgramOnPath("systemctl"));
}

std::string SystemdUnits::UnitPath(std::string_view service_name) const {
    return folder_ + "/" + UnitFileName(service_name);
}

bool SystemdUnits::Install(const ServiceUnit& unit) const {
    const std::optional<std::string> text = UnitFileText(unit);
    if (!text || unit.name.empty() || unit.name.find('/') != std::string::npos) return false;

    const std::string path = UnitPath(unit.name);
    // O_EXCL: a unit of the same name, perhaps of a gateway in another
    // folder, is never overwritten.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::fchmod(fd, 0644) == 0 && WriteAll(fd, *text);
    if (::close(fd) != 0 || !written) {
        ::unlink(path.c_str());
        return false;
    }
    if (!use_systemctl_) return true;
    if (ReloadSystemd() && RunSystemctl({"enable", UnitFileName(unit.name)})) return true;
    ::unlink(path.c_str());
    ReloadSystemd();
    return false;
}

bool SystemdUnits::Remove(std::string_view service_name) const {
    if (service_name.empty() || service_name.find('/') != std::string_view::npos) return false;
    const std::string path = UnitPath(service_name);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;  // not installed

    if (use_systemctl_ && !RunSystemctl({"disable", UnitFileName(service_name)})) return false;
    if (::unlink(path.c_str()) != 0) {
        // Leave it as it was: installed and enabled.
        if (use_systemctl_) RunSystemctl({"enable", UnitFileName(service_name)});
        return false;
    }
    // The unit is gone either way; a failed reload only delays systemd noticing.
    ReloadSystemd();
    return true;
}

}  // namespace kelvarix
