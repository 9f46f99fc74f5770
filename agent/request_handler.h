// One received datagram in, the datagrams to send back out: the whole of the
// protocol's serving side, without sockets.
#ifndef AGENT_REQUEST_HANDLER_H
#define AGENT_REQUEST_HANDLER_H

#include <bitset>
#include <cstdint>
#include <span>
#include <vector>

#include "store.h"

using Datagram = std::vector<uint8_t>;

// Tag ids whose SETs a device ignores, as a real device keeps a read-only
// or clamped value: what lets a writer's verification be tried.
using ReadOnlyTags = std::bitset<256>;

struct HandleResult {
    bool request = false;           // the bytes decoded as a message
    std::vector<Datagram> replies;  // in sending order, each <= DATAGRAM_SIZE
};

// Serves one datagram against the store. GET is answered with the values
// asked for (a _CFG group name standing for its members) or, when any is
// missing, with an ERR listing the missing ids; SET stores (but leaves the
// read-only tags as they are), DEL forgets, REP is only logged. A reply too
// long for one datagram is split into segments of whole tags; every segment
// carries the request's sequence number and only the last has the
// last-segment flag. Undecodable or oversized bytes and other message ids
// are logged and get no reply.
HandleResult handleDatagram(std::span<const uint8_t> datagram, TagStore& store,
                            const ReadOnlyTags& readOnly = {});

// The segments of a message of that id holding copies of the tags in order.
std::vector<Datagram> encodeSegments(uint8_t msgId, uint8_t sequenceNumber,
                                     const std::vector<const VTag*>& tags);

// Whether the id names a group (a name ending in _CFG that takes no value),
// and the group's stored members in id order: the tags whose names start
// with the group's name less "CFG", and a few listed extras.
bool isGroup(uint8_t id);
std::vector<const VTag*> groupMembers(uint8_t groupId, const TagStore& store);

#endif
