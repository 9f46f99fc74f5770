// The agent's tag values: at most one tag per id, each in the type code the
// dictionary gives its id, each small enough to travel in one datagram.
#ifndef AGENT_STORE_H
#define AGENT_STORE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// DATAGRAM_SIZE, the largest datagram of a request or a reply segment, and
// the message ids: shared with the client.
#include "dictionary.h"
#include "msg_request.h"
#include "vmsg.h"

// Bytes a message without tags takes on the wire.
size_t messageHeaderSize();
// Bytes the tag adds to a message on the wire, or 0 when a message holding
// it alone would not fit in one datagram.
size_t tagWireSize(const VTag& tag);

class TagStore {
public:
    TagStore() = default;
    // A store that starts with the base's values and shares them: an id this
    // store never put or erased reads through to the base, so thousands of
    // devices that differ in a few tags hold one copy of the rest. Nothing
    // is ever written through to the base; its owner may still change it.
    explicit TagStore(std::shared_ptr<const TagStore> base) : base(std::move(base)) {}

    // Stores the tag under its id, replacing the value held before; a float
    // that came as type 2 is kept as type 6. Refuses
    // (and drops) a tag without a value, one whose type code is not the
    // dictionary's for its id, and one too long for any reply; then false,
    // with the reason in *why when given.
    bool put(std::unique_ptr<VTag> tag, std::string* why = nullptr);
    // Forgets the id's value; false when none was held.
    bool erase(uint8_t id);
    // The value held for the id, or null.
    const VTag* find(uint8_t id) const;
    // Every value held, in id order.
    std::vector<const VTag*> all() const;
    size_t size() const { return all().size(); }

private:
    std::shared_ptr<const TagStore> base;
    // A null value hides the base's value for its id: erased here.
    std::map<uint8_t, std::unique_ptr<VTag>> tags;
};

#endif
