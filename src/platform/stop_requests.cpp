#include "platform/stop_requests.h"

#include <asio/post.hpp>
#include <mutex>

#include "platform/stop_requests_source.h"

namespace kelvarix {

struct StopRequests::State {
    explicit State(asio::io_context& io) : io(io) {}
    asio::io_context& io;
    std::function<void(StopRequest)> handler;  // touched on the io thread only
    bool delivered = false;
    std::unique_ptr<StopRequestSource> source;
};

namespace {
// Requests come from threads that know nothing of the gateway: the one
// StopRequests of the process is where they go.
std::mutex g_mutex;
std::weak_ptr<StopRequests::State> g_current;
}  // namespace

StopRequests::StopRequests(asio::io_context& io) : state_(std::make_shared<State>(io)) {
    {
        std::lock_guard lock(g_mutex);
        g_current = state_;
    }
    state_->source = StartStopRequestSource(io);
}

StopRequests::~StopRequests() {
    state_->source.reset();
    std::lock_guard lock(g_mutex);
    g_current.reset();
}

void StopRequests::AsyncWait(std::function<void(StopRequest)> handler) {
    state_->handler = std::move(handler);
}

void RaiseStopRequest(StopRequest request) {
    std::shared_ptr<StopRequests::State> state;
    {
        std::lock_guard lock(g_mutex);
        state = g_current.lock();
    }
    if (!state) return;
    asio::post(state->io, [state, request] {
        if (state->delivered || !state->handler) return;
        state->delivered = true;
        state->handler(request);
    });
}

}  // namespace kelvarix
