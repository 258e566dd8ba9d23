// How long a command waits beyond the PBX's own answer: the round trip of
// one command through the ATAS link, against the raw round trip of the same
// bytes between two loopback sockets. The reply completes the wait at once,
// so the two should differ by the event loop's and the logs' cost only.
#include <benchmark/benchmark.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>
#include <filesystem>
#include <thread>

#include "pbx/atas_link.h"
#include "platform/awaitable.h"

namespace kelvarix {
namespace {

// A PBX that answers every CR-ended line with "ack" at once, on its own thread.
class InstantPbx {
public:
    InstantPbx() : acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        thread_ = std::thread([this] {
            asio::ip::tcp::socket peer(io_);
            acceptor_.accept(peer);
            peer.set_option(asio::ip::tcp::no_delay(true));
            std::string buffer;
            asio::error_code error;
            for (;;) {
                const std::size_t n = asio::read_until(peer, asio::dynamic_buffer(buffer), '\r', error);
                if (error) return;
                buffer.erase(0, n);
                asio::write(peer, asio::buffer("ack\r", 4), error);
                if (error) return;
            }
        });
    }
    ~InstantPbx() { thread_.join(); }
    unsigned short Port() const { return acceptor_.local_endpoint().port(); }

private:
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::thread thread_;
};

const std::string kCommand = "SA\t4711\t2001\t" + std::string(100, 'm') + "\r";

void BM_RawRoundTrip(benchmark::State& state) {
    InstantPbx pbx;
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), pbx.Port()});
    socket.set_option(asio::ip::tcp::no_delay(true));
    std::string buffer;
    for (auto _ : state) {
        asio::write(socket, asio::buffer(kCommand));
        const std::size_t n = asio::read_until(socket, asio::dynamic_buffer(buffer), '\r');
        buffer.erase(0, n);
    }
}
BENCHMARK(BM_RawRoundTrip)->UseRealTime();

void BM_SendATASCommand(benchmark::State& state) {
    InstantPbx pbx;
    asio::io_context io;
    SystemClock clock;
    WindowList window;
    const auto folder = std::filesystem::temp_directory_path() / "kelvarix-bench-logs";
    std::filesystem::create_directories(folder);
    Logger logger(clock, window, folder.string() + "/");
    Settings settings;
    settings.CommandTimeout = 5;
    MessageQueue queue;
    AtasLink link(io.get_executor(), settings, logger, queue);
    link.SetRemote("127.0.0.1", pbx.Port());
    link.StartConnect();
    while (!link.Connected()) io.run_one();

    for (auto _ : state) {
        std::int16_t result = -1;
        asio::co_spawn(
            io, [&]() -> asio::awaitable<void> { result = co_await link.SendCommand(kCommand); },
            asio::detached);
        while (result < 0) io.run_one();
        if (result != kReplyAck) state.SkipWithError("no ack");
    }
    link.Close();
}
BENCHMARK(BM_SendATASCommand)->UseRealTime();

}  // namespace
}  // namespace kelvarix
