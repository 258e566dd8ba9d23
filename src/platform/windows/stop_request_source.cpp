#include <windows.h>

#include "platform/stop_requests.h"
#include "platform/stop_requests_source.h"

namespace kelvarix {

namespace {
// Ctrl+C, Ctrl+Break and closing the console the program was started from.
// The end of a session reaches the window as messages, and a service as a
// control; a service must not stop when some user logs off.
BOOL WINAPI ConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            RaiseStopRequest(StopRequest::Operator);
            return TRUE;
        default:
            return FALSE;
    }
}

class ConsoleSource final : public StopRequestSource {
  public:
    ConsoleSource() { ::SetConsoleCtrlHandler(ConsoleControl, TRUE); }
    ~ConsoleSource() override { ::SetConsoleCtrlHandler(ConsoleControl, FALSE); }
};
}  // namespace

std::unique_ptr<StopRequestSource> StartStopRequestSource(asio::io_context&) {
    return std::make_unique<ConsoleSource>();
}

}  // namespace kelvarix
