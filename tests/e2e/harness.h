#pragma once
// Driving the real binaries: child processes with captured output, the PBX
// simulator, the alarm server's end of the gateway's port, and polled waits.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/temp_dir.h"

namespace kelvarix::e2e {

using Duration = std::chrono::milliseconds;
using Texts = std::vector<std::string>;
// Generous for a sanitizer build on a busy machine; a passing test never waits this long.
inline constexpr Duration kWait = std::chrono::seconds(20);

inline std::string BuiltBinary(const std::string& name) {
    return KELVARIX_BUILD_DIR "/" + name;
}
bool WaitUntil(const std::function<bool()>& condition, Duration timeout = kWait);
using test::ReadFile;
inline bool Has(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}
// True when the parts occur in the text in this order, each after the one before.
bool InOrder(std::string_view text, const std::vector<std::string_view>& parts);
std::size_t CountOf(std::string_view text, std::string_view part);
Texts Lines(std::string_view text);  // without their LF
int FreeLocalPort();                 // on 127.0.0.1, at the moment of the call
// An alarm line without LF: status 1, event E<id>, destination 2001, tag
// T<id>, text "Alarm <id>" padded with dots to text_bytes.
std::string AlarmLine(std::string_view id, std::size_t text_bytes = 0);
// Every system log file (*.Log) in date order: a run across midnight reads as one log.
std::string SystemLog(const test::TempDir& home);
// Kelvarix.ini: the gateway listens on 127.0.0.1:server_port and looks for
// the PBX at 127.0.0.1:atas_port with the simulator's login, both menu texts
// and short times (connect 2 s, reconnect 1 s, command 2 s). The extra lines
// go first into [Orvane] and [ATAS]: the first occurrence of a key counts.
std::string GatewayIni(int server_port, int atas_port, std::string_view atas_extra = {},
                       std::string_view orvane_extra = {});
// The gateway's environment: KELVARIX_HOME, and a small quarantine for a
// sanitizer build, whose freed memory would otherwise hide the gateway's own use.
Texts GatewayEnvironment(const test::TempDir& home);

// A started program. Standard input is /dev/null or, with a keyboard, a pipe
// that Type writes to; standard output and error go to files. The child dies
// with the test process, and the destructor kills and reaps one still running.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const Texts& arguments,
                 const Texts& environment = {},  // NAME=value
                 bool keyboard = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool Signal(int number) const { return !status_ && ::kill(pid_, number) == 0; }
    bool Running();  // reaps the child once it has ended
    // The exit code once the child ended in time (128 + N for signal N).
    std::optional<int> WaitForExit(Duration timeout = kWait) {
        WaitUntil([&] { return !Running(); }, timeout);
        return status_;
    }
    void Type(std::string_view line) const;  // one line on standard input
    std::string Stdout() const { return ReadFile(output_.path("stdout")); }
    std::string Stderr() const { return ReadFile(output_.path("stderr")); }
    // Until the text is there count times; false at once when the child ended without it.
    bool WaitForStdout(std::string_view text, std::size_t count = 1);
    std::string Describe() const {
        return "--- stdout ---\n" + Stdout() + "--- stderr ---\n" + Stderr();
    }

  private:
    test::TempDir output_;
    pid_t pid_ = -1;
    int keyboard_ = -1;
    std::optional<int> status_;
};

// kelvarix-pbxsim with its options, on a port of its own choice unless they give one.
class Pbx : public ChildProcess {
  public:
    explicit Pbx(const Texts& options = {}, bool keyboard = false);
    int Port() const { return port_; }

  private:
    int port_ = 0;
};

