#include "e2e/gateway_rig.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace kelvarix::e2e::rig {

std::string RigIni(int server_port, int atas_port, std::string_view atas_extra) {
    std::string ini = "[General]\nLogFileDays=30\n\n[Orvane]\nServerPort=" + std::to_string(server_port) +
                      "\nListenAddress=127.0.0.1\n\n[ATAS]\nIPAddress=127.0.0.1\nPortNumber=" +
                      std::to_string(atas_port) +
                      "\nUsername=kelvarix\nPassword=kelvarix\n"
                      "ConnectTimeout=2\nReconnectInterval=1\nCommandTimeout=2\n"
                      "SM_Read=Read\nSM_Acknowledge=Acknowledge\n";
    ini += atas_extra;
    if (ini.back() != '\n') ini += '\n';
    return ini;
}

// --- SimulatedPbx ---

SimulatedPbx::SimulatedPbx(const std::vector<std::string>& arguments, int port, bool keyboard) {
    std::vector<std::string> all{"--port", std::to_string(port)};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const std::string program = BuiltBinary("kelvarix-pbxsim");
    if (!keyboard) {
        process_.emplace(program, all);
    } else {
        // Standard input from a FIFO that this side holds open for writing,
        // so the simulator never sees the end of its input.
        fifo_folder_.emplace();
        const std::string fifo = fifo_folder_->Path() + "keyboard";
        if (::mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo: " + std::string(std::strerror(errno)));
        keyboard_fd_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        if (keyboard_fd_ < 0) throw std::runtime_error("open fifo: " + std::string(std::strerror(errno)));
        std::vector<std::string> shell{"-c", "exec \"$@\" <\"$0\"", fifo, program};
        shell.insert(shell.end(), all.begin(), all.end());
        process_.emplace("/bin/sh", shell);
    }
    if (!process_->WaitForStdout("\n")) {
        throw std::runtime_error("kelvarix-pbxsim did not start:\n" + process_->Describe());
    }
    const std::string first = process_->Stdout();
    if (!first.starts_with("listening ")) {
        throw std::runtime_error("kelvarix-pbxsim: unexpected first line:\n" + process_->Describe());
    }
    port_ = std::stoi(first.substr(std::strlen("listening ")));
}

SimulatedPbx::~SimulatedPbx() {
    process_.reset();
    if (keyboard_fd_ >= 0) ::close(keyboard_fd_);
}

bool SimulatedPbx::WaitForCount(std::string_view text, std::size_t count, Duration timeout) const {
    return WaitUntil([&] { return CountOf(Output(), text) >= count; }, timeout);
}

void SimulatedPbx::Type(std::string_view line) const {
    if (keyboard_fd_ < 0) throw std::logic_error("kelvarix-pbxsim was started without a keyboard");
    const std::string text = std::string(line) + "\n";
    if (::write(keyboard_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("write to kelvarix-pbxsim: " + std::string(std::strerror(errno)));
    }
}

std::vector<std::string> SimulatedPbx::Received() const {
    constexpr std::string_view kLead = "recv: ";
    std::vector<std::string> lines;
    const std::string output = Output();
    std::size_t start = 0;
    while (start < output.size()) {
        const std::size_t end = std::min(output.find('\n', start), output.size());
        const std::string_view line = std::string_view(output).substr(start, end - start);
        if (line.starts_with(kLead)) lines.emplace_back(line.substr(kLead.size()));
        start = end + 1;
    }
    return lines;
}

// --- AlarmServerSocket ---

AlarmServerSocket::AlarmServerSocket(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    // The listening socket is open from the start line on; a retry covers a
    // gateway that is still starting.
    int error = 0;
    WaitUntil([&] {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
        error = errno;
        ::close(fd_);
        fd_ = -1;
        return false;
    });
    if (fd_ < 0) throw std::runtime_error("connect to the gateway: " + std::string(std::strerror(error)));
}

AlarmServerSocket::~AlarmServerSocket() {
    if (fd_ >= 0) ::close(fd_);
}

void AlarmServerSocket::Send(std::string_view text) const {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("send to the gateway: " + std::string(std::strerror(errno)));
        sent += static_cast<std::size_t>(n);
    }
}

bool AlarmServerSocket::Pump(Duration timeout) {
    if (eof_) return false;
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return true;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
        received_.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        eof_ = true;  // a reset counts as the end too
    }
    return !eof_;
}

const std::string& AlarmServerSocket::Received() {
    for (std::size_t before = received_.size() + 1; before != received_.size();) {
        before = received_.size();
        Pump(Duration(0));
    }
    return received_;
}

std::optional<std::string> AlarmServerSocket::NextLine(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received_.find('\n', consumed_) == std::string::npos) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - std::chrono::steady_clock::now());
        if (left <= Duration(0) || !Pump(std::min(left, kPollInterval))) break;
    }
    const std::size_t lf = received_.find('\n', consumed_);
    if (lf == std::string::npos) return std::nullopt;
    std::string line = received_.substr(consumed_, lf - consumed_);
    consumed_ = lf + 1;
    return line;
}

bool AlarmServerSocket::WaitForEof(Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!eof_) {
        const auto left = std::chrono::duration_cast<Duration>(deadline - std::chrono::steady_clock::now());
        if (left <= Duration(0)) break;
        Pump(std::min(left, kPollInterval));
    }
    return eof_;
}

// --- GatewayTest ---

void GatewayTest::StartPbx(const std::vector<std::string>& arguments, int port, bool keyboard) {
    pbx_.reset();
    pbx_.emplace(arguments, port, keyboard);
}

void GatewayTest::StartGateway(std::string_view atas_extra, int atas_port) {
    if (atas_port == 0) atas_port = pbx_->Port();
    while (server_port_ == atas_port) server_port_ = FreeLocalPort();
    folder_.WriteFile("Kelvarix.ini", RigIni(server_port_, atas_port, atas_extra));
    gateway_.emplace(e2e::StartGateway(folder_));
    ASSERT_TRUE(gateway_->WaitForStdout("Kelvarix was started")) << Describe();
}

bool GatewayTest::WaitForGatewayLine(std::string_view text, std::size_t count, Duration timeout) {
    return WaitUntil([&] { return CountOf(gateway_->Stdout(), text) >= count || !gateway_->Running(); },
                     timeout) &&
           CountOf(gateway_->Stdout(), text) >= count;
}

bool GatewayTest::WaitForSessionSetUp(std::size_t count, Duration timeout) {
    return WaitForGatewayLine("Successfully set menu (SM)", count, timeout);
}

std::string GatewayTest::Describe() const {
    std::string text;
    if (pbx_) text += "=== kelvarix-pbxsim\n" + pbx_->Process().Describe();
    if (gateway_) text += "=== kelvarix\n" + gateway_->Describe();
    return text;
}

std::string GatewayTest::ReplyTo(AlarmServerSocket& server, std::string_view line) {
    server.SendLine(line);
    return server.NextLine().value_or("");
}

}  // namespace kelvarix::e2e::rig
