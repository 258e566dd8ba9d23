// The alarm-server intake fed arbitrary bytes in arbitrary pieces. Every line
// of status 0 to 3 must get exactly one reply, and nothing may crash.
#include <cstdlib>

#include "alarm_server/intake.h"
#include "fuzz_input.h"
#include "gateway_parts.h"
#include "platform/awaitable.h"
#include "queue/conversions.h"

namespace {

using namespace kelvarix;

class ScriptedPbx final : public PbxPort {
  public:
    explicit ScriptedPbx(std::uint8_t script, MessageQueue& queue)
        : script_(script), queue_(queue) {}
    bool Connected() const override { return script_ & 1; }
    asio::awaitable<bool> WaitUntilUsable() override { co_return (script_ & 2) != 0; }
    asio::awaitable<bool> SendAlarmToPBX(MessageRef record) override {
        if (!queue_.first_acknowledged_of_event(record->m_EventId)) queue_.append(record);
        co_return (script_ & 4) != 0;
    }

  private:
    std::uint8_t script_;
    MessageQueue& queue_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const std::uint8_t script = input.Byte();
    const std::uint8_t cuts = input.Byte();

    fuzz::GatewayParts gateway;
    gateway.settings.BufferWhenDisconnected = script & 8;
    gateway.settings.MaxBufferedMessages = script >> 4;
    ScriptedPbx pbx(script, gateway.queue);
    std::size_t replies = 0;
    AlarmIntake intake(gateway.io.get_executor(), gateway.settings, gateway.logger, gateway.queue,
                       gateway.buffered, pbx, [&](std::string_view reply) {
                           if (reply.empty() || reply.back() != '\n') std::abort();
                           ++replies;
                       });
    for (const std::string_view piece : input.Pieces(cuts)) {
        intake.Winsock_Orvane_Data_DataArrival(piece);
        gateway.Run();
    }
    // Every line of status 0 to 3 owes exactly one reply. (Longer inputs may
    // hold overlong lines, which are thrown away: then fewer is allowed.)
    std::size_t owed = 0;
    std::string current;
    for (const char c : input.Rest()) {
        if (c == '\r') continue;
        if (c != '\n') {
            current += c;
            continue;
        }
        const std::string line = TrimSpaces(current);
        current.clear();
        if (line.empty()) continue;
        const auto status = ToInt16OrZero(line.substr(0, line.find('|')));
        if (status >= 0 && status <= 3) ++owed;
    }
    if (replies > owed) std::abort();
    if (replies < owed && input.Rest().size() <= AlarmIntake::kMaxLineBuffer) std::abort();
    return 0;
}
