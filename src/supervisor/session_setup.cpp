#include "supervisor/session_setup.h"

#include "platform/awaitable.h"

namespace kelvarix {

namespace {
void LogOutcome(Logger& logger, std::int16_t result, const std::string& success,
                const std::string& failure) {
    logger.WriteSystemLog(result == kReplyAck ? success : failure);
}
}  // namespace

asio::awaitable<void> SetupATASSession(AtasLink& link, const Settings& settings, Logger& logger) {
    if (settings.ResetAlarmsAtConnect) {
        LogOutcome(logger, co_await link.SendCommand(AtasCommand("RESET")),
                   "Successfully reset all alarms using RESET",
                   "Failed to reset all alarms using RESET");
    }
    if (settings.HeartbeatInterval > 0) {
        LogOutcome(logger, co_await link.SendCommand(AtasCommand("ATE0")),
                   "Turned off echo and turned on heartbeat using ATE0",
                   "Failed to turn off echo and turn on heartbeat using ATE0");
        const std::string n = std::to_string(settings.HeartbeatInterval);
        std::string command = AtasCommand("HBC", {n});  // built apart from the co_await for GCC 12
        LogOutcome(logger, co_await link.SendCommand(std::move(command)),
                   "Successfully set heartbeat timeout (HBC) to " + n + " seconds",
                   "Failed to set heartbeat timeout (HBC) to " + n + " seconds");
    } else {
        LogOutcome(logger, co_await link.SendCommand(AtasCommand("ATE1")),
                   "Turned on echo and turned off heartbeat using ATE1",
                   "Failed to turn on echo and turn off heartbeat using ATE1");
    }
    if (settings.SM_Read.empty() && settings.SM_Acknowledge.empty()) {
        logger.WriteSystemLog("Set menu (SM) command was not sent (strings where empty)");
        co_return;
    }
    std::string menu = settings.SM_Acknowledge.empty()
                           ? AtasCommand("SM", {settings.SM_Read})
                           : AtasCommand("SM", {settings.SM_Read, settings.SM_Acknowledge});
    LogOutcome(logger, co_await link.SendCommand(std::move(menu)), "Successfully set menu (SM)",
               "Failed to set menu (SM)");
}

}  // namespace kelvarix
