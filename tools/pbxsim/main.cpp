// kelvarix-pbxsim: a PBX that speaks the ATAS interface, for tests, demos
// and commissioning. See --help.
#include <asio/io_context.hpp>
#include <csignal>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "options.h"
#include "server.h"

int main(int argc, char** argv) {
    using namespace kelvarix::pbxsim;
    const std::string_view program = argc > 0 ? argv[0] : "kelvarix-pbxsim";
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto parsed = parse_options(args);
    if (!parsed.options) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.data(), parsed.error.c_str(),
                     program.data());
        return 2;
    }
    if (parsed.options->help) {
        std::fputs(help_text(program).c_str(), stdout);
        return 0;
    }
    // A reader that goes away must not kill the simulator mid-session, and a
    // background job must not be stopped for reading the terminal.
#ifndef _WIN32
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
#endif

    const auto& options = *parsed.options;
    asio::io_context io;
    std::optional<Server> server;
    try {
        server.emplace(io, options);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "%s: cannot listen on %s port %u: %s\n", program.data(),
                     options.bind.c_str(), unsigned{options.port}, error.code().message().c_str());
        return 1;
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "%s: %s\n", program.data(), error.what());
        return 1;
    }
    server->start();
    io.run();
    return 0;
}
