#pragma once
// The intake of alarm lines: framing by LF, one record per line, the decision
// on its status and exactly one reply per line of status 0 to 3. Lines are
// handled one at a time in the order received, so replies keep that order.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "logging/logger.h"
#include "queue/message_queue.h"

namespace kelvarix {

// What the intake needs of the PBX side.
class PbxPort {
public:
    virtual ~PbxPort() = default;
    virtual bool Connected() const = 0;
    // Waits while the link is connected but not yet ready for alarms; true
    // when an alarm may go out now.
    virtual asio::awaitable<bool> WaitUntilUsable() = 0;
    virtual asio::awaitable<bool> SendAlarmToPBX(MessageRef record) = 0;
};

class AlarmIntake {
public:
    // Text that brings no LF for this long is thrown away up to the next LF.
    static constexpr std::size_t kMaxLineBuffer = 64 * 1024;
    // While an alarm waits for the PBX, the lines behind it wait here. Beyond
    // this much unhandled text the alarm server is no longer read from (TCP
    // then holds it back); reading resumes once half of it is handled.
    static constexpr std::size_t kMaxBacklog = 1024 * 1024;
    static constexpr std::size_t kResumeBacklog = kMaxBacklog / 2;

    using ReplySink = std::function<void(std::string_view reply)>;
    // Stops (true) or resumes (false) reading from the alarm server.
    using ReadControl = std::function<void(bool pause)>;

    AlarmIntake(asio::any_io_executor executor, const Settings& settings, Logger& logger,
                MessageQueue& queue, BufferedMessages& buffered, PbxPort& pbx, ReplySink reply)
        : executor_(std::move(executor)),
          settings_(settings),
          logger_(logger),
          queue_(queue),
          buffered_(buffered),
          pbx_(pbx),
          reply_(std::move(reply)) {}

    void SetReadControl(ReadControl control) { read_control_ = std::move(control); }

    // Data from the alarm server, as received.
    void Winsock_Orvane_Data_DataArrival(std::string_view data);
    // A new connection: text not yet handled is discarded; a line of the
    // old connection still being handled sends its reply on the new one.
    void ClearReceiveBuffer();
    bool ReadingPaused() const { return read_paused_; }
    // Text received and not yet handled (for tests and diagnostics).
    std::string_view OrvaneReceiveBuffer() const;
    bool Idle() const { return !processing_; }

    // What the intake has handled, for the metrics.
    struct Counts {
        std::uint64_t alarms = 0;  // lines of status 0, 1 or 3
        std::uint64_t replies_sent = 0;
        std::uint64_t replies_failed = 0;
        std::uint64_t replies_buffered = 0;
        std::uint64_t acknowledgements = 0;  // lines of status 2
    };
    const Counts& counts() const { return counts_; }

    // Handles one line (already taken out of the buffer).
    asio::awaitable<void> HandleLine(std::string_view raw_line);

private:
    asio::awaitable<void> ProcessLines();
    void Reply(std::string_view word, std::string_view alarm_id);
    asio::awaitable<void> HandleAlarm(const MessageRef& record);
    void HandleAlarmServerAck(const MessageRef& record);

    asio::any_io_executor executor_;
    const Settings& settings_;
    Logger& logger_;
    MessageQueue& queue_;
    BufferedMessages& buffered_;
    PbxPort& pbx_;
    ReplySink reply_;
    ReadControl read_control_;

    std::string buffer_;        // CR already removed
    std::size_t read_pos_ = 0;  // start of the text not yet taken as a line
    bool discarding_ = false;   // dropping an overlong line up to its LF
    bool processing_ = false;
    bool read_paused_ = false;
    Counts counts_;
};

}  // namespace kelvarix
