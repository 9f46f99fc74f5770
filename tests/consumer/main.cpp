// Uses each installed library from its headers alone, as a user would: the
// message ids and tag ids, a round trip through the wire, a const walk over
// the decoded tags, the tag names, and a log record through log4cpp itself.
// Exits 0 when every answer is the one expected.
#include <cstdio>
#include <cstring>
#include <memory>

#include <log4cpp/Category.hh>

#include "axodict.h"
#include "vlog.h"
#include "vmsg.h"

int main() {
    cVlog::init(cVlog::ERROR);
    log4cpp::Category::getRoot().debug("below the priority: prints nothing");

    VMsg msg(MSG_SET);
    msg.setLastSegment(true);
    msg.addTag(VTagFactory::createVTag(AXO::TAG_DEV_ID, uint32_t(42)));
    msg.addTag(VTagFactory::createVTag(AXO::TAG_DEV_LABEL, "Rack 1"));
    uint8_t buf[1024];
    const uint16_t n = msg.getMsg(buf, sizeof buf);
    const std::unique_ptr<const VMsg> back(VMsg::parseMsg(buf, n));

    bool ok = back && back->msgId == MSG_SET && back->tagCount() == 2;
    unsigned seen = 0;
    if (back)
        for (const VTag* t : *back) {
            const char* name = AXO::tagName(t->tagId);
            ok = ok && name && AXO::tagIdByName(name) == t->tagId;
            ++seen;
        }
    ok = ok && seen == 2 && AXO::TAG_COUNT == 182 && AXO::DictDef->count == AXO::TAG_COUNT &&
         std::strcmp(AXO::tagName(AXO::TAG_DEV_LABEL), "TAG_DEV_LABEL") == 0 &&
         AXO::tagKind(AXO::TAG_DEV_LABEL) == AXO::TagKind::String && AXO::tagIdByName("tag_dev_id") == 8;
    std::puts(ok ? "consumer ok" : "consumer FAILED");
    return ok ? 0 : 1;
}
