#pragma once
// The intake's view of the PBX link: the ATAS link and the alarm dispatch.
#include "alarm_server/intake.h"
#include "pbx/alarm_dispatch.h"
#include "pbx/atas_link.h"

namespace kelvarix {

class AtasPbxPort final : public PbxPort {
public:
    AtasPbxPort(AtasLink& link, AlarmDispatcher& dispatcher) : link_(link), dispatcher_(dispatcher) {}
    bool Connected() const override { return link_.Connected(); }
    asio::awaitable<bool> WaitUntilUsable() override { return link_.WaitUntilUsable(); }
    asio::awaitable<bool> SendAlarmToPBX(MessageRef record) override {
        return dispatcher_.SendAlarmToPBX(std::move(record));
    }

private:
    AtasLink& link_;
    AlarmDispatcher& dispatcher_;
};

}  // namespace kelvarix
