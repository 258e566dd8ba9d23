#pragma once
// Everything the gateway holds while it runs, owned in one place and wired
// together once. Tests build their own.
#include <asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "alarm_server/intake.h"
#include "alarm_server/orvane_link.h"
#include "alarm_server/pbx_port.h"
#include "config/settings.h"
#include "host/gateway_metrics.h"
#include "logging/logger.h"
#include "metrics/metrics_server.h"
#include "pbx/alarm_dispatch.h"
#include "pbx/atas_link.h"
#include "platform/clock.h"
#include "platform/program_folder.h"
#include "platform/window_list.h"
#include "queue/message_queue.h"
#include "store/alarm_store.h"
#include "supervisor/queue_maintenance.h"
#include "supervisor/supervisor.h"

namespace kelvarix {

inline constexpr std::string_view kProgramName = "Kelvarix";
inline constexpr std::string_view kVersion = "1.0.01";

struct Gateway {
    Gateway(asio::io_context& io, const Clock& clock, std::string app_path, Settings settings_in)
        : io(io),
          clock(clock),
          AppPath(std::move(app_path)),
          settings(std::move(settings_in)),
          logger(clock, window, AppPath + "LogFiles" + kPathSeparator),
          store(settings.AlarmStore.empty()
                    ? nullptr
                    : std::make_unique<AlarmStore>(io.get_executor(),
                                                   StorePath(AppPath, settings.AlarmStore),
                                                   logger, clock, queue, buffered)),
          atas(io.get_executor(), settings, logger, queue),
          dispatcher(atas, queue, logger, clock),
          maintenance(settings, logger, clock, atas, dispatcher, queue, buffered),
          supervisor(io.get_executor(), settings, logger, clock, atas, maintenance),
          pbx_port(atas, dispatcher),
          orvane(io.get_executor(), settings, logger),
          intake(io.get_executor(), settings, logger, queue, buffered, pbx_port,
                 [this](std::string_view reply) { Reply(reply); }),
          metrics(io.get_executor(), [this] { return GatewayMetricsText(*this); }) {
        // The disk is written from a thread of its own, line by line in order.
        logger.SetWriter(&writer);
        window.SetEchoWriter(&writer);
        orvane.Attach(intake);
        atas.SetRemote(settings.IPAddress, settings.PortNumber);
    }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // A reply goes out once what it tells is on the disk (with a store).
    void Reply(std::string_view reply) {
        if (!store) return orvane.SendToOrvane(reply);
        store->WhenStored([this, text = std::string(reply)] { orvane.SendToOrvane(text); });
    }

    asio::io_context& io;
    const Clock& clock;
    const std::string AppPath;
    const Settings settings;
    BackgroundWriter writer{BackgroundWriter::Start::WhenAsked};  // see RunEventLoop
    WindowList window;
    Logger logger;
    MessageQueue queue;
    BufferedMessages buffered;
    std::unique_ptr<AlarmStore> store;  // null: everything in memory only
    AtasLink atas;
    AlarmDispatcher dispatcher;
    QueueMaintenance maintenance;
    Supervisor supervisor;
    AtasPbxPort pbx_port;
    OrvaneLink orvane;
    AlarmIntake intake;
    // Served only when [Metrics] Port is set (see RunGateway).
    MetricsServer metrics;
    const std::chrono::system_clock::time_point started = std::chrono::system_clock::now();
};

}  // namespace kelvarix
