#pragma once
// The gateway's metrics page: its counters, and gauges read from its state
// at the moment of the scrape.
#include <string>

namespace kelvarix {

struct Gateway;

std::string GatewayMetricsText(const Gateway& gateway);

}  // namespace kelvarix
