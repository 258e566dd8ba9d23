#pragma once
// Command-line options of kelvarix-pbxsim.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "session.h"

namespace kelvarix::pbxsim {

struct Options {
    std::string bind = "127.0.0.1";
    std::uint16_t port = 0;  // 0: the system picks a free port
    bool quiet = false;
    std::string stamps_path;  // where to note when each SA arrived; empty: nowhere
    bool help = false;
    SessionConfig session;
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // set when options is empty
};

// The arguments after the program name.
ParsedOptions parse_options(std::span<const std::string_view> args);

std::string help_text(std::string_view program);

}  // namespace kelvarix::pbxsim
