#include <unistd.h>

#include "platform/window_list.h"

namespace kelvarix {

bool StandardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}
bool StandardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

}  // namespace kelvarix
