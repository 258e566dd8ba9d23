#include <io.h>

#include <cstdio>

#include "platform/window_list.h"

namespace kelvarix {

bool StandardOutputIsTerminal() {
    return ::_isatty(::_fileno(stdout)) != 0;
}
bool StandardInputIsTerminal() {
    return ::_isatty(::_fileno(stdin)) != 0;
}

}  // namespace kelvarix
