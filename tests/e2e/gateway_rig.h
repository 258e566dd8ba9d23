#pragma once
// The gateway between a PBX simulator and a test that plays the alarm
// server over a plain socket, all on 127.0.0.1 with short time-outs.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/process.h"

// A namespace of its own: the other end-to-end helpers share the test program.
namespace kelvarix::e2e::rig {

// Kelvarix.ini with ConnectTimeout 2, ReconnectInterval 1, CommandTimeout 2,
// the simulator's default login and both menu texts. Lines in atas_extra go
// into [ATAS]; they may only add keys that are not set here.
std::string RigIni(int server_port, int atas_port, std::string_view atas_extra);

// kelvarix-pbxsim. With a keyboard, lines given to Type reach it as if typed
// on its standard input.
class SimulatedPbx {
public:
    // Port 0 lets the simulator pick one. Waits for its "listening" line and
    // throws std::runtime_error when it does not come.
    explicit SimulatedPbx(const std::vector<std::string>& arguments, int port = 0, bool keyboard = false);
    ~SimulatedPbx();
    SimulatedPbx(const SimulatedPbx&) = delete;
    SimulatedPbx& operator=(const SimulatedPbx&) = delete;

    int Port() const { return port_; }
    ChildProcess& Process() { return *process_; }
    const ChildProcess& Process() const { return *process_; }
    std::string Output() const { return process_->Stdout(); }
    bool WaitForOutput(std::string_view text, Duration timeout = kWait) {
        return process_->WaitForStdout(text, timeout);
    }
    // Waits until the text occurs at least count times.
    bool WaitForCount(std::string_view text, std::size_t count, Duration timeout = kWait) const;
    // One line on the simulator's standard input (needs the keyboard); "\t"
    // in the text stands for TAB, as typed.
    void Type(std::string_view line) const;
    // The lines it received from the gateway, without "recv: ", in order.
    std::vector<std::string> Received() const;

private:
    std::optional<TempProgramFolder> fifo_folder_;
    int keyboard_fd_ = -1;
    std::optional<ChildProcess> process_;
    int port_ = 0;
};

// The alarm server's end of the gateway's listening port.
class AlarmServerSocket {
public:
    // Throws std::runtime_error when the gateway does not accept.
    explicit AlarmServerSocket(int port);
    ~AlarmServerSocket();
    AlarmServerSocket(const AlarmServerSocket&) = delete;
    AlarmServerSocket& operator=(const AlarmServerSocket&) = delete;

    void Send(std::string_view text) const;
    void SendLine(std::string_view line) const { Send(std::string(line) + "\n"); }
    // Everything received so far.
    const std::string& Received();
    // The next complete reply line (without its LF), or nothing at the deadline.
    std::optional<std::string> NextLine(Duration timeout = kWait);
    // True once the gateway closed the connection.
    bool WaitForEof(Duration timeout = kWait);

private:
    // Reads what is there, waiting at most the time given; false at EOF.
    bool Pump(Duration timeout);

    int fd_ = -1;
    bool eof_ = false;
    std::string received_;
    std::size_t consumed_ = 0;  // reply lines handed out by NextLine
};

// A program folder, the simulator and the gateway. The folder is declared
// first, so the processes end before it goes.
class GatewayTest : public ::testing::Test {
protected:
    void StartPbx(const std::vector<std::string>& arguments = {}, int port = 0,
                  bool keyboard = false);
    // Starts the gateway against the simulator's port, or against atas_port
    // when given (nothing need listen there yet).
    void StartGateway(std::string_view atas_extra, int atas_port = 0);
    // Waits until the gateway has set up its ATAS session count times.
    bool WaitForSessionSetUp(std::size_t count = 1, Duration timeout = kWait);
    bool WaitForGatewayLine(std::string_view text, std::size_t count = 1,
                            Duration timeout = kWait);
    std::string GatewayOutput() const { return gateway_->Stdout(); }
    // Both programs' outputs, for failure messages.
    std::string Describe() const;

    // Sends one line and returns the next reply line ("" when none came).
    std::string ReplyTo(AlarmServerSocket& server, std::string_view line);

    TempProgramFolder folder_;
    std::optional<SimulatedPbx> pbx_;
    std::optional<ChildProcess> gateway_;
    int server_port_ = FreeLocalPort();
};

}  // namespace kelvarix::e2e::rig
