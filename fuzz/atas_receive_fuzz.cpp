// The ATAS receive handling (login checks, framing, terminal operations) fed
// arbitrary bytes in arbitrary pieces, with a few alarms queued.
#include <cstdlib>

#include "fuzz_input.h"
#include "gateway_parts.h"
#include "pbx/atas_link.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelvarix;
    fuzz::Input input(data, size);
    const std::uint8_t cuts = input.Byte();

    fuzz::GatewayParts gateway;
    for (const char* id : {"1", "2", "3"}) {
        auto m = std::make_shared<cMessage>();
        m->m_AlarmId = id;
        m->m_EventId = "E";
        m->m_Destination = "2001";
        m->m_TerminalId = id[0] == '2' ? "T1" : "";
        gateway.queue.append(m);
    }
    AtasLink link(gateway.io.get_executor(), gateway.settings, gateway.logger, gateway.queue);
    link.ExpectedReplies = {"ACK", "NACK", "", ""};
    for (const std::string_view piece : input.Pieces(cuts)) {
        link.Winsock_ATAS_DataArrival(piece);
        if (link.ATASReceiveBuffer.size() > AtasLink::kMaxReceiveBuffer) std::abort();
        if (link.ATASReceiveBuffer.find('\n') != std::string::npos) std::abort();
    }
    if (link.MatchedReply < 0 || link.MatchedReply > 2) std::abort();
    return 0;
}
