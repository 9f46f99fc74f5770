// libvmsg: messages and typed tags of the tag protocol, and their wire encoding
// (docs/wire-format.md).
//
// Objects are plain heap objects: callers make them with new and release them
// with delete. A message owns every tag added to it.
#ifndef VMSG_H
#define VMSG_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#define VMSG_API __attribute__((visibility("default")))

// Message ids: what a message asks for or answers with.
enum MsgId : uint8_t { MSG_SET = 0, MSG_GET = 1, MSG_ERR = 2, MSG_EVT = 3, MSG_DEL = 4, MSG_REP = 5 };

// Type codes carried by every tag.
enum VTagType : uint32_t {
    VTAG_NONE = 0,    // no value
    VTAG_STRING = 1,  // text without NUL bytes
    VTAG_UINT32 = 2,  // unsigned 32-bit; the receiver's dictionary may say it is a float
    VTAG_UINT16 = 3,
    VTAG_UINT8 = 4,
    VTAG_FLOAT = 6,  // a float carried as the 32 bits of an unsigned 32-bit value
};

class VMSG_API VTag {
public:
    // A tag without a value. Other type codes need the matching value class.
    VTag(uint8_t id, uint32_t typeCode) : VTag(id, typeCode, Holds::Nothing) {}
    virtual ~VTag() = default;
    VTag(const VTag&) = delete;
    VTag& operator=(const VTag&) = delete;

    // A new tag equal to this one, owned by the caller.
    virtual VTag* clone() const;

    // Whether type names a value this object's class holds. getMsg refuses
    // to encode a tag whose type was set to a code its class cannot carry.
    bool typeMatchesClass() const;

    uint8_t tagId;
    uint32_t type;

protected:
    enum class Holds : uint8_t { Nothing, Text, UInt8, UInt16, UInt32 };
    VTag(uint8_t id, uint32_t typeCode, Holds kind) : tagId(id), type(typeCode), holds(kind) {}

private:
    Holds holds;
};

class VMSG_API VTagString : public VTag {
public:
    VTagString(uint8_t id, const char* text);  // null is the empty text
    VTagString(uint8_t id, const char* bytes, size_t size);
    ~VTagString() override;
    VTag* clone() const override;

    // Copies at most capacity-1 bytes of the text into buf and always ends it
    // with a NUL; a longer text is cut. Capacity 0 writes nothing.
    void getValue(char* buf, uint16_t capacity) const;
    std::string_view text() const { return {chars, length}; }

private:
    friend class VMsg;
    struct InPlace {};
    // Refers to bytes the owning message keeps alive; copies nothing.
    VTagString(uint8_t id, const char* bytes, size_t size, InPlace)
        : VTag(id, VTAG_STRING, Holds::Text), chars(bytes), length(size), owned(false) {}

    const char* chars;
    size_t length;
    bool owned;
};

class VMSG_API VTagUInt8 : public VTag {
public:
    VTagUInt8(uint8_t id, uint8_t v) : VTag(id, VTAG_UINT8, Holds::UInt8), value(v) {}
    VTag* clone() const override;
    uint8_t getValue() const { return value; }

private:
    uint8_t value;
};

class VMSG_API VTagUInt16 : public VTag {
public:
    VTagUInt16(uint8_t id, uint16_t v) : VTag(id, VTAG_UINT16, Holds::UInt16), value(v) {}
    VTag* clone() const override;
    uint16_t getValue() const { return value; }

private:
    uint16_t value;
};

// Holds type 2 (a plain 32-bit value) or type 6 (the bits of a float).
class VMSG_API VTagUInt32 : public VTag {
public:
    VTagUInt32(uint8_t id, uint32_t v, uint32_t typeCode = VTAG_UINT32)
        : VTag(id, typeCode, Holds::UInt32), value(v) {}
    VTag* clone() const override;
    uint32_t getValue() const { return value; }
    // The same 32 bits read as a float; NaN payloads are kept.
    float getFloatValue() const;

private:
    uint32_t value;
};

class VMSG_API VTagFactory {
public:
    static VTag* createVTag(uint8_t tagId);                    // type 0
    static VTag* createVTag(uint8_t tagId, uint8_t value);     // type 4
    static VTag* createVTag(uint8_t tagId, uint16_t value);    // type 3
    static VTag* createVTag(uint8_t tagId, uint32_t value);    // type 2
    static VTag* createVTag(uint8_t tagId, const char* text);  // type 1; null is the empty text
    // Type 6 normally. With dictTyped true the bits go out as type 2, leaving
    // it to the receiver's dictionary to read them as a float.
    static VTag* createVTag(uint8_t tagId, float value, bool dictTyped);
};

class VMSG_API VMsg {
public:
    static constexpr uint8_t LAST_SEGMENT = 0x80;     // flag bit within sequence
    static constexpr uint8_t SEQUENCE_NUMBER = 0x7F;  // the sequence number's bits

