#include <asio/signal_set.hpp>
#include <csignal>

#include "platform/stop_requests.h"
#include "platform/stop_requests_source.h"

namespace kelvarix {

namespace {
class SignalSource final : public StopRequestSource {
  public:
    explicit SignalSource(asio::io_context& io) : signals_(io, SIGINT, SIGHUP, SIGTERM) {
        // A reader of standard output that goes away (kelvarix | head) must
        // not end the gateway: the write fails and the gateway runs on.
        std::signal(SIGPIPE, SIG_IGN);
        signals_.async_wait([](const asio::error_code& error, int signal_number) {
            if (error) return;
            switch (signal_number) {
                case SIGINT:
                    RaiseStopRequest(StopRequest::Operator);
                    break;
                case SIGHUP:
                    RaiseStopRequest(StopRequest::SessionEnd);
                    break;
                default:
                    RaiseStopRequest(StopRequest::OtherProgram);
                    break;
            }
        });
    }

  private:
    asio::signal_set signals_;
};
}  // namespace

std::unique_ptr<StopRequestSource> StartStopRequestSource(asio::io_context& io) {
    return std::make_unique<SignalSource>(io);
}

}  // namespace kelvarix
