// Datagram bytes -> the agent's request handling, for a single device and
// for a fleet device reading through to shared values: whatever arrives,
// every reply datagram is at most 1024 bytes, decodes, carries the
// request's sequence number, and only the last one is flagged last.
#include <cstdlib>
#include <memory>

#include "demo_device.h"
#include "fleet.h"
#include "request_handler.h"

namespace {

void check(const uint8_t* data, size_t size, TagStore& store) {
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TagStore single;
    loadDemoDevice(single);
    check(data, size, single);
    static const auto shared = [] {
        auto values = std::make_shared<TagStore>();
        loadDemoDevice(*values);
        return values;
    }();
    TagStore device = fleetDeviceStore(shared, 7);
    check(data, size, device);
    // What the datagram did to the device (a SET, a DEL) stays with it;
    // the same GET again is served from the mix of its own and shared values.
    check(data, size, device);
    static const size_t sharedCount = shared->size();
    if (shared->size() != sharedCount) abort();  // nothing writes through
    return 0;
}
