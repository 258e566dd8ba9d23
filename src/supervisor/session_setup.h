#pragma once
// Prepares a freshly logged-in ATAS session: reset, echo and heartbeat, menu.
#include <asio/awaitable.hpp>

#include "config/settings.h"
#include "logging/logger.h"
#include "pbx/atas_link.h"

namespace kelvarix {

asio::awaitable<void> SetupATASSession(AtasLink& link, const Settings& settings, Logger& logger);

}  // namespace kelvarix
