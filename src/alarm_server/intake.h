#pragma once
// The intake of alarm lines: framing by LF, one record per line, the decision
// on its status and exactly one reply per line of status 0 to 3. Lines are
// handled one at a time in the order received, so replies keep that order.
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <functional>
#include <string>
#include <string_view>

#include "host/settings.h"
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

    using ReplySink = std::function<void(std::string_view reply)>;

    AlarmIntake(asio::any_io_executor executor, const Settings& settings, Logger& logger,
                MessageQueue& queue, BufferedMessages& buffered, PbxPort& pbx, ReplySink reply)
        : executor_(std::move(executor)),
          settings_(settings),
          logger_(logger),
          queue_(queue),
          buffered_(buffered),
          pbx_(pbx),
          reply_(std::move(reply)) {}

    // Data from the alarm server, as received.
    void Winsock_Orvane_Data_DataArrival(std::string_view data);
    // A new connection: text not yet handled is discarded.
    void ClearReceiveBuffer();
    // Text received and not yet handled (for tests and diagnostics).
    std::string_view OrvaneReceiveBuffer() const;
    bool Idle() const { return !processing_; }

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

    std::string buffer_;        // CR already removed
    std::size_t read_pos_ = 0;  // start of the text not yet taken as a line
    bool discarding_ = false;   // dropping an overlong line up to its LF
    bool processing_ = false;
};

}  // namespace kelvarix
