#pragma once
// Forwarding one alarm to the PBX with the "SA" command. The only place where
// records enter the queue.
#include <asio/awaitable.hpp>

#include "logging/logger.h"
#include "pbx/atas_link.h"
#include "platform/clock.h"
#include "queue/message_queue.h"

namespace kelvarix {

class AlarmDispatcher {
public:
    AlarmDispatcher(AtasLink& link, MessageQueue& queue, Logger& logger, const Clock& clock)
        : link_(link), queue_(queue), logger_(logger), clock_(clock) {}

    // True when the PBX accepted the alarm; false when its event was already
    // acknowledged (nothing queued), or the PBX refused it or did not answer
    // (the record stays queued).
    asio::awaitable<bool> SendAlarmToPBX(MessageRef record);

private:
    AtasLink& link_;
    MessageQueue& queue_;
    Logger& logger_;
    const Clock& clock_;
};

}  // namespace kelvarix
