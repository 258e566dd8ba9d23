// The hot cores of the gateway, measured without sockets. Queue lookups are
// measured at 10, 10,000 and 1,000,000 entries to show their cost stays flat.
#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>
#include <filesystem>

#include "alarm_server/intake.h"
#include "logging/log_format.h"
#include "logging/logger.h"
#include "pbx/atas_link.h"
#include "platform/awaitable.h"
#include "platform/files.h"
#include "queue/message_queue.h"
#include "supervisor/queue_maintenance.h"

namespace kelvarix {
namespace {

std::string BenchFolder() {
    const auto folder = std::filesystem::temp_directory_path() / "kelvarix-bench-logs";
    std::filesystem::create_directories(folder);
    return folder.string() + "/";
}

MessageRef Record(std::size_t n, const Clock& clock) {
    auto m = std::make_shared<cMessage>();
    m->m_AlarmId = "A" + std::to_string(n);
    m->m_EventId = "E" + std::to_string(n);
    m->m_Tag = "T" + std::to_string(n);
    m->m_Destination = "2001";
    m->m_Message = std::string(100, 'm');
    m->m_InsertedIntoQueueMonotonic = clock.monotonic();
    return m;
}

struct FilledQueue {
    explicit FilledQueue(std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) queue.append(Record(i, clock));
    }
    ManualClock clock;
    MessageQueue queue;
};

FilledQueue& QueueOf(std::size_t n) {
    static std::map<std::size_t, std::unique_ptr<FilledQueue>> queues;
    auto& slot = queues[n];
    if (!slot) slot = std::make_unique<FilledQueue>(n);
    return *slot;
}

void BM_DescribeMessage(benchmark::State& state) {
    ManualClock clock;
    const auto m = Record(4711, clock);
    for (auto _ : state) benchmark::DoNotOptimize(DescribeMessage(*m));
}
BENCHMARK(BM_DescribeMessage);

void BM_EscapeTraffic(benchmark::State& state) {
    const std::string text = "SA\t4711\t2001\t" + std::string(100, 'm') + "\tT1\r";
    std::string line;
    for (auto _ : state) {
        line.clear();
        AppendEscapedTraffic(line, text);
        benchmark::DoNotOptimize(line);
    }
}
BENCHMARK(BM_EscapeTraffic);

void BM_DuplicateTest(benchmark::State& state) {
    auto& q = QueueOf(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            q.queue.first_acknowledged_of_event("E" + std::to_string(i++ % state.range(0))));
    }
}
BENCHMARK(BM_DuplicateTest)->Arg(10)->Arg(10'000)->Arg(1'000'000);

void BM_OpmLookup(benchmark::State& state) {
    auto& q = QueueOf(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state) {
        const auto entry = q.queue.first_with_alarm_id("A" + std::to_string(i++ % state.range(0)));
        benchmark::DoNotOptimize(q.queue.entries_of_event(entry->m_EventId));
    }
}
BENCHMARK(BM_OpmLookup)->Arg(10)->Arg(10'000)->Arg(1'000'000);

void BM_TagLookup(benchmark::State& state) {
    auto& q = QueueOf(static_cast<std::size_t>(state.range(0)));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            q.queue.entries_with_tag("t" + std::to_string(i++ % state.range(0))));
    }
}
BENCHMARK(BM_TagLookup)->Arg(10)->Arg(10'000)->Arg(1'000'000);

// One idle tick's queue work with nothing due: the actionable walk and the
// clean-up must not scan the queue.
void BM_IdleQueueWork(benchmark::State& state) {
    auto& q = QueueOf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::uint64_t cursor = 0;
        benchmark::DoNotOptimize(q.queue.next_actionable_after(cursor));
        benchmark::DoNotOptimize(q.queue.take_due(q.clock.monotonic(), std::chrono::seconds(600)));
    }
}
BENCHMARK(BM_IdleQueueWork)->Arg(10)->Arg(10'000)->Arg(1'000'000);

// The intake of one alarm line with the PBX link down and buffering off:
// framing, fields, conversion, the reply and the three log lines.
class DownPbx final : public PbxPort {
public:
    bool Connected() const override { return false; }
    asio::awaitable<bool> WaitUntilUsable() override { co_return false; }
    asio::awaitable<bool> SendAlarmToPBX(MessageRef) override { co_return false; }
};

void BM_IntakeOneLine(benchmark::State& state) {
    asio::io_context io;
    SystemClock clock;
    WindowList window;
    Logger logger(clock, window, BenchFolder());
    Settings settings;
    MessageQueue queue;
    BufferedMessages buffered;
    DownPbx pbx;
    std::size_t replies = 0;
    AlarmIntake intake(io.get_executor(), settings, logger, queue, buffered, pbx,
                       [&](std::string_view reply) {
                           logger.WriteTrafficLog(reply, TagToOrvane);
                           ++replies;
                       });
    const std::string line = "1|0|88|4711|2001||" + std::string(100, 'm') + "|FIRE-2\r\n";
    for (auto _ : state) {
        intake.Winsock_Orvane_Data_DataArrival(line);
        io.restart();
        io.run();
    }
    if (replies != static_cast<std::size_t>(state.iterations())) state.SkipWithError("lost reply");
}
BENCHMARK(BM_IntakeOneLine);

// One log line as the files get it: open, append, close. An alarm that goes
// through costs five of them (four traffic lines and "Alarm to PBX").
void BM_AppendLogLine(benchmark::State& state) {
    const std::string path = BenchFolder() + "append.Dbg";
    const std::string line = "12:00:00 [KVX -> ATAS]    SA<9>4711<9>2001<9>" + std::string(100, 'm') + "<13>\r\n";
    for (auto _ : state) AppendToFile(path, line);
    std::filesystem::remove(path);
}
BENCHMARK(BM_AppendLogLine);

// The receive handling of one "ack" reply (traffic log included).
void BM_ReceiveOneReply(benchmark::State& state) {
    asio::io_context io;
    SystemClock clock;
    WindowList window;
    Logger logger(clock, window, BenchFolder());
    Settings settings;
    MessageQueue queue;
    AtasLink link(io.get_executor(), settings, logger, queue);
    for (auto _ : state) link.Winsock_ATAS_DataArrival("ack\r");
}
BENCHMARK(BM_ReceiveOneReply);

}  // namespace
}  // namespace kelvarix