// The alarm server's end of a TCP connection to the gateway, byte by byte.
class AlarmServer {
  public:
    // Connects to `to`:port, from `from` when given; nothing when that fails.
    static std::optional<AlarmServer> Connect(int port, const std::string& to = "127.0.0.1",
                                              const std::string& from = {});
    // Sends everything, reading replies while the gateway takes no more;
    // false when the connection broke or nothing went for `stall`. Adds
    // what went to *sent.
    bool Send(std::string_view bytes, Duration stall = kWait, std::size_t* sent = nullptr);
    const Texts& Lines() {  // the complete lines so far
        Pump();
        return lines_;
    }
    // Until the condition on the lines holds; false at once when the connection ended.
    bool WaitFor(const std::function<bool(const Texts&)>& done) {
        WaitUntil([&] { return !Pump() || done(lines_); });
        return done(lines_);
    }
    bool WaitForLines(std::size_t count) {
        return WaitFor([&](const auto& lines) { return lines.size() >= count; });
    }
    bool WaitForLine(std::string_view line) {
        return WaitFor([&](const auto& lines) { return std::ranges::count(lines, line) > 0; });
    }
    bool WaitForClose() {  // end of data or reset
        return WaitUntil([&] { return !Pump(); });
    }
    // Sends the line with its LF; the reply that comes next.
    std::string Answer(const std::string& line) {
        const std::size_t before = Lines().size();
        const bool answered = Send(line + "\n") && WaitForLines(before + 1);
        return answered ? lines_[before] : "(no answer)";
    }

  private:
    explicit AlarmServer(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
    bool Pump();  // reads what has come; false once the connection has ended

    asio::ip::tcp::socket socket_;
    std::string partial_;
    Texts lines_;
};

// A program folder, the PBX simulator, and the gateway between it and the
// test, which plays the alarm server.
class GatewayTest : public ::testing::Test {
  protected:
    void StartPbx(const Texts& options = {}, bool keyboard = false) {
        pbx_.reset();
        pbx_.emplace(options, keyboard);
    }
    // Starts the gateway (in place of a running one, killed as in a crash)
    // against atas_port when given, else the simulator or, with none, a port
    // where nothing listens; and waits for its start line.
    void StartGateway(std::string_view atas_extra = {}, std::string_view orvane_extra = {},
                      int atas_port = 0) {
        if (atas_port == 0) atas_port = pbx_ ? pbx_->Port() : FreeLocalPort();
        while (server_port_ == atas_port) server_port_ = FreeLocalPort();
        home_.write("Kelvarix.ini",
                    GatewayIni(server_port_, atas_port, atas_extra, orvane_extra) + ini_sections_);
        Launch();
        if (!WaitForGatewayLine("Kelvarix was started"))
            throw std::runtime_error("the gateway did not start:\n" + Describe());
    }
    void Launch(const Texts& arguments = {}) {  // on the Kelvarix.ini there
        gateway_.emplace(BuiltBinary("kelvarix"), arguments, GatewayEnvironment(home_));
    }
    // The simulator with these options, the gateway's session with it set up,
    // and the alarm server connected.
    AlarmServer Session(const Texts& pbx_options = {}, std::string_view atas_extra = {},
                        bool keyboard = false) {
        StartPbx(pbx_options, keyboard);
        StartGateway(atas_extra);
        if (!WaitForSession()) throw std::runtime_error("no PBX session:\n" + Describe());
        return Connect();
    }
    AlarmServer Connect(const std::string& from = {}) {
        std::optional<AlarmServer> client = AlarmServer::Connect(server_port_, "127.0.0.1", from);
        if (!client) throw std::runtime_error("cannot connect to the gateway:\n" + Describe());
        return std::move(*client);
    }
    bool WaitForGatewayLine(std::string_view text, std::size_t count = 1) {
        return gateway_->WaitForStdout(text, count);
    }
    // The menu is the last step of a session's set-up, whether the PBX took it or not.
    bool WaitForSession() { return WaitForGatewayLine("set menu (SM)"); }
    // A status-0 line is answered at once, after every line before it: once
    // its reply is in, so are the replies of all earlier lines.
    static bool Fence(AlarmServer& client, const std::string& id = "FENCE") {
        return client.Send("0|0|E|" + id + "|2001||fence|T\n") &&
               client.WaitForLine("buffered (" + id + ")");
    }
    // The gateway runs on: a new connection is accepted and answered.
    void ExpectGatewayAnswers() {
        AlarmServer probe = Connect();
        EXPECT_TRUE(Fence(probe, "PROBE")) << Describe();
    }
    std::string Describe() const {
        return (pbx_ ? "=== kelvarix-pbxsim\n" + pbx_->Stdout() : "") +
               (gateway_ ? "=== kelvarix\n" + gateway_->Describe() : "");
    }

    test::TempDir home_;  // before the processes: they end before it goes
    std::optional<Pbx> pbx_;
    std::optional<ChildProcess> gateway_;
    int server_port_ = FreeLocalPort();
    std::string ini_sections_;  // after [Orvane] and [ATAS]
};

}  // namespace kelvarix::e2e
