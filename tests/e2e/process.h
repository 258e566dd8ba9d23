#pragma once
// What the end-to-end tests need to drive the real binaries: a throw-away
// program folder, child processes with captured output, and waits that poll
// a condition until a deadline instead of sleeping.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvarix::e2e {

using Duration = std::chrono::milliseconds;

// Generous, because a sanitizer build on a busy machine is slow; a passing
// test never waits this long.
inline constexpr Duration kWait = std::chrono::seconds(20);
inline constexpr Duration kPollInterval = std::chrono::milliseconds(20);

// The path of a program built beside the tests: "kelvarix", "kelvarix-pbxsim".
std::string BuiltBinary(const std::string& name);

// Checks the condition every 20 ms until it holds (true) or the time is up (false).
bool WaitUntil(const std::function<bool()>& condition, Duration timeout = kWait);

// The whole file; "" when it cannot be read.
std::string ReadFile(const std::string& path);
bool WaitForTextInFile(const std::string& path, std::string_view text, Duration timeout = kWait);

// True when the parts occur in the text in this order, each after the end of
// the one before.
bool InOrder(std::string_view text, const std::vector<std::string_view>& parts);
// How many times part occurs in text.
std::size_t CountOf(std::string_view text, std::string_view part);
// The text's lines without their LF.
std::vector<std::string> Lines(std::string_view text);

// A port on 127.0.0.1 that nothing used at the moment of the call.
int FreeLocalPort();
// True when a TCP connection to 127.0.0.1:port succeeds (it is closed again at once).
bool CanConnect(int port);

// A listening socket on 127.0.0.1 that never accepts, closed on destruction:
// it holds a port against the gateway. Port 0 takes any free port. Throws
// std::runtime_error when the port cannot be had.
class LocalListener {
public:
    explicit LocalListener(int port = 0);
    ~LocalListener();
    LocalListener(const LocalListener&) = delete;
    LocalListener& operator=(const LocalListener&) = delete;
    int Port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Today's local date as YYYY-MM-DD, and the name of today's system log file.
std::string TodaysDate();
std::string TodaysLogName();

// Kelvarix.ini for a gateway that listens for the alarm server on
// 127.0.0.1:server_port and looks for the PBX at 127.0.0.1:atas_port with
// one-second connect and reconnect times. Lines in atas_extra are added to
// [ATAS] (a later key does not override an earlier one, so only add keys
// that are not here).
std::string GatewayIni(int server_port, int atas_port, std::string_view atas_extra = {});

// A fresh folder under the system's temporary folder, removed with
// everything in it on destruction. Declare it before the processes that use
// it, so they are ended before it goes.
class TempProgramFolder {
public:
    TempProgramFolder();                                    // without Kelvarix.ini
    explicit TempProgramFolder(std::string_view ini_text);  // with Kelvarix.ini
    ~TempProgramFolder();
    TempProgramFolder(const TempProgramFolder&) = delete;
    TempProgramFolder& operator=(const TempProgramFolder&) = delete;

    const std::string& Path() const { return path_; }  // ends with "/"
    std::string LogFolder() const { return path_ + "LogFiles/"; }
    // Writes the file byte for byte; returns its path.
    std::string WriteFile(const std::string& name, std::string_view content) const;

    std::string TodaysLogPath() const { return LogFolder() + TodaysLogName(); }
    // Every system log file (*.Log) in date order, so a run across midnight
    // still reads as one log.
    std::string SystemLog() const;
    std::vector<std::string> SystemLogNames() const;
    bool WaitForSystemLog(std::string_view text, Duration timeout = kWait) const;

private:
    std::string path_;
};

struct ExitStatus {
    bool exited = false;  // by exit(); otherwise ended by a signal
    int code = -1;        // exit code when exited
    int signal = 0;       // the ending signal otherwise
    friend bool operator==(const ExitStatus&, const ExitStatus&) = default;
};
std::ostream& operator<<(std::ostream& out, const ExitStatus& status);
inline ExitStatus ExitedWith(int code) { return {true, code, 0}; }

using EnvironmentOverrides = std::vector<std::pair<std::string, std::string>>;

// A started program. Standard input is /dev/null; standard output and error
// go to files of their own. The child dies with the test process, and the
// destructor kills and reaps one still running, so a failing test leaves
// neither strays nor zombies.
class ChildProcess {
public:
    // Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const EnvironmentOverrides& environment = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&&) = delete;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    bool Signal(int signal_number) const;
    // True while the child has not ended (reaps it once it has).
    bool Running();
    // The status once the child ended within the time, otherwise nothing.
    std::optional<ExitStatus> WaitForExit(Duration timeout = kWait);
    // SIGKILL and reap.
    void Kill();

    std::string Stdout() const;
    std::string Stderr() const;
    // False at the deadline, or at once when the child ended without it.
    bool WaitForStdout(std::string_view text, Duration timeout = kWait);
    bool WaitForStderr(std::string_view text, Duration timeout = kWait);
    // Both outputs, for failure messages.
    std::string Describe() const;

private:
    bool WaitForOutput(const std::string& path, std::string_view text, Duration timeout);

    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
    std::string output_folder_;
};

// The gateway on a program folder (KELVARIX_HOME names it).
ChildProcess StartGateway(const TempProgramFolder& folder,
                          const std::vector<std::string>& arguments = {});

}  // namespace kelvarix::e2e
