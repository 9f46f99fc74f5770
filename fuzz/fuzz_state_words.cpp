// A state file's value words, written and read back: the first byte picks
// what the rest is. 0: a float's 4 bits (big-endian); 1: a text's bytes;
// 2: base64 to decode. Every float and every text a datagram can carry must
// read back from its word to the same bits and bytes; base64 that decodes
// must be the one spelling of its bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "state_file.h"
#include "tag_text.h"
#include "yaml_text.h"

namespace {

// The value's word as the only tag of a one-target state file, read back.
std::shared_ptr<const VTag> readBack(const VTag& tag, const char* name) {
    std::string text =
        "targets: [127.0.0.1]\ntags: {" + std::string(name) + ": " + tagconf::stateWord(tag) + "}\n";
    tagconf::OpenFile none = [](const std::string&, std::string&) -> std::unique_ptr<std::istream> {
        return nullptr;
    };
    tagconf::State state;
    std::string error;
    if (!tagconf::parseState(text, "f.yml", 60000, none, state, error) || state.targets[0].tags->size() != 1)
        abort();
    return state.targets[0].tags->front().value;
}

void checkFloat(const uint8_t* data, size_t size) {
    if (size != 4) return;
    uint32_t bits = uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3];
    VTagUInt32 tag(tagByName("TAG_IO_GAIN")->id, bits, VTAG_FLOAT);
    auto back = readBack(tag, "TAG_IO_GAIN");
    if (back->type != VTAG_FLOAT || static_cast<const VTagUInt32&>(*back).getValue() != bits) abort();
}

void checkText(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    // What the wire carries in one datagram: no NUL, at most 1015 bytes.
    if (size > 1015 || bytes.find('\0') != std::string::npos) return;
    VTagString tag(tagByName("TAG_DEV_LABEL")->id, bytes.data(), bytes.size());
    auto back = readBack(tag, "TAG_DEV_LABEL");
    if (back->type != VTAG_STRING || static_cast<const VTagString&>(*back).text() != bytes) abort();
}

void checkBase64(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<std::string> bytes = tagconf::fromBase64(text);
    if (!bytes) return;
    std::string bare;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') bare += c;
    if (tagconf::base64(*bytes) != bare) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
    case 0: checkFloat(data + 1, size - 1); break;
    case 1: checkText(data + 1, size - 1); break;
    default: checkBase64(data + 1, size - 1); break;
    }
    return 0;
}
