// What a caller of the one-call API hands over, by the first byte: a target
// ("host", "host:port", "[v6]:port", a bare IPv6 address), a tag given by
// name or id, or a tag id and the bytes of a text to write to it. Nothing
// faults; a target accepted has a host and a port that are not 0 and reads
// the same once written back; a tag accepted names itself by name and by id;
// a text value written to a tag either is refused or comes back as it went.
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "axodict.h"
#include "tagengine.h"

using namespace tagengine;

namespace {

void checkTarget(const std::string& text) {
    Exchange exchange;
    try {
        exchange = exchangeTo(text);
    } catch (const std::invalid_argument&) {
        return;
    }
    if (exchange.host.empty() || exchange.port == 0) abort();
    bool v6 = exchange.host.find(':') != std::string::npos;
    std::string again =
        (v6 ? "[" + exchange.host + "]" : exchange.host) + ":" + std::to_string(exchange.port);
    Exchange back = exchangeTo(again);
    if (back.host != exchange.host || back.port != exchange.port) abort();
}

void checkTag(const std::string& text) {
    uint8_t id = 0;
    try {
        id = tagIdOf(text);
    } catch (const std::invalid_argument&) {
        return;
    }
    if (tagIdOf(std::to_string(id)) != id || tagIdOf(AXO::tagName(id)) != id) abort();
}

void checkText(uint8_t id, const std::string& bytes) {
    Value value = textValue(bytes);
    std::unique_ptr<VTag> tag;
    try {
        tag = makeTag(id, value);
    } catch (const std::invalid_argument&) {
        return;
    }
    Value back = valueOf(*tag);
    if (back.kind != value.kind || back.text != bytes) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    switch (data[0] % 3) {
    case 0: checkTarget(std::string(1, char(data[1])) + rest); break;
    case 1: checkTag(std::string(1, char(data[1])) + rest); break;
    default: checkText(data[1], rest);
    }
    return 0;
}
