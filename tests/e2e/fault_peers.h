#pragma once
// The peers the fault tests play against the real gateway: a raw alarm-server
// connection that can send any bytes from any loopback address, the PBX
// simulator as a child process, and readings of the gateway's memory and
// descriptors from /proc.
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "e2e/process.h"

namespace kelvarix::e2e {

// A TCP connection to the gateway's alarm-server port, driven byte by byte.
class RawClient {
public:
    // Connects to `to`:port, from `from` (any port) when given. Nothing when
    // the connection is refused or fails.
    static std::optional<RawClient> Connect(int port, const std::string& to = "127.0.0.1",
                                            const std::string& from = {});
    ~RawClient();
    RawClient(RawClient&& other) noexcept;
    RawClient& operator=(RawClient&&) = delete;
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends everything, waiting while the gateway does not read; false when
    // the connection broke or nothing went for `stall`.
    bool Send(std::string_view bytes, Duration stall = kWait);
    // Sends what the kernel takes at once; the count taken.
    std::size_t SendSome(std::string_view bytes);

    // Complete lines received so far, without their LF.
    const std::vector<std::string>& Lines();
    // Until at least `count` lines are in.
    bool WaitForLines(std::size_t count, Duration timeout = kWait);
    // Until this exact line is in.
    bool WaitForLine(std::string_view line, Duration timeout = kWait);
    // Until the gateway has closed the connection (end of data or reset).
    bool WaitForClose(Duration timeout = kWait);
    bool Closed() const { return closed_; }
    void Close();

private:
    explicit RawClient(int fd) : fd_(fd) {}
    void Pump(int timeout_ms);  // reads what has come, waiting at most this long

    int fd_ = -1;
    bool closed_ = false;
    std::string partial_;
    std::vector<std::string> lines_;
};

// The PBX simulator with its options, listening on a port of its own choice
// or on a given one (to take over from a simulator that was stopped).
class PbxSim {
public:
    explicit PbxSim(const std::vector<std::string>& options, int port = 0);
    int Port() const { return port_; }
    std::string Output() const { return process_.Stdout(); }
    bool WaitForOutput(std::string_view text, Duration timeout = kWait) {
        return process_.WaitForStdout(text, timeout);
    }
    // How many times the simulator received an SA for this alarm id.
    std::size_t AlarmsReceived(std::string_view alarm_id) const;
    // The simulator prints what it received after answering it: waits until
    // `count` SAs of the alarm are shown, then gives the number shown.
    std::size_t WaitForAlarms(std::string_view alarm_id, std::size_t count = 1) const;
    // How many output lines are exactly this text.
    std::size_t LinesEqualTo(std::string_view line) const;
    void Stop() { process_.Kill(); }
    ChildProcess& Process() { return process_; }

private:
    ChildProcess process_;
    int port_ = 0;
};

// Kelvarix.ini for the fault tests: the gateway listens on 127.0.0.1 unless
// orvane_extra names another ListenAddress, and looks for the PBX on
// 127.0.0.1:atas_port with the simulator's credentials and short times.
// The extra lines go into [Orvane] and [ATAS].
std::string FaultIni(int server_port, int atas_port, std::string_view atas_extra = {},
                     std::string_view orvane_extra = {});

// The gateway, started like StartGateway. A sanitizer build keeps freed
// memory in quarantine, which would hide the gateway's own use; the
// quarantine is kept small so the resident memory means the same in both.
ChildProcess StartLeanGateway(const TempProgramFolder& folder);

// VmRSS of a process in KiB; 0 when it cannot be read.
std::size_t ResidentKiB(pid_t pid);
// Open descriptors of a process.
std::size_t OpenDescriptors(pid_t pid);

// A generated alarm line (without LF): status 1, event E<id>, destination
// 2001, the text padded to text_bytes.
std::string AlarmLine(std::string_view id, std::size_t text_bytes = 40);

// The extra resident memory a process may take on top of its start-up size
// before the tests call it unbounded: generous for normal builds, more so
// under the sanitizers (shadow memory and allocator slack).
std::size_t MemoryAllowanceKiB();

}  // namespace kelvarix::e2e
