// Uses each installed library once; exits 0 when all three answer sensibly.
#include <cstdio>

#include "axodict.h"
#include "vlog.h"
#include "vmsg.h"

int main() {
    cVlog::init(cVlog::ERROR);
    VMsg msg(1);
    msg.addTag(VTagFactory::createVTag(8, uint32_t(42)));
    uint8_t buf[1024];
    uint16_t n = msg.getMsg(buf, sizeof buf);
    VMsg* back = VMsg::parseMsg(buf, n);
    bool ok = back && back->tagCount() == 1 && AXO::DictDef->count == 182;
    delete back;
    puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