    explicit VMsg(uint8_t id) : msgId(id), sequence(0) {}
    ~VMsg();
    VMsg(const VMsg&) = delete;
    VMsg& operator=(const VMsg&) = delete;

    // Appends the tag, made with new; the message owns it from now on. Null
    // is ignored.
    void addTag(VTag* tag);

    // The flag is the top bit of sequence; the low 7 bits are left alone.
    void setLastSegment(bool last);
    bool isLastSegment() const { return (sequence & LAST_SEGMENT) != 0; }

    // Bytes a message without tags takes on the wire.
    static size_t encodedHeaderSize();
    // Bytes the tag adds to a message on the wire; 0 when it cannot be
    // encoded at all.
    static size_t encodedTagSize(const VTag* tag);

    // Encodes into buf and returns the length. Returns 0 and writes nothing
    // when the encoding would not fit in capacity bytes.
    uint16_t getMsg(void* buf, uint16_t capacity) const;

    // Decodes one datagram into a new message owned by the caller. Returns
    // null for any bytes that are not exactly one valid message. Never reads
    // outside [buf, buf+length).
    static VMsg* parseMsg(const void* buf, uint16_t length);

    // Appends copies of the segment's tags in their order and takes over its
    // msgId. Nothing kept points into the segment; the caller may delete it.
    void addSegment(const VMsg* segment);

    // Cursor over the tags: gotoFirst rewinds, getTag returns the next tag or
    // null at the end. Tags stay owned by the message.
    void gotoFirst() { cursor = 0; }
    VTag* getTag();

    size_t tagCount() const { return tags.size(); }

    // Read-only walk over the tags in their order, for a const message and
    // without moving the getTag cursor: for (const VTag* t : msg).
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = const VTag*;
        using difference_type = std::ptrdiff_t;
        using pointer = const VTag* const*;
        using reference = const VTag*;

        const_iterator() = default;
        const VTag* operator*() const { return *at; }
        const_iterator& operator++() {
            ++at;
            return *this;
        }
        const_iterator operator++(int) {  // NOLINT(cert-dcl21-cpp): a standard iterator returns a plain copy
            const_iterator before = *this;
            ++at;
            return before;
        }
        bool operator==(const const_iterator& other) const { return at == other.at; }
        bool operator!=(const const_iterator& other) const { return at != other.at; }

    private:
        friend class VMsg;
        explicit const_iterator(std::vector<VTag*>::const_iterator it) : at(it) {}
        std::vector<VTag*>::const_iterator at;
    };
    const_iterator begin() const { return const_iterator(tags.begin()); }
    const_iterator end() const { return const_iterator(tags.end()); }

    uint8_t msgId;
    uint8_t sequence;

private:
    // A decoded message keeps all its tags, and their texts, in one block
    // (decoding makes three allocations, not one per tag). Tags in the block
    // are destroyed in place; tags added with addTag are deleted.
    bool inArena(const VTag* t) const;

    std::vector<VTag*> tags;
    size_t cursor = 0;
    std::unique_ptr<std::byte[]> arena;
    size_t arenaSize = 0;
};

// One tag of a datagram, read where it lies: nothing is copied or allocated.
// text points into the datagram and lives as long as its bytes do.
struct VTagView {
    uint8_t tagId = 0;
    uint32_t type = VTAG_NONE;  // one of VTagType's codes
    uint32_t number = 0;        // the value of types 2, 3 and 4; type 6's float bits
    std::string_view text;      // the value of type 1
};

// A datagram's message read in place, for callers that read a reply once and
// would pay a VMsg and its tags for nothing: parse checks the bytes exactly as
// parseMsg does, and the tags are read from them as they are walked. The view
// points into the caller's buffer, which must outlive it and stay unchanged.
class VMSG_API VMsgView {
public:
    // True, the view then holding the message, when the bytes are exactly one
    // valid message: for the very bytes parseMsg decodes. False for every
    // byte string parseMsg refuses, the view then holding no tags. Never
    // reads outside [buf, buf+length).
    bool parse(const void* buf, uint16_t length);

    bool isLastSegment() const { return (sequence & VMsg::LAST_SEGMENT) != 0; }
    size_t tagCount() const { return count; }

    // Cursor over the tags: gotoFirst rewinds, getTag reads the next into tag
    // and returns false at the end.
    void gotoFirst();
    bool getTag(VTagView& tag);

    uint8_t msgId = 0;
    uint8_t sequence = 0;

private:
    const uint8_t* body = nullptr;  // the first tag's bytes
    const uint8_t* end = nullptr;
    const uint8_t* cursor = nullptr;
    uint16_t count = 0;
    uint16_t passed = 0;  // tags the cursor has read
};

#endif
