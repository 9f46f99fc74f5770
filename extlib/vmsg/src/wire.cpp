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
    // Bytes taken since from, where the reader started.
    size_t consumed(const uint8_t* from) const { return size_t(p - from); }
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

// The view checks what parseMsg's first pass checks, by the same readers, so
// that the two refuse the same bytes; it only builds nothing.
bool VMsgView::parse(const void* buf, uint16_t length) {
    *this = VMsgView();
    if (!buf) return false;
    Reader in(static_cast<const uint8_t*>(buf), length);
    uint8_t id, seq;
    uint16_t tags;
    if (!takeHeader(in, id, seq, tags)) return false;
    const uint8_t* first = static_cast<const uint8_t*>(buf) + HEADER_SIZE;
    TagFields f;
    for (uint16_t i = 0; i < tags; ++i)
        if (!takeTag(in, f)) return false;
    if (in.left() != 0) return false;
    msgId = id;
    sequence = seq;
    body = cursor = first;
    end = static_cast<const uint8_t*>(buf) + length;
    count = tags;
    return true;
}

void VMsgView::gotoFirst() {
    cursor = body;
    passed = 0;
}

bool VMsgView::getTag(VTagView& tag) {
    if (passed == count) return false;
    Reader in(cursor, size_t(end - cursor));
    TagFields f;
    takeTag(in, f);  // checked by parse
    cursor += in.consumed(cursor);
    ++passed;
    tag.tagId = f.id;
    tag.type = f.type;
    tag.number = f.number;
    tag.text = f.type == VTAG_STRING ? std::string_view(reinterpret_cast<const char*>(f.text), f.length)
                                     : std::string_view();
    return true;
}
