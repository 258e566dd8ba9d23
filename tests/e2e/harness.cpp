#include "e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/io_helpers.h"

namespace kelvarix::e2e {

namespace {
constexpr Duration kPollInterval = std::chrono::milliseconds(20);
asio::io_context io;  // for the sockets only: nothing runs on it
}  // namespace

bool WaitUntil(const std::function<bool()>& condition, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

bool InOrder(std::string_view text, const std::vector<std::string_view>& parts) {
    std::size_t from = 0;
    for (std::string_view part : parts) {
        from = text.find(part, from);
        if (from == std::string_view::npos) return false;
        from += part.size();
    }
    return true;
}

std::size_t CountOf(std::string_view text, std::string_view part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

Texts Lines(std::string_view text) {
    Texts lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.emplace_back(text.substr(start, end - start));
    }
    return lines;
}

int FreeLocalPort() {
    return test::UnusedLocalPort(io);
}

std::string AlarmLine(std::string_view id, std::size_t text_bytes) {
    const std::string name(id);
    std::string text = "Alarm " + name;
    text.resize(std::max(text.size(), text_bytes), '.');
    return "1|0|E" + name + "|" + name + "|2001||" + text + "|T" + name;
}

std::string SystemLog(const test::TempDir& home) {
    Texts paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(home.path("LogFiles"), error))
        if (entry.path().extension() == ".Log") paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    std::string log;
    for (const std::string& path : paths) log += ReadFile(path);
    return log;
}

std::string GatewayIni(int server_port, int atas_port, std::string_view atas_extra,
                       std::string_view orvane_extra) {
    return "[Orvane]\n" + std::string(orvane_extra) +
           "\nServerPort=" + std::to_string(server_port) + "\nListenAddress=127.0.0.1\n[ATAS]\n" +
           std::string(atas_extra) +
           "\nIPAddress=127.0.0.1\nPortNumber=" + std::to_string(atas_port) +
           "\nUsername=kelvarix\nPassword=kelvarix\nConnectTimeout=2\nReconnectInterval=1\n"
           "CommandTimeout=2\nSM_Read=Read\nSM_Acknowledge=Acknowledge\n";
}

Texts GatewayEnvironment(const test::TempDir& home) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    return {"KELVARIX_HOME=" + home.path(""),
            "ASAN_OPTIONS=" +
                std::string(asan != nullptr && *asan != '\0' ? asan + std::string(":") : "") +
                "quarantine_size_mb=4"};
}

ChildProcess::ChildProcess(const std::string& program, const Texts& arguments,
                           const Texts& environment, bool keyboard) {
    // Everything the child needs is prepared here: between fork and exec only
    // async-signal-safe calls are allowed. env(1) sets the environment.
    Texts texts{"/usr/bin/env"};
    texts.insert(texts.end(), environment.begin(), environment.end());
    texts.push_back(program);
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    int pipe_ends[2] = {-1, -1};
    if (keyboard && ::pipe2(pipe_ends, O_CLOEXEC) == 0) keyboard_ = pipe_ends[1];
    const int in = keyboard ? pipe_ends[0] : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = ::open(output_.path("stdout").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const int err = ::open(output_.path("stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    pid_ = in >= 0 && out >= 0 && err >= 0 ? ::fork() : -1;
    if (pid_ == 0) {
        // A crashed or killed test run takes its children with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        // No descriptor of the test (a port it holds, say) leaks into the child.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int s : {SIGINT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(s, SIG_DFL);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    for (int fd : {in, out, err}) ::close(fd);
    if (pid_ < 0) throw std::runtime_error("cannot start " + program);
}

ChildProcess::~ChildProcess() {
    if (Signal(SIGKILL)) WaitForExit();
    if (keyboard_ >= 0) ::close(keyboard_);
}

void ChildProcess::Type(std::string_view line) const {
    const std::string text = std::string(line) + "\n";
    if (::write(keyboard_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("cannot type to the child: " + std::string(std::strerror(errno)));
}

bool ChildProcess::Running() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return !status_;
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

Pbx::Pbx(const Texts& options, bool keyboard)
    : ChildProcess(BuiltBinary("kelvarix-pbxsim"), options, {}, keyboard) {
    // The first line names the port.
    if (!WaitForStdout("\n") || !Stdout().starts_with("listening "))
        throw std::runtime_error("the PBX simulator did not start:\n" + Describe());
    port_ = std::atoi(Stdout().c_str() + std::strlen("listening "));
}

std::optional<AlarmServer> AlarmServer::Connect(int port, const std::string& to,
                                                const std::string& from) {
    asio::ip::tcp::socket socket(io);
    asio::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    if (!from.empty() && !error) socket.bind({asio::ip::make_address(from), 0}, error);
    if (!error)
        socket.connect({asio::ip::make_address(to), static_cast<std::uint16_t>(port)}, error);
    if (error) return std::nullopt;
    socket.set_option(asio::ip::tcp::no_delay(true));
    socket.non_blocking(true);
    return AlarmServer(std::move(socket));
}

bool AlarmServer::Send(std::string_view bytes, Duration stall, std::size_t* sent) {
    for (auto deadline = std::chrono::steady_clock::now() + stall; !bytes.empty();) {
        asio::error_code error;
        const std::size_t n = socket_.is_open() ? socket_.send(asio::buffer(bytes), 0, error) : 0;
        bytes.remove_prefix(n);
        if (sent != nullptr) *sent += n;
        if (n > 0) deadline = std::chrono::steady_clock::now() + stall;
        if (!socket_.is_open() || (error && error != asio::error::would_block) ||
            std::chrono::steady_clock::now() >= deadline)
            return false;
        // Replies are taken meanwhile, so a gateway that waits for its
        // replies to be read is not held up by us.
        Pump();
        pollfd writable{socket_.native_handle(), POLLOUT, 0};
        if (n == 0 && socket_.is_open())
            ::poll(&writable, 1, static_cast<int>(kPollInterval.count()));
    }
    return true;
}

bool AlarmServer::Pump() {
    if (!socket_.is_open()) return false;
    char buffer[64 * 1024];
    asio::error_code error;
    while (std::size_t n = socket_.receive(asio::buffer(buffer), 0, error))
        partial_.append(buffer, n);
    if (error != asio::error::would_block) socket_.close();  // the end of data or a reset
    std::size_t start = 0;
    for (std::size_t lf; (lf = partial_.find('\n', start)) != std::string::npos; start = lf + 1)
        lines_.push_back(partial_.substr(start, lf - start));
    partial_.erase(0, start);
    return socket_.is_open();
}

}  // namespace kelvarix::e2e
