// The wire encoding of a message (docs/wire-format.md). All multi-byte
// fields are big-endian and are read and written a byte at a time, so the
// code never depends on the host's byte order or on alignment.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "vmsg.h"

namespace {

constexpr uint8_t FORMAT = 0x01;
constexpr size_t HEADER_SIZE = 5;     // format, msgId, sequence, tag count (2)
constexpr size_t TAG_HEAD_SIZE = 2;   // tag id, type code
constexpr size_t MAX_FIELD = 0xFFFF;  // tag count and string length are 16-bit

// Bytes a tag takes on the wire, or 0 when it cannot be encoded.
size_t encodedSize(const VTag* t) {
    if (!t->typeMatchesClass()) return 0;
    switch (t->type) {
    case VTAG_NONE: return TAG_HEAD_SIZE;
    case VTAG_UINT8: return TAG_HEAD_SIZE + 1;
    case VTAG_UINT16: return TAG_HEAD_SIZE + 2;
    case VTAG_UINT32:
    case VTAG_FLOAT: return TAG_HEAD_SIZE + 4;
    case VTAG_STRING: {
        std::string_view s = static_cast<const VTagString*>(t)->text();
        if (s.size() > MAX_FIELD || s.find('\0') != std::string_view::npos) return 0;
        return TAG_HEAD_SIZE + 2 + s.size();
    }
    default: return 0;
    }
}

uint8_t* put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
    return p + 2;
}

uint8_t* put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
    return p + 4;
}

uint8_t* putTag(uint8_t* p, const VTag* t) {
    *p++ = t->tagId;
    *p++ = uint8_t(t->type);
    switch (t->type) {
    case VTAG_UINT8: *p++ = static_cast<const VTagUInt8*>(t)->getValue(); break;
    case VTAG_UINT16: p = put16(p, static_cast<const VTagUInt16*>(t)->getValue()); break;
    case VTAG_UINT32:
    case VTAG_FLOAT: p = put32(p, static_cast<const VTagUInt32*>(t)->getValue()); break;
    case VTAG_STRING: {
        std::string_view s = static_cast<const VTagString*>(t)->text();
        p = put16(p, uint16_t(s.size()));
        p = std::copy(s.begin(), s.end(), p);
        break;
    }
    default: break;
    }
    return p;
}

// A bounds-checked reader over the received bytes: every take first checks
// that the bytes are there, so a short or lying datagram fails cleanly.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p(p), end(p + n) {}
    size_t left() const { return size_t(end - p); }
    bool take8(uint8_t& v) {
        if (left() < 1) return false;
        v = *p++;
        return true;
    }
    bool take16(uint16_t& v) {
        if (left() < 2) return false;
        v = uint16_t(p[0] << 8 | p[1]);
        p += 2;
        return true;
    }
    bool take32(uint32_t& v) {
        if (left() < 4) return false;
        v = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        p += 4;
        return true;
    }
    bool takeBytes(const uint8_t*& bytes, size_t n) {
        if (left() < n) return false;
        bytes = p;
        p += n;
        return true;
    }

private:
    const uint8_t* p;
    const uint8_t* end;
};

// One tag as the bytes hold it.
struct TagFields {
    uint8_t id = 0;
    uint8_t type = 0;
    uint32_t number = 0;            // the value of types 2, 3, 4 and 6
    const uint8_t* text = nullptr;  // type 1
    uint16_t length = 0;
};

// Reads one tag; false when the bytes do not hold one.
bool takeTag(Reader& in, TagFields& f) {
    if (!in.take8(f.id) || !in.take8(f.type)) return false;
    switch (f.type) {
    case VTAG_NONE: return true;
    case VTAG_STRING:
        return in.take16(f.length) && in.takeBytes(f.text, f.length) && !memchr(f.text, 0, f.length);
    case VTAG_UINT8: {
        uint8_t v;
        if (!in.take8(v)) return false;
        f.number = v;
        return true;
    }
    case VTAG_UINT16: {
        uint16_t v;
        if (!in.take16(v)) return false;
        f.number = v;
        return true;
    }
    case VTAG_UINT32:
    case VTAG_FLOAT: return in.take32(f.number);
    default: return false;
    }
}

// The header of a message; false when the bytes do not start one. Every
// tag takes at least two bytes: a count the bytes cannot hold is a lie,
// refused before anything is allocated for it.
bool takeHeader(Reader& in, uint8_t& id, uint8_t& seq, uint16_t& count) {
    uint8_t format;
    if (!in.take8(format) || format != FORMAT || !in.take8(id) || !in.take8(seq) || !in.take16(count))
        return false;
    return size_t(count) * TAG_HEAD_SIZE <= in.left();
}

// Steps over one tag of [p, end), checked as takeTag checks it: false for
// the very bytes takeTag refuses.
bool skipTag(const uint8_t*& p, const uint8_t* end) {
    if (size_t(end - p) < TAG_HEAD_SIZE) return false;
    uint8_t type = p[1];
    p += TAG_HEAD_SIZE;
    size_t left = size_t(end - p), size;
    switch (type) {
    case VTAG_NONE: return true;
    case VTAG_UINT8: size = 1; break;
    case VTAG_UINT16: size = 2; break;
    case VTAG_UINT32:
    case VTAG_FLOAT: size = 4; break;
    case VTAG_STRING: {
        if (left < 2) return false;
        size_t n = size_t(p[0]) << 8 | p[1];
        if (left - 2 < n || memchr(p + 2, 0, n)) return false;
        p += 2 + n;
        return true;
    }
    default: return false;
    }
    if (left < size) return false;
    p += size;
    return true;
}

