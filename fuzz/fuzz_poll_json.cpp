// Any datagram that decodes, written as tagpoll's JSON: the text always
// parses back, with one entry per tag and every value whole.
#include <cstdlib>
#include <memory>

#include "json_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1024) return 0;
    std::unique_ptr<VMsg> message(VMsg::parseMsg(data, uint16_t(size)));
    if (!message) return 0;
    nlohmann::ordered_json j;
    tagpoll::addMessage(j, *message);
    nlohmann::json back = nlohmann::json::parse(j.dump());
    if (back["tags"].size() != message->tagCount()) abort();
    message->gotoFirst();
    for (const auto& tag : back["tags"]) {
        VTag* t = message->getTag();
        if (tag["id"] != t->tagId || tag["type"] != t->type) abort();
        // Texts that are UTF-8 come back byte for byte; others come with
        // their exact bytes in hex.
        if (t->type == VTAG_STRING && t->typeMatchesClass() && !tag.contains("value_hex") &&
            tag["value"].get<std::string>() != static_cast<VTagString*>(t)->text())
            abort();
    }
    return 0;
}
