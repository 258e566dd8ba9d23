#pragma once
// Requests from outside the program to stop it, delivered on the event
// thread: from the operator, from the end of the session, from another
// program, or from the service manager. Each platform has its own sources
// (signals; console events, window messages and service controls).
#include <asio/io_context.hpp>
#include <functional>
#include <memory>

namespace kelvarix {

enum class StopRequest {
    Operator,        // Ctrl+C, or the operator closed the window
    SessionEnd,      // the user logs off or the system shuts down (SIGHUP)
    OtherProgram,    // another program asked (SIGTERM, Task Manager)
    ServiceManager,  // the service manager stops the service
};

class StopRequests {
  public:
    // Starts watching the platform's sources; the first request goes to the
    // handler of AsyncWait, on the io_context's thread.
    explicit StopRequests(asio::io_context& io);
    ~StopRequests();
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

    void AsyncWait(std::function<void(StopRequest)> handler);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

// Raises a request from any thread (the window's, the service manager's).
// Nothing happens while no StopRequests exists.
void RaiseStopRequest(StopRequest request);

}  // namespace kelvarix
