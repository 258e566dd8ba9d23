#include "host/gateway_metrics.h"

#include "host/gateway.h"
#include "metrics/exposition.h"

namespace kelvarix {
namespace {

constexpr std::int16_t kKnownStates[] = {
    MessageState::Pending,           MessageState::Acknowledged,
    MessageState::AcknowledgedElsewhere, MessageState::AckReported,
    MessageState::AcknowledgedAgain, MessageState::AckedByAlarmServer,
    MessageState::Deleted};

std::uint64_t Flag(bool on) { return on ? 1 : 0; }

void Links(Exposition& out, const Gateway& g) {
    out.Family("kelvarix_atas_connected", "gauge", "1 while the TCP connection to the PBX is up.");
    out.Sample("kelvarix_atas_connected", {}, Flag(g.atas.Connected()));
    out.Family("kelvarix_atas_session_ready", "gauge",
               "1 while the PBX session is logged in and set up, so alarms go out.");
    out.Sample("kelvarix_atas_session_ready", {},
               Flag(g.atas.Connected() && g.atas.ATASSessionReady && g.atas.SessionSetUp()));
    out.Family("kelvarix_alarm_server_connected", "gauge",
               "1 while the alarm server is connected.");
    out.Sample("kelvarix_alarm_server_connected", {}, Flag(g.orvane.Connected()));
    out.Family("kelvarix_atas_connects_total", "counter",
               "Connection attempts to the PBX, by whether they ended logged in.");
    out.Sample("kelvarix_atas_connects_total", {{"result", "ok"}}, g.supervisor.connects_ok);
    out.Sample("kelvarix_atas_connects_total", {{"result", "failed"}},
               g.supervisor.connects_failed);
}

void Alarms(Exposition& out, const Gateway& g) {
    const AlarmIntake::Counts& c = g.intake.counts();
    out.Family("kelvarix_alarms_received_total", "counter",
               "Alarm lines (status 0, 1 or 3) received from the alarm server.");
    out.Sample("kelvarix_alarms_received_total", {}, c.alarms);
    out.Family("kelvarix_replies_total", "counter", "Replies to the alarm server, by word.");
    out.Sample("kelvarix_replies_total", {{"reply", "sent"}}, c.replies_sent);
    out.Sample("kelvarix_replies_total", {{"reply", "failed"}}, c.replies_failed);
    out.Sample("kelvarix_replies_total", {{"reply", "buffered"}}, c.replies_buffered);
    out.Family("kelvarix_acknowledgements_total", "counter",
               "Acknowledgements received: at a PBX terminal, or from the alarm server.");
    out.Sample("kelvarix_acknowledgements_total", {{"source", "terminal"}},
               g.atas.terminal_acknowledgements);
    out.Sample("kelvarix_acknowledgements_total", {{"source", "alarm_server"}},
               c.acknowledgements);
}

void Commands(Exposition& out, const Gateway& g) {
    const CommandStats& stats = g.atas.command_stats;
    out.Family("kelvarix_atas_commands_total", "counter",
               "ATAS commands sent to the PBX, by keyword and result.");
    for (const auto& [keyword, counts] : stats.ByKeyword()) {
        for (std::size_t r = 0; r < counts.size(); ++r) {
            if (counts[r] == 0) continue;
            out.Sample("kelvarix_atas_commands_total",
                       {{"command", keyword}, {"result", kCommandResultNames[r]}}, counts[r]);
        }
    }
    out.Family("kelvarix_atas_command_duration_seconds", "histogram",
               "Time from sending an ATAS command to its result.");
    out.Buckets("kelvarix_atas_command_duration_seconds", stats.Durations());
}

void Queue(Exposition& out, const Gateway& g) {
    out.Family("kelvarix_queue_entries", "gauge", "Alarms in the queue, by state.");
    const auto& counts = g.queue.state_counts();
    for (const std::int16_t state : kKnownStates) {
        const auto it = counts.find(state);
        out.Sample("kelvarix_queue_entries", {{"state", std::to_string(state)}},
                   std::uint64_t{it == counts.end() ? 0 : it->second});
    }
    out.Family("kelvarix_buffered_alarms", "gauge",
               "Alarms held back while the PBX link is down.");
    out.Sample("kelvarix_buffered_alarms", {}, std::uint64_t{g.buffered.size()});
}

void Process(Exposition& out, const Gateway& g) {
    out.Family("kelvarix_log_write_failures_total", "counter",
               "Log lines that could not be written to their file.");
    out.Sample("kelvarix_log_write_failures_total", {}, g.writer.FileFailures());
    if (g.store) {
        out.Family("kelvarix_alarm_store_failures_total", "counter",
                   "Writes of the alarm store that failed.");
        out.Sample("kelvarix_alarm_store_failures_total", {}, g.store->WriteFailures());
    }
    out.Family("kelvarix_start_time_seconds", "gauge",
               "Start of the gateway, in seconds since the Unix epoch.");
    out.Sample("kelvarix_start_time_seconds", {},
               std::chrono::duration<double>(g.started.time_since_epoch()).count());
    out.Family("kelvarix_build_info", "gauge", "Always 1; the version in its label.");
    out.Sample("kelvarix_build_info", {{"version", kVersion}}, std::uint64_t{1});
}

}  // namespace

std::string GatewayMetricsText(const Gateway& g) {
    Exposition out;
    Links(out, g);
    Alarms(out, g);
    Commands(out, g);
    Queue(out, g);
    Process(out, g);
    return out.Text();
}

}  // namespace kelvarix
