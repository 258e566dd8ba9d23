#include "e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/io_helpers.h"

extern char** environ;

namespace kelvarix::e2e {

namespace {

constexpr Duration kPollInterval = std::chrono::milliseconds(20);

// For sockets only: nothing runs on it.
asio::io_context& Io() {
    static asio::io_context io;
    return io;
}

}  // namespace

std::string BuiltBinary(const std::string& name) {
    return std::string(KELVARIX_BUILD_DIR) + "/" + name;
}

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
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.emplace_back(text.substr(start, end - start));
    }
    return lines;
}

int FreeLocalPort() {
    return test::UnusedLocalPort(Io());
}

std::string TodaysDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

std::string Reply(std::string_view word, std::string_view id) {
    return std::string(word) + " (" + std::string(id) + ")";
}

std::string AlarmLine(std::string_view id, std::size_t text_bytes) {
    std::string text = "Alarm " + std::string(id) + " ";
    text.resize(std::max(text.size(), text_bytes), '.');
    const std::string name(id);
    return "1|0|E" + name + "|" + name + "|2001||" + text + "|T" + name;
}

std::size_t ResidentKiB(pid_t pid) {
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 6, nullptr, 10);
}

std::size_t MemoryAllowanceKiB() {
#if defined(__SANITIZE_ADDRESS__)
    return 96 * 1024;
#else
    return 24 * 1024;
#endif
}

std::string SystemLog(const test::TempDir& home) {
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(home.path("LogFiles"), error)) {
        if (entry.path().extension() == ".Log") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    std::string log;
    for (const std::string& path : paths) log += ReadFile(path);
    return log;
}

std::string GatewayIni(int server_port, int atas_port, std::string_view atas_extra,
                       std::string_view orvane_extra) {
    std::string ini = "[General]\nLogFileDays=30\n\n[Orvane]\n" + std::string(orvane_extra);
    if (ini.back() != '\n') ini += '\n';
    ini += "ServerPort=" + std::to_string(server_port) + "\nListenAddress=127.0.0.1\n\n[ATAS]\n";
    ini += atas_extra;
    if (ini.back() != '\n') ini += '\n';
    return ini + "IPAddress=127.0.0.1\nPortNumber=" + std::to_string(atas_port) +
           "\nUsername=kelvarix\nPassword=kelvarix\nConnectTimeout=2\nReconnectInterval=1\n"
           "CommandTimeout=2\nSM_Read=Read\nSM_Acknowledge=Acknowledge\n";
}

// --- ChildProcess ---

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& environment, bool keyboard) {
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed. The overrides come first in the
    // environment: a lookup takes the first entry of a name.
    std::vector<std::string> texts{program};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> settings;
    for (const auto& [name, value] : environment) settings.push_back(name + "=" + value);
    std::vector<char*> argv;
    std::vector<char*> envp;
    for (std::string& text : texts) argv.push_back(text.data());
    for (std::string& text : settings) envp.push_back(text.data());
    for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string exec_failed = "cannot start " + program + "\n";

    int in[2] = {-1, -1};
    if (keyboard ? ::pipe2(in, O_CLOEXEC) != 0
                 : (in[0] = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0) {
        throw std::runtime_error("standard input: " + std::string(std::strerror(errno)));
    }
    const int out =
        ::open(output_.path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err =
        ::open(output_.path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    pid_ = out >= 0 && err >= 0 ? ::fork() : -1;
    if (pid_ == 0) {
        // A crashed or killed test run takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        // No descriptor of the test (a port it holds, say) leaks into the child.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(s, SIG_DFL);
        ::execve(program.c_str(), argv.data(), envp.data());
        [[maybe_unused]] const ssize_t n =
            ::write(STDERR_FILENO, exec_failed.data(), exec_failed.size());
        ::_exit(127);
    }
    for (int fd : {in[0], out, err}) {
        if (fd >= 0) ::close(fd);
    }
    keyboard_ = in[1];
    if (pid_ < 0) throw std::runtime_error(exec_failed);
}

ChildProcess::~ChildProcess() {
    Kill();
    if (keyboard_ >= 0) ::close(keyboard_);
}

bool ChildProcess::Signal(int signal_number) const {
    return pid_ > 0 && !status_ && ::kill(pid_, signal_number) == 0;
}

bool ChildProcess::Running() {
    if (status_) return false;
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return done == 0;
}

std::optional<int> ChildProcess::WaitForExit(Duration timeout) {
    WaitUntil([&] { return !Running(); }, timeout);
    return status_;
}

void ChildProcess::Kill() {
    if (status_) return;
    ::kill(pid_, SIGKILL);
    WaitForExit();
}

bool ChildProcess::WaitForStdout(std::string_view text, std::size_t count) {
    bool found = false;
    WaitUntil([&] {
        // Whether it ran is read before the output, so nothing written just
        // before the end is missed.
        const bool running = Running();
        found = CountOf(Stdout(), text) >= count;
        return found || !running;
    });
    return found;
}

void ChildProcess::Type(std::string_view line) const {
    const std::string text = std::string(line) + "\n";
    if (::write(keyboard_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot type: " + std::string(std::strerror(errno)));
    }
}

std::string ChildProcess::Describe() const {
    return "--- stdout ---\n" + Stdout() + "--- stderr ---\n" + Stderr();
}

// --- Pbx ---

Pbx::Pbx(const std::vector<std::string>& options, int port, bool keyboard)
    : process_(
          BuiltBinary("kelvarix-pbxsim"),
          [&] {
              std::vector<std::string> arguments{"--port", std::to_string(port)};
              arguments.insert(arguments.end(), options.begin(), options.end());
              return arguments;
          }(),
          {}, keyboard) {
    // The first line names the port once it is open.
    if (!process_.WaitForStdout("\n") || !Output().starts_with("listening ")) {
        throw std::runtime_error("the PBX simulator did not start:\n" + process_.Describe());
    }
    port_ = std::atoi(Output().c_str() + std::strlen("listening "));
}

std::vector<std::string> Pbx::Received() const {
    std::vector<std::string> received;
    for (const std::string& line : Lines(Output())) {
        if (line.starts_with("recv: ")) received.push_back(line.substr(6));
    }
    return received;
}

std::size_t Pbx::WaitForAlarms(std::string_view alarm_id, std::size_t count) {
    const std::string sa = "recv: SA<9>" + std::string(alarm_id) + "<9>";
    WaitFor(sa, count);
    return CountOf(Output(), sa);
}

// --- AlarmServer ---

std::optional<AlarmServer> AlarmServer::Connect(int port, const std::string& to,
                                                const std::string& from) {
    asio::ip::tcp::socket socket(Io());
    asio::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    if (!from.empty() && !error) socket.bind({asio::ip::make_address(from), 0}, error);
    if (!error)
        socket.connect({asio::ip::make_address(to), static_cast<std::uint16_t>(port)}, error);
    if (error) return std::nullopt;
    socket.set_option(asio::ip::tcp::no_delay(true));
    socket.non_blocking(true);
    return AlarmServer(socket.release());
}

AlarmServer::~AlarmServer() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t AlarmServer::SendSome(std::string_view bytes) {
    const ssize_t n = fd_ < 0 ? -1 : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool AlarmServer::Send(std::string_view bytes, Duration stall) {
    auto deadline = std::chrono::steady_clock::now() + stall;
    while (!bytes.empty() && fd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
        const std::size_t n = SendSome(bytes);
        if (n > 0) {
            bytes.remove_prefix(n);
            deadline = std::chrono::steady_clock::now() + stall;
        } else if (errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            // Replies are taken meanwhile, so a gateway that waits for its
            // replies to be read is not held up by us.
            Pump(0);
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, static_cast<int>(kPollInterval.count()));
        }
    }
    return bytes.empty();
}

void AlarmServer::Pump(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, timeout_ms) <= 0) return;
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0)
        partial_.append(buffer, static_cast<std::size_t>(n));
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {  // a reset counts as the end too
        ::close(fd_);
        fd_ = -1;
    }
    std::size_t start = 0;
    for (std::size_t lf; (lf = partial_.find('\n', start)) != std::string::npos; start = lf + 1) {
        lines_.push_back(partial_.substr(start, lf - start));
    }
    partial_.erase(0, start);
}

const std::vector<std::string>& AlarmServer::Lines() {
    Pump(0);
    return lines_;
}

bool AlarmServer::WaitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    for (Pump(0); !done(); Pump(static_cast<int>(kPollInterval.count()))) {
        if (fd_ < 0 || std::chrono::steady_clock::now() >= deadline) return false;
    }
    return true;
}

