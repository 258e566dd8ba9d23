#include "e2e/fault_peers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kelvarix::e2e {

namespace {

bool FillAddress(const std::string& text, int port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 100));
}

}  // namespace

// --- RawClient ---

std::optional<RawClient> RawClient::Connect(int port, const std::string& to, const std::string& from) {
    sockaddr_in target{};
    if (!FillAddress(to, port, target)) return std::nullopt;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    if (!from.empty()) {
        sockaddr_in source{};
        if (!FillAddress(from, 0, source) ||
            ::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            ::close(fd);
            return std::nullopt;
        }
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return RawClient(fd);
}

RawClient::~RawClient() { Close(); }

RawClient::RawClient(RawClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      closed_(other.closed_),
      partial_(std::move(other.partial_)),
      lines_(std::move(other.lines_)) {}

void RawClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    closed_ = true;
}

std::size_t RawClient::SendSome(std::string_view bytes) {
    if (fd_ < 0 || closed_) return 0;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool RawClient::Send(std::string_view bytes, Duration stall) {
    auto deadline = std::chrono::steady_clock::now() + stall;
    while (!bytes.empty()) {
        if (fd_ < 0 || closed_) return false;
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
            deadline = std::chrono::steady_clock::now() + stall;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Replies are taken in meanwhile, so a gateway that waits for its
        // replies to be read is not held up by us.
        Pump(0);
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, MillisecondsUntil(deadline));
    }
    return true;
}

void RawClient::Pump(int timeout_ms) {
    if (fd_ < 0 || closed_) return;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            partial_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) closed_ = true;
        break;
    }
    std::size_t start = 0;
    for (std::size_t lf; (lf = partial_.find('\n', start)) != std::string::npos; start = lf + 1) {
        lines_.push_back(partial_.substr(start, lf - start));
    }
    partial_.erase(0, start);
}

const std::vector<std::string>& RawClient::Lines() {
    Pump(0);
    return lines_;
}

bool RawClient::WaitForLines(std::size_t count, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Pump(0);
        if (lines_.size() >= count) return true;
        if (closed_ || std::chrono::steady_clock::now() >= deadline) return false;
        Pump(MillisecondsUntil(deadline));
    }
}

bool RawClient::WaitForLine(std::string_view line, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Pump(0);
        if (std::find(lines_.begin(), lines_.end(), line) != lines_.end()) return true;
        if (closed_ || std::chrono::steady_clock::now() >= deadline) return false;
        Pump(MillisecondsUntil(deadline));
    }
}

bool RawClient::WaitForClose(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!closed_) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        Pump(MillisecondsUntil(deadline));
    }
    return true;
}

// --- PbxSim ---

PbxSim::PbxSim(const std::vector<std::string>& options, int port)
    : process_(BuiltBinary("kelvarix-pbxsim"), [&] {
          std::vector<std::string> arguments{"--port", std::to_string(port)};
          arguments.insert(arguments.end(), options.begin(), options.end());
          return arguments;
      }()) {
    // The first line names the port once it is open.
    if (!process_.WaitForStdout("\n")) {
        throw std::runtime_error("the PBX simulator did not start: " + process_.Describe());
    }
    const std::string first = Output().substr(0, Output().find('\n'));
    if (!first.starts_with("listening ")) {
        throw std::runtime_error("the PBX simulator did not listen: " + process_.Describe());
    }
    port_ = std::atoi(first.c_str() + 10);
}

std::size_t PbxSim::AlarmsReceived(std::string_view alarm_id) const {
    return CountOf(Output(), "recv: SA<9>" + std::string(alarm_id) + "<9>");
}

std::size_t PbxSim::WaitForAlarms(std::string_view alarm_id, std::size_t count) const {
    WaitUntil([&] { return AlarmsReceived(alarm_id) >= count; });
    return AlarmsReceived(alarm_id);
}

std::size_t PbxSim::LinesEqualTo(std::string_view line) const {
    const std::string text = "\n" + Output();
    return CountOf(text, "\n" + std::string(line) + "\n");
}

// --- the gateway and its readings ---

std::string FaultIni(int server_port, int atas_port, std::string_view atas_extra,
                     std::string_view orvane_extra) {
    std::string ini = "[General]\nLogFileDays=30\n\n[Orvane]\nServerPort=" + std::to_string(server_port) + "\n";
    ini += orvane_extra;
    if (ini.back() != '\n') ini += '\n';
    if (orvane_extra.find("ListenAddress") == std::string_view::npos) ini += "ListenAddress=127.0.0.1\n";
    ini += "\n[ATAS]\n";
    ini += atas_extra;
    if (ini.back() != '\n') ini += '\n';
    // Keys given above win: the first occurrence of a key counts.
    ini += "IPAddress=127.0.0.1\nPortNumber=" + std::to_string(atas_port) +
           "\nUsername=kelvarix\nPassword=kelvarix\nConnectTimeout=1\nReconnectInterval=1\n"
           "CommandTimeout=1\nQueueDeleteTime=30\n";
    return ini;
}

ChildProcess StartLeanGateway(const TempProgramFolder& folder) {
    std::string asan = "quarantine_size_mb=4";
    if (const char* given = std::getenv("ASAN_OPTIONS"); given != nullptr && *given != '\0') {
        asan = std::string(given) + ":" + asan;
    }
    return ChildProcess(BuiltBinary("kelvarix"), {},
                        {{"KELVARIX_HOME", folder.Path()}, {"ASAN_OPTIONS", asan}});
}

std::size_t ResidentKiB(pid_t pid) {
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoull(status.c_str() + at + 6, nullptr, 10));
}

std::size_t OpenDescriptors(pid_t pid) {
    std::size_t count = 0;
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        ::closedir(dir);
    }
    return count;
}

std::string AlarmLine(std::string_view id, std::size_t text_bytes) {
    std::string text = "Alarm " + std::string(id) + " ";
    text.resize(std::max(text.size(), text_bytes), '.');
    return "1|0|E" + std::string(id) + "|" + std::string(id) + "|2001||" + text + "|T" + std::string(id);
}

std::size_t MemoryAllowanceKiB() {
#if defined(__SANITIZE_ADDRESS__)
    return 96 * 1024;
#else
    return 24 * 1024;
#endif
}

}  // namespace kelvarix::e2e
