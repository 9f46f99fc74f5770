#include "request_handler.h"

#include <algorithm>
#include <log4cpp/Category.hh>
#include <memory>
#include <string_view>

#include "tag_vocabulary.h"

namespace {

constexpr std::string_view GROUP_SUFFIX = "CFG";
constexpr std::string_view GROUP_NAME_END = "_CFG";
// A GET of one datagram may repeat a large group hundreds of times. Replies
// beyond this size are refused, so that the agent cannot be made to flood a
// (possibly forged) sender with hundreds of times the bytes it received.
constexpr size_t MAX_REPLY_BYTES = size_t{64} * DATAGRAM_SIZE;

// Members a group has beyond the names that share its prefix: the analogue
// input's raw values are named TAG_IO_* but belong to its configuration.
struct GroupExtra {
    std::string_view group, member;
};
constexpr GroupExtra GROUP_EXTRAS[] = {
    {"TAG_AI_CFG", "TAG_IO_SAMPLED_VALUE"},
    {"TAG_AI_CFG", "TAG_IO_OFFSET"},
    {"TAG_AI_CFG", "TAG_IO_GAIN"},
};

// Looked up once: getInstance locks and searches log4cpp's registry.
log4cpp::Category& logger() {
    static log4cpp::Category& category = log4cpp::Category::getInstance("tagagent");
    return category;
}

const char* nameOf(uint8_t id) {
    const TagEntry* entry = tagById(id);
    return entry ? entry->name : "(unnamed)";
}

bool isMember(std::string_view group, std::string_view candidate) {
    // "TAG_DEV_CFG" less "CFG" is the prefix "TAG_DEV_".
    return candidate.starts_with(group.substr(0, group.size() - GROUP_SUFFIX.size())) ||
           std::ranges::any_of(GROUP_EXTRAS, [&](const GroupExtra& extra) {
               return extra.group == group && extra.member == candidate;
           });
}

size_t replyBytes(const std::vector<const VTag*>& tags) {
    size_t total = 0;
    for (const VTag* tag : tags) total += tagWireSize(*tag);
    return total;
}

std::vector<Datagram> answerGet(VMsg& request, const TagStore& store) {
    std::vector<const VTag*> found;
    std::vector<uint8_t> missing;
    request.gotoFirst();
    while (const VTag* asked = request.getTag()) {
        std::vector<const VTag*> values;
        if (isGroup(asked->tagId))
            values = groupMembers(asked->tagId, store);
        else if (const VTag* value = store.find(asked->tagId))
            values.push_back(value);
        if (values.empty()) missing.push_back(asked->tagId);
        found.insert(found.end(), values.begin(), values.end());
    }
    uint8_t sequenceNumber = request.sequence & VMsg::SEQUENCE_NUMBER;
    if (missing.empty() && replyBytes(found) > MAX_REPLY_BYTES) {
        logger().warn("GET of %zu tags refused: the reply would exceed %zu bytes", request.tagCount(),
                      MAX_REPLY_BYTES);
        std::unique_ptr<VTag> refusal(
            VTagFactory::createVTag(tagByName("TAG_ERR_MSGID")->id, uint8_t(MSG_GET)));
        return encodeSegments(MSG_ERR, sequenceNumber, {refusal.get()});
    }
    if (missing.empty()) {
        logger().info("GET of %zu tags answered with %zu values", request.tagCount(), found.size());
        return encodeSegments(MSG_GET, sequenceNumber, found);
    }

    logger().info("GET of %zu tags answered with ERR: %zu not held", request.tagCount(), missing.size());
    const uint8_t errTagId = tagByName("TAG_ERR_TAGID")->id;
    std::vector<std::unique_ptr<VTag>> errors;
    std::vector<const VTag*> errorTags;
    for (uint8_t id : missing) {
        logger().debug("GET: %s (id %u) not held", nameOf(id), unsigned(id));
        errors.emplace_back(VTagFactory::createVTag(errTagId, id));
        errorTags.push_back(errors.back().get());
    }
    return encodeSegments(MSG_ERR, sequenceNumber, errorTags);
}

void storeValues(VMsg& request, TagStore& store, const ReadOnlyTags& readOnly) {
    logger().info("SET of %zu tags", request.tagCount());
    request.gotoFirst();
    while (const VTag* tag = request.getTag()) {
        std::string why;
        // Ignored as a real device would: quietly, the old value kept.
        if (readOnly.test(tag->tagId))
            logger().debug("SET: %s (id %u) is read-only: kept", nameOf(tag->tagId), unsigned(tag->tagId));
        else if (store.put(std::unique_ptr<VTag>(tag->clone()), &why))
            logger().debug("SET: %s (id %u) stored", nameOf(tag->tagId), unsigned(tag->tagId));
        else
            logger().warn("SET: %s (id %u, type %u) refused: %s", nameOf(tag->tagId), unsigned(tag->tagId),
                          unsigned(tag->type), why.c_str());
    }
}

void deleteValues(VMsg& request, TagStore& store) {
    logger().info("DEL of %zu tags", request.tagCount());
    request.gotoFirst();
    while (const VTag* tag = request.getTag())
        logger().debug("DEL: %s (id %u) %s", nameOf(tag->tagId), unsigned(tag->tagId),
                       store.erase(tag->tagId) ? "removed" : "was not held");
}

}  // namespace

