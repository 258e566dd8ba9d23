// kelvarix-alarmsim: plays the alarm server towards the gateway (see --help).
#include "baseline.h"
#include "gateway_client.h"
#include "options.h"
#include "report.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <fstream>
#include <iostream>
#include <optional>

namespace {

using namespace kelvarix::alarmsim;

std::optional<std::vector<std::string>> read_lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
    if (in.bad()) return std::nullopt;
    return lines;
}

template <class Runner>
asio::awaitable<void> run_then_release(Runner& runner, asio::signal_set& signals) {
    co_await runner.run();
    signals.cancel();
}

// Runs one mode to its end (or to SIGINT), prints the report, gives the exit status.
template <class Runner>
int run(asio::io_context& io, Runner& runner, const Options& options) {
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&runner](const asio::error_code& ec, int) {
        if (!ec) runner.stop();
    });
    asio::co_spawn(io, run_then_release(runner, signals), [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
    });
    io.run();

    const Report report = runner.report();
    if (!report.error.empty()) std::cerr << "kelvarix-alarmsim: " << report.error << '\n';
    if (runner.connected()) {
        print_text(std::cout, report);
        if (options.json) print_json(std::cout, report);
    }
    return exit_status(report);
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        std::cerr << "kelvarix-alarmsim: " << *error << " (see --help)\n";
        return kExitUsage;
    }
    const Options& options = std::get<Options>(parsed);
    if (options.help) {
        std::cout << kHelpText;
        return 0;
    }

    std::vector<std::vector<std::string>> file_lines;
    for (const auto& source : options.sources) {
        if (source.kind != LineSource::Kind::file) continue;
        auto lines = read_lines(source.text);
        if (!lines) {
            std::cerr << "kelvarix-alarmsim: cannot read " << source.text << '\n';
            return kExitUsage;
        }
        file_lines.push_back(std::move(*lines));
    }

    asio::io_context io;
    if (options.mode == Mode::baseline) {
        Baseline baseline(io, options);
        return run(io, baseline, options);
    }
    GatewayClient client(io, options, std::move(file_lines));
    return run(io, client, options);
}
