#pragma once
// The platform's own sources of stop requests (signals, console events),
// which turn what they see into RaiseStopRequest calls.
#include <asio/io_context.hpp>
#include <memory>

namespace kelvarix {

class StopRequestSource {
  public:
    virtual ~StopRequestSource() = default;
};

std::unique_ptr<StopRequestSource> StartStopRequestSource(asio::io_context& io);

}  // namespace kelvarix
