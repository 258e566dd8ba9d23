#include "platform/command_line_text.h"

#include <cstdio>

namespace kelvarix {

void WriteCommandLineText(std::string_view text, std::string_view) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace kelvarix
