#include <windows.h>

#include "platform/clock.h"

namespace kelvarix {

LocalTime SystemClock::now() const {
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace kelvarix
