// The wire encoding of a message (docs/wire-format.md). All multi-byte
// fields are big-endian and are read and written a byte at a time, so the
// code never depends on the host's byte order or on alignment.
#include <algorithm>
#include <cstring>
#include <memory>

#include "vmsg.h"

namespace {

constexpr uint8_t FORMAT = 0x01;
constexpr size_t HEADER_SIZE = 5;     // format, msgId, sequence, tag count (2)
constexpr size_t TAG_HEAD_SIZE = 2;   // tag id, type code
constexpr size_t MAX_FIELD = 0xFFFF;  // tag count and string length are 16-bit

// Bytes a tag takes on the wire, or 0 when it cannot be encoded.
size_t encodedSize(const VTag* t) {
    switch (t->type) {
    case VTAG_NONE: return TAG_HEAD_SIZE;
    case VTAG_UINT8: return TAG_HEAD_SIZE + 1;
    case VTAG_UINT16: return TAG_HEAD_SIZE + 2;
    case VTAG_UINT32:
    case VTAG_FLOAT: return TAG_HEAD_SIZE + 4;
    case VTAG_STRING: {
        const std::string& s = static_cast<const VTagString*>(t)->text();
        if (s.size() > MAX_FIELD || s.find('\0') != std::string::npos) return 0;
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
        const std::string& s = static_cast<const VTagString*>(t)->text();
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

VTag* takeString(Reader& in, uint8_t id) {
    uint16_t len;
    const uint8_t* bytes;
    if (!in.take16(len) || !in.takeBytes(bytes, len)) return nullptr;
    if (memchr(bytes, 0, len)) return nullptr;
    return new VTagString(id, reinterpret_cast<const char*>(bytes), len);
}

// Reads one tag, or returns null when the bytes do not hold one.
VTag* takeTag(Reader& in) {
    uint8_t id, type;
    if (!in.take8(id) || !in.take8(type)) return nullptr;
    switch (type) {
    case VTAG_NONE: return new VTag(id, VTAG_NONE);
    case VTAG_STRING: return takeString(in, id);
    case VTAG_UINT8: {
        uint8_t v;
        return in.take8(v) ? new VTagUInt8(id, v) : nullptr;
    }
    case VTAG_UINT16: {
        uint16_t v;
        return in.take16(v) ? new VTagUInt16(id, v) : nullptr;
    }
    case VTAG_UINT32:
    case VTAG_FLOAT: {
        uint32_t v;
        return in.take32(v) ? new VTagUInt32(id, v, type) : nullptr;
    }
    default: return nullptr;
    }
}

}  // namespace

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
    uint8_t format, id, seq;
    uint16_t count;
    if (!in.take8(format) || format != FORMAT || !in.take8(id) || !in.take8(seq) || !in.take16(count))
        return nullptr;
    // Every tag takes at least two bytes: a count the bytes cannot hold is a
    // lie, refused before anything is allocated for it.
    if (size_t(count) * TAG_HEAD_SIZE > in.left()) return nullptr;

    std::unique_ptr<VMsg> msg(new VMsg(id));
    msg->sequence = seq;
    msg->tags.reserve(count);
    for (uint16_t i = 0; i < count; ++i) {
        VTag* t = takeTag(in);
        if (!t) return nullptr;
        msg->tags.push_back(t);
    }
    if (in.left() != 0) return nullptr;
    return msg.release();
}
