#include "supervisor/supervisor.h"

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <limits>

#include "logging/log_cleanup.h"
#include "platform/awaitable.h"
#include "supervisor/session_setup.h"

namespace kelvarix {

namespace {
// Seconds from the configuration as milliseconds, without overflow.
std::int64_t Milliseconds(std::int32_t seconds) { return std::int64_t{seconds} * 1000; }

std::int32_t ClampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}
}  // namespace

void Supervisor::Timer_System_Timer(std::int32_t interval) {
    const std::int32_t today = clock_.now().day_number();
    if (LastCleanupDay != today) {
        LogFileCleanup("????-??-??.log", settings_.LogFileDays, clock_, logger_);
        LogFileCleanup("????-??-??.dbg", settings_.LogFileDays, clock_, logger_);
        LastCleanupDay = today;
    }
    SupervisorCycle(interval);
}

void Supervisor::SupervisorCycle(std::int32_t interval) {
    if (link_.Connected() && settings_.HeartbeatInterval > 0) {
        HeartbeatElapsed = ClampToInt32(std::int64_t{HeartbeatElapsed} + interval);
    }
    if (CycleBusy) return;
    // A command that waits for its reply does not stop the cycle: the
    // cycle's own commands queue behind it in the command lane, so heartbeats
    // and acknowledgements keep their turn under a steady stream of alarms.
    CycleBusy = true;
    asio::co_spawn(executor_, RunCycle(interval), asio::detached);
}

asio::awaitable<void> Supervisor::RunCycle(std::int32_t interval) {
    if (link_.Connected()) {
        co_await ConnectedPhase();
    } else {
        co_await ConnectionPhase(interval);
    }
    CycleBusy = false;
}

asio::awaitable<void> Supervisor::ConnectedPhase() {
    co_await maintenance_.SendBufferedMessages();
    if (settings_.HeartbeatInterval > 0 &&
        double(HeartbeatElapsed) >= double(Milliseconds(settings_.HeartbeatInterval)) / 4) {
        link_.command_stats.Count("HB", link_.Connected() ? CommandResult::Sent : CommandResult::NoLink);
        link_.SendToATAS(AtasCommand("HB"));
        HeartbeatElapsed = 0;
    }
    co_await maintenance_.ProcessMessageStates();
    maintenance_.CleanQueue();
}

std::string Supervisor::HostAndPort() const {
    return link_.RemoteHost() + ":" + std::to_string(link_.RemotePort());
}

asio::awaitable<void> Supervisor::ConnectionPhase(std::int32_t interval) {
    if (ReconnectWait > 0) {
        ReconnectWait -= interval;
        if (ReconnectWait > 0) co_return;
    }
    link_.ResetForConnect();
    logger_.WriteSystemLog("Connecting to " + HostAndPort());
    link_.StartConnect();

    if (settings_.ConnectTimeout > 0) {
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(Milliseconds(settings_.ConnectTimeout));
        // Only the login's outcome or a socket error ends the wait early. A
        // refused connection or a hang-up leaves the socket closed, and the
        // attempt still takes its ConnectTimeout: a PBX that is down is then
        // tried once per ConnectTimeout plus ReconnectInterval, not in a
        // tight loop.
        while (link_.State() != TcpSocket::sckError && !link_.ATASSessionReady &&
               !link_.ATASLoginRefused && std::chrono::steady_clock::now() < deadline) {
            co_await link_.WaitForChange(deadline);
        }
    }

    if (link_.ATASSessionReady) {
        ++connects_ok;
        logger_.WriteSystemLog("Successfully connected to " + HostAndPort());
        co_await SetupATASSession(link_, settings_, logger_);
        // Alarms held back while the link was down go out before any alarm
        // that arrived during the set-up, so they reach the PBX oldest first.
        co_await maintenance_.SendBufferedMessages();
        if (link_.Connected()) link_.MarkSessionSetUp();
    } else {
        ++connects_failed;
        logger_.WriteSystemLog("Failed to connect to " + HostAndPort());
        link_.Close();
    }
    ReconnectWait = ClampToInt32(Milliseconds(settings_.ReconnectInterval));
}

asio::awaitable<void> Supervisor::RunTimer() {
    asio::steady_timer timer(executor_);
    auto next = LastTick = std::chrono::steady_clock::now();
    for (;;) {
        next += std::chrono::milliseconds(kTickInterval);
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;  // after a stall, tick once and go on from here
        timer.expires_at(next);
        auto [error] = co_await timer.async_wait(kAwaitTuple);
        if (error) co_return;
        LastTick = std::chrono::steady_clock::now();
        Timer_System_Timer(kTickInterval);
    }
}

}  // namespace kelvarix
