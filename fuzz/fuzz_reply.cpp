// Datagram bytes -> decode -> print -> encode -> decode: a datagram that
// decodes prints without fault, encodes back to the very same bytes, and
// decodes again to an equal message.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "msg_compare.h"
#include "msg_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFF) return 0;
    std::unique_ptr<VMsg> first(VMsg::parseMsg(data, uint16_t(size)));
    if (!first) return 0;

    static FILE* sink = fopen("/dev/null", "w");
    MsgRequest printer(MSG_GET);
    printer.out = sink;
    printer.printMsg(first.get());

    std::vector<uint8_t> again(size);
    uint16_t n = first->getMsg(again.data(), uint16_t(size));
    if (n != size || memcmp(again.data(), data, size) != 0) abort();
    std::unique_ptr<VMsg> second(VMsg::parseMsg(again.data(), n));
    if (!second || !sameMsg(*first, *second)) abort();
    return 0;
}
