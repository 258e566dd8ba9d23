#include "e2e/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kelvarix::e2e {

namespace fs = std::filesystem;

namespace {

std::string MakeTempFolder(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder: " + std::string(std::strerror(errno)));
    }
    return pattern;
}

void RemoveFolder(const std::string& path) {
    if (path.empty()) return;
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

ExitStatus FromWaitStatus(int status) {
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status), 0};
    return {false, -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
}

// The environment of this process with the overrides applied.
std::vector<std::string> ChildEnvironment(const EnvironmentOverrides& overrides) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        const bool replaced = std::any_of(overrides.begin(), overrides.end(),
                                          [&](const auto& o) { return o.first == name; });
        if (!replaced) entries.emplace_back(text);
    }
    for (const auto& [name, value] : overrides) entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> PointerArray(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

std::string BuiltBinary(const std::string& name) { return std::string(KELVARIX_BUILD_DIR) + "/" + name; }

bool WaitUntil(const std::function<bool()>& condition, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool WaitForTextInFile(const std::string& path, std::string_view text, Duration timeout) {
    return WaitUntil([&] { return ReadFile(path).find(text) != std::string::npos; }, timeout);
}

bool InOrder(std::string_view text, const std::vector<std::string_view>& parts) {
    std::size_t from = 0;
    for (std::string_view part : parts) {
        const std::size_t at = text.find(part, from);
        if (at == std::string_view::npos) return false;
        from = at + part.size();
    }
    return true;
}

std::size_t CountOf(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

std::vector<std::string> Lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

namespace {
sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A TCP socket bound to 127.0.0.1:port, listening when asked; returns the
// descriptor and stores the port it got.
int BoundSocket(int port, bool listen, int& bound_port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in address = Loopback(port);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listen && ::listen(fd, 16) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error("port " + std::to_string(port) + ": " + std::strerror(error));
    }
    bound_port = ntohs(address.sin_port);
    return fd;
}
}  // namespace

int FreeLocalPort() {
    int port = 0;
    ::close(BoundSocket(0, false, port));
    return port;
}

bool CanConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in address = Loopback(port);
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    return result == 0;
}

LocalListener::LocalListener(int port) : fd_(BoundSocket(port, true, port_)) {}

LocalListener::~LocalListener() { ::close(fd_); }

std::string TodaysDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

std::string TodaysLogName() { return TodaysDate() + ".Log"; }

std::string GatewayIni(int server_port, int atas_port, std::string_view atas_extra) {
    std::string ini = "[General]\nLogFileDays=30\n\n[Orvane]\nServerPort=" + std::to_string(server_port) +
                      "\nListenAddress=127.0.0.1\n\n[ATAS]\nIPAddress=127.0.0.1\nPortNumber=" +
                      std::to_string(atas_port) +
                      "\nConnectTimeout=1\nReconnectInterval=1\nCommandTimeout=1\n";
    ini += atas_extra;
    if (!ini.empty() && ini.back() != '\n') ini += '\n';
    return ini;
}

// --- TempProgramFolder ---

TempProgramFolder::TempProgramFolder() : path_(MakeTempFolder("kelvarix-e2e-home-") + "/") {}

TempProgramFolder::TempProgramFolder(std::string_view ini_text) : TempProgramFolder() {
    WriteFile("Kelvarix.ini", ini_text);
}

TempProgramFolder::~TempProgramFolder() { RemoveFolder(path_); }

std::string TempProgramFolder::WriteFile(const std::string& name, std::string_view content) const {
    const std::string path = path_ + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
    return path;
}

std::vector<std::string> TempProgramFolder::SystemLogNames() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(LogFolder(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.ends_with(".Log")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string TempProgramFolder::SystemLog() const {
    std::string log;
    for (const std::string& name : SystemLogNames()) log += ReadFile(LogFolder() + name);
    return log;
}

bool TempProgramFolder::WaitForSystemLog(std::string_view text, Duration timeout) const {
    return WaitUntil([&] { return SystemLog().find(text) != std::string::npos; }, timeout);
}

// --- ChildProcess ---

std::ostream& operator<<(std::ostream& out, const ExitStatus& status) {
    if (status.exited) return out << "exit code " << status.code;
    return out << "signal " << status.signal << " (" << ::strsignal(status.signal) << ")";
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const EnvironmentOverrides& environment)
    : output_folder_(MakeTempFolder("kelvarix-e2e-output-")) {
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed.
    std::vector<std::string> argument_texts{program};
    argument_texts.insert(argument_texts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environment_texts = ChildEnvironment(environment);
    std::vector<char*> argv = PointerArray(argument_texts);
    std::vector<char*> envp = PointerArray(environment_texts);

    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open((output_folder_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = ::open((output_folder_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int report[2] = {-1, -1};  // the child writes errno here when exec fails
    const bool ready = in >= 0 && out >= 0 && err >= 0 && ::pipe2(report, O_CLOEXEC) == 0;
    const pid_t parent = ::getpid();
    const pid_t pid = ready ? ::fork() : -1;
    if (pid == 0) {
        // A crashed or killed test run takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        // No descriptor of the test (a port it holds, say) leaks into the child.
        // (Marked close-on-exec rather than closed, so the report pipe stays
        // usable until exec.)
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < 1024; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(s, SIG_DFL);
        ::execve(program.c_str(), argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const ssize_t n = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    const int fork_error = errno;
    for (int fd : {in, out, err, report[1]}) {
        if (fd >= 0) ::close(fd);
    }
    if (pid < 0) {
        if (report[0] >= 0) ::close(report[0]);
        RemoveFolder(output_folder_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(fork_error));
    }
    pid_ = pid;
    int exec_error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &exec_error, sizeof exec_error);
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == sizeof exec_error) {
        Kill();
        RemoveFolder(output_folder_);
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(exec_error));
    }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::move(other.status_)),
      output_folder_(std::exchange(other.output_folder_, std::string())) {}

ChildProcess::~ChildProcess() {
    Kill();
    RemoveFolder(output_folder_);
}

bool ChildProcess::Signal(int signal_number) const {
    return pid_ > 0 && !status_ && ::kill(pid_, signal_number) == 0;
}

bool ChildProcess::Running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid_, &status, WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == pid_) {
        status_ = FromWaitStatus(status);
        return false;
    }
    return done == 0;
}

std::optional<ExitStatus> ChildProcess::WaitForExit(Duration timeout) {
    WaitUntil([&] { return !Running(); }, timeout);
    return status_;
}

void ChildProcess::Kill() {
    if (pid_ <= 0 || status_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid_, &status, 0);
    } while (done < 0 && errno == EINTR);
    status_ = done == pid_ ? FromWaitStatus(status) : ExitStatus{};
}

std::string ChildProcess::Stdout() const { return ReadFile(output_folder_ + "/stdout"); }
std::string ChildProcess::Stderr() const { return ReadFile(output_folder_ + "/stderr"); }

bool ChildProcess::WaitForOutput(const std::string& path, std::string_view text, Duration timeout) {
    bool found = false;
    WaitUntil(
        [&] {
            // Whether it ran is read before the output, so nothing written
            // just before the end is missed.
            const bool running = Running();
            found = ReadFile(path).find(text) != std::string::npos;
            return found || !running;
        },
        timeout);
    return found;
}

bool ChildProcess::WaitForStdout(std::string_view text, Duration timeout) {
    return WaitForOutput(output_folder_ + "/stdout", text, timeout);
}

bool ChildProcess::WaitForStderr(std::string_view text, Duration timeout) {
    return WaitForOutput(output_folder_ + "/stderr", text, timeout);
}

std::string ChildProcess::Describe() const {
    return "--- stdout ---\n" + Stdout() + "--- stderr ---\n" + Stderr();
}

ChildProcess StartGateway(const TempProgramFolder& folder, const std::vector<std::string>& arguments) {
    return ChildProcess(BuiltBinary("kelvarix"), arguments, {{"KELVARIX_HOME", folder.Path()}});
}

}  // namespace kelvarix::e2e