// Room for one tag object of the type in the arena, kept aligned.
size_t objectSize(uint8_t type) {
    size_t size = sizeof(VTag);
    switch (type) {
    case VTAG_STRING: size = sizeof(VTagString); break;
    case VTAG_UINT8: size = sizeof(VTagUInt8); break;
    case VTAG_UINT16: size = sizeof(VTagUInt16); break;
    case VTAG_UINT32:
    case VTAG_FLOAT: size = sizeof(VTagUInt32); break;
    default: break;
    }
    constexpr size_t align = alignof(std::max_align_t);
    return (size + align - 1) / align * align;
}

}  // namespace

size_t VMsg::encodedHeaderSize() { return HEADER_SIZE; }

size_t VMsg::encodedTagSize(const VTag* tag) { return tag ? encodedSize(tag) : 0; }

uint16_t VMsg::getMsg(void* buf, uint16_t capacity) const {
    if (tags.size() > MAX_FIELD) return 0;
    size_t total = HEADER_SIZE;
    for (const VTag* t : tags) {
        size_t n = encodedSize(t);
        if (n == 0) return 0;
        total += n;
        if (total > capacity) return 0;
    }
    if (total > capacity) return 0;

    uint8_t* p = static_cast<uint8_t*>(buf);
    *p++ = FORMAT;
    *p++ = msgId;
    *p++ = sequence;
    p = put16(p, uint16_t(tags.size()));
    for (const VTag* t : tags) p = putTag(p, t);
    return uint16_t(total);
}

VMsg* VMsg::parseMsg(const void* buf, uint16_t length) {
    if (!buf) return nullptr;
    Reader in(static_cast<const uint8_t*>(buf), length);
    uint8_t id, seq;
    uint16_t count;
    if (!takeHeader(in, id, seq, count)) return nullptr;

    // First pass: check every byte and measure the arena. Nothing is built
    // from bytes that turn out not to be a message.
    Reader body = in;
    size_t objectBytes = 0, textBytes = 0;
    TagFields f;
    for (uint16_t i = 0; i < count; ++i) {
        f = TagFields{};
        if (!takeTag(in, f)) return nullptr;
        objectBytes += objectSize(f.type);
        textBytes += f.length;
    }
    if (in.left() != 0) return nullptr;

    // Second pass: build the tags in the arena. The texts are copied, so the
    // message never points into the caller's buffer.
    std::unique_ptr<VMsg> msg(new VMsg(id));
    msg->sequence = seq;
    msg->tags.reserve(count);
    msg->arenaSize = objectBytes + textBytes;
    msg->arena.reset(new std::byte[msg->arenaSize]);
    std::byte* object = msg->arena.get();
    char* text = reinterpret_cast<char*>(object + objectBytes);
    for (uint16_t i = 0; i < count; ++i) {
        f = TagFields{};
        takeTag(body, f);
        VTag* t = nullptr;
        switch (f.type) {
        case VTAG_STRING:
            if (f.length) memcpy(text, f.text, f.length);
            t = new (object) VTagString(f.id, text, f.length, VTagString::InPlace{});
            text += f.length;
            break;
        case VTAG_UINT8: t = new (object) VTagUInt8(f.id, uint8_t(f.number)); break;
        case VTAG_UINT16: t = new (object) VTagUInt16(f.id, uint16_t(f.number)); break;
        case VTAG_UINT32:
        case VTAG_FLOAT: t = new (object) VTagUInt32(f.id, f.number, f.type); break;
        default: t = new (object) VTag(f.id, VTAG_NONE); break;
        }
        object += objectSize(f.type);
        msg->tags.push_back(t);
    }
    return msg.release();
}

// The view checks each tag as takeTag does, stepping over it rather than
// reading it out: the same refusals (the reply fuzzer holds the two to it),
// at a fraction of the cost.
bool VMsgView::parse(const void* buf, uint16_t length) {
    *this = VMsgView();
    if (!buf) return false;
    const auto* bytes = static_cast<const uint8_t*>(buf);
    Reader in(bytes, length);
    uint8_t id, seq;
    uint16_t tags;
    if (!takeHeader(in, id, seq, tags)) return false;
    const uint8_t* at = bytes + HEADER_SIZE;
    const uint8_t* stop = bytes + length;
    for (uint16_t i = 0; i < tags; ++i)
        if (!skipTag(at, stop)) return false;
    if (at != stop) return false;
    msgId = id;
    sequence = seq;
    body = cursor = bytes + HEADER_SIZE;
    end = stop;
    count = tags;
    return true;
}

void VMsgView::gotoFirst() {
    cursor = body;
    passed = 0;
}

// The bytes were checked by parse and may not change since (the contract):
// read without a bound check.
bool VMsgView::getTag(VTagView& tag) {
    if (passed == count) return false;
    const uint8_t* p = cursor;
    tag.tagId = p[0];
    tag.type = p[1];
    tag.number = 0;
    tag.text = {};
    p += TAG_HEAD_SIZE;
    switch (tag.type) {
    case VTAG_STRING: {
        size_t n = size_t(p[0]) << 8 | p[1];
        tag.text = std::string_view(reinterpret_cast<const char*>(p + 2), n);
        p += 2 + n;
        break;
    }
    case VTAG_UINT8: tag.number = *p++; break;
    case VTAG_UINT16:
        tag.number = uint32_t(p[0]) << 8 | p[1];
        p += 2;
        break;
    case VTAG_UINT32:
    case VTAG_FLOAT:
        tag.number = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        p += 4;
        break;
    default: break;
    }
    cursor = p;
    ++passed;
    return true;
}