bool isGroup(uint8_t id) {
    const TagEntry* entry = tagById(id);
    return entry && entry->kind == TagKind::None && std::string_view(entry->name).ends_with(GROUP_NAME_END);
}

std::vector<const VTag*> groupMembers(uint8_t groupId, const TagStore& store) {
    std::vector<const VTag*> members;
    if (!isGroup(groupId)) return members;
    std::string_view group = tagById(groupId)->name;
    for (const VTag* tag : store.all()) {
        const TagEntry* entry = tagById(tag->tagId);
        if (entry && isMember(group, entry->name)) members.push_back(tag);
    }
    return members;
}

std::vector<Datagram> encodeSegments(uint8_t msgId, uint8_t sequenceNumber,
                                     const std::vector<const VTag*>& tags) {
    std::vector<Datagram> segments;
    auto segment = std::make_unique<VMsg>(msgId);
    size_t used = messageHeaderSize();
    auto emit = [&](bool last) {
        segment->sequence = sequenceNumber & VMsg::SEQUENCE_NUMBER;
        segment->setLastSegment(last);
        Datagram bytes(DATAGRAM_SIZE);
        bytes.resize(segment->getMsg(bytes.data(), DATAGRAM_SIZE));
        segments.push_back(std::move(bytes));
        segment = std::make_unique<VMsg>(msgId);
        used = messageHeaderSize();
    };
    for (const VTag* tag : tags) {
        size_t size = tagWireSize(*tag);
        if (size == 0) {  // the store never holds such a tag
            logger().error("%s (id %u) does not fit in a datagram; left out", nameOf(tag->tagId),
                           unsigned(tag->tagId));
            continue;
        }
        if (used + size > DATAGRAM_SIZE) emit(false);
        segment->addTag(tag->clone());
        used += size;
    }
    emit(true);
    return segments;
}

HandleResult handleDatagram(std::span<const uint8_t> datagram, TagStore& store,
                            const ReadOnlyTags& readOnly) {
    HandleResult result;
    if (datagram.size() > DATAGRAM_SIZE) {
        logger().warn("dropped an oversized datagram of %zu bytes", datagram.size());
        return result;
    }
    std::unique_ptr<VMsg> request(VMsg::parseMsg(datagram.data(), uint16_t(datagram.size())));
    if (!request) {
        logger().warn("dropped an undecodable datagram of %zu bytes", datagram.size());
        return result;
    }
    result.request = true;
    switch (request->msgId) {
    case MSG_GET: result.replies = answerGet(*request, store); break;
    case MSG_SET: storeValues(*request, store, readOnly); break;
    case MSG_DEL: deleteValues(*request, store); break;
    case MSG_REP: logger().info("REP of %zu tags", request->tagCount()); break;
    default: logger().warn("message id %u is not served; dropped", unsigned(request->msgId)); break;
    }
    return result;
}
