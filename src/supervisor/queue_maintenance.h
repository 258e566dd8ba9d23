#pragma once
// The queue work of every connected tick: held-back alarms go out, acknowledged
// entries are reported or deleted on the PBX, finished and old entries leave.
#include <asio/awaitable.hpp>

#include "config/settings.h"
#include "logging/logger.h"
#include "pbx/alarm_dispatch.h"
#include "pbx/atas_link.h"
#include "platform/clock.h"
#include "queue/message_queue.h"

namespace kelvarix {

class QueueMaintenance {
public:
    QueueMaintenance(const Settings& settings, Logger& logger, const Clock& clock, AtasLink& link,
                     AlarmDispatcher& dispatcher, MessageQueue& queue, BufferedMessages& buffered)
        : settings_(settings),
          logger_(logger),
          clock_(clock),
          link_(link),
          dispatcher_(dispatcher),
          queue_(queue),
          buffered_(buffered) {}

    // Dispatches the held-back alarms, oldest first, while the link stays up.
    asio::awaitable<void> SendBufferedMessages();
    asio::awaitable<void> ProcessMessageStates();
    void CleanQueue();

    // The SCADA acknowledgement line of an entry: tag, alarm, event and
    // terminal separated by TAB, ended by CR LF.
    static std::string ScadaLine(const cMessage& entry);

private:
    asio::awaitable<void> ReportAcknowledged(const MessageRef& entry);
    asio::awaitable<void> DeleteFromPbx(const MessageRef& entry);
    // A line that cannot be appended is lost; the first of a run is logged.
    void AppendScadaLine(const cMessage& entry);

    const Settings& settings_;
    Logger& logger_;
    const Clock& clock_;
    AtasLink& link_;
    AlarmDispatcher& dispatcher_;
    MessageQueue& queue_;
    BufferedMessages& buffered_;
    bool scada_failing_ = false;  // the last append failed
};

}  // namespace kelvarix
