#pragma once
// The parts of a gateway that the fuzz targets feed: one event loop, a
// clock, a window list, logs whose folder does not exist (so nothing reaches
// the disk), the settings and both alarm collections.
#include <asio/io_context.hpp>

#include "config/settings.h"
#include "logging/logger.h"
#include "queue/message_queue.h"

namespace kelvarix::fuzz {

struct GatewayParts {
    asio::io_context io;
    ManualClock clock;
    WindowList window;
    Logger logger{clock, window, "/nonexistent-kelvarix-fuzz/"};
    Settings settings;
    MessageQueue queue;
    BufferedMessages buffered;

    // Runs the event loop until nothing is left to do.
    void Run() {
        io.restart();
        io.run();
    }
};

}  // namespace kelvarix::fuzz
