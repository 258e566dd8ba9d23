// A whole scrape of the metrics endpoint over loopback (connect, request,
// page, close) with 0 and 1,000,000 alarms queued: the page's cost must not
// grow with the queue.
#include <benchmark/benchmark.h>

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <filesystem>

#include "host/gateway.h"

namespace kelvarix {
namespace {

void BM_Scrape(benchmark::State& state) {
    asio::io_context io(1);
    ManualClock clock;
    const auto folder = std::filesystem::temp_directory_path() / "kelvarix-bench-metrics";
    std::filesystem::create_directories(folder);
    Gateway g(io, clock, folder.string() + "/", Settings{});
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        auto m = std::make_shared<cMessage>();
        m->m_AlarmId = "A" + std::to_string(i);
        m->m_EventId = "E" + std::to_string(i);
        m->m_Destination = "2001";
        g.queue.append(m);
        if (i % 4 == 0) g.queue.set_state(*m, MessageState::AckReported);
    }
    if (!g.metrics.Listen("127.0.0.1", 0).empty()) return state.SkipWithError("no listener");
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                           static_cast<unsigned short>(g.metrics.LocalPort()));
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n";
    for (auto _ : state) {
        asio::ip::tcp::socket socket(io);
        socket.connect(endpoint);
        asio::write(socket, asio::buffer(request));
        std::string page;
        bool done = false;
        asio::async_read(socket, asio::dynamic_buffer(page),
                         [&](asio::error_code, std::size_t) { done = true; });
        while (!done) io.run_one();
        benchmark::DoNotOptimize(page);
    }
}
BENCHMARK(BM_Scrape)->Arg(0)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kelvarix