bool AlarmServer::WaitForLines(std::size_t count) {
    return WaitFor([&] { return lines_.size() >= count; });
}

bool AlarmServer::WaitForLine(std::string_view line) {
    return WaitFor([&] { return std::find(lines_.begin(), lines_.end(), line) != lines_.end(); });
}

bool AlarmServer::WaitForClose() {
    return WaitFor([&] { return fd_ < 0; });
}

// --- GatewayTest ---

ChildProcess::Environment GatewayEnvironment(const test::TempDir& home) {
    std::string asan = "quarantine_size_mb=4";
    if (const char* given = std::getenv("ASAN_OPTIONS"); given != nullptr && *given != '\0') {
        asan = std::string(given) + ":" + asan;
    }
    return {{"KELVARIX_HOME", home.path("")}, {"ASAN_OPTIONS", asan}};
}

void GatewayTest::StartGateway(std::string_view atas_extra, std::string_view orvane_extra,
                               int atas_port) {
    if (atas_port == 0) atas_port = pbx_->Port();
    while (server_port_ == atas_port) server_port_ = FreeLocalPort();
    home_.write("Kelvarix.ini", GatewayIni(server_port_, atas_port, atas_extra, orvane_extra));
    gateway_.emplace(BuiltBinary("kelvarix"), std::vector<std::string>{},
                     GatewayEnvironment(home_));
    ASSERT_TRUE(WaitForGatewayLine("Kelvarix was started")) << Describe();
}

AlarmServer GatewayTest::Connect(const std::string& from) {
    std::optional<AlarmServer> client = AlarmServer::Connect(server_port_, "127.0.0.1", from);
    if (!client) throw std::runtime_error("cannot connect to the gateway:\n" + Describe());
    return std::move(*client);
}

bool GatewayTest::Fence(AlarmServer& client, std::string_view id) {
    return client.Send("0|0|E|" + std::string(id) + "|2001||fence|T\n") &&
           client.WaitForLine(Reply("buffered", id));
}

void GatewayTest::ExpectGatewayAnswers() {
    ASSERT_TRUE(gateway_->Running()) << Describe();
    AlarmServer probe = Connect();
    EXPECT_TRUE(Fence(probe, "PROBE")) << Describe();
}

std::string GatewayTest::Describe() const {
    std::string text;
    if (pbx_) text += "=== kelvarix-pbxsim\n" + pbx_->Output();
    if (gateway_) text += "=== kelvarix\n" + gateway_->Describe();
    return text;
}

}  // namespace kelvarix::e2e
