// Datagram bytes -> the agent's request handling: whatever arrives, every
// reply datagram is at most 1024 bytes, decodes, carries the request's
// sequence number, and only the last one is flagged last.
#include <cstdlib>
#include <memory>

#include "demo_device.h"
#include "request_handler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TagStore store;
    loadDemoDevice(store);
    HandleResult result = handleDatagram({data, size}, store);
    if (!result.request && !result.replies.empty()) abort();

    for (size_t i = 0; i < result.replies.size(); ++i) {
        const Datagram& d = result.replies[i];
        if (d.size() > DATAGRAM_SIZE) abort();
        std::unique_ptr<VMsg> reply(VMsg::parseMsg(d.data(), uint16_t(d.size())));
        if (!reply) abort();
        if ((reply->sequence & VMsg::SEQUENCE_NUMBER) != (data[2] & VMsg::SEQUENCE_NUMBER))
            abort();  // data[2]: the request's sequence
        if (reply->isLastSegment() != (i + 1 == result.replies.size())) abort();
    }
    return 0;
}
