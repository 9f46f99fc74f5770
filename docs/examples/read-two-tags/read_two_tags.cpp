// Reads two tags from one device with libtagengine's one-call read and
// prints them as NAME=value lines.
// Usage: read_two_tags HOST[:PORT]
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "axodict.h"
#include "tagengine.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s HOST[:PORT]\n", argv[0]);
        return 2;
    }
    try {
        tagengine::Reply r =
            tagengine::readTags(argv[1], std::vector<std::string>{"TAG_DEV_ID", "TAG_DEV_LABEL"});
        if (r.result.status != tagengine::Status::Answered) {
            std::fprintf(stderr, "%s: %s\n", argv[1], tagengine::statusName(r.result.status));
            return 1;
        }
        for (const tagengine::TagValue& tag : r.values)
            std::printf("%s=%s\n", AXO::tagName(tag.id), tagengine::valueText(tag.value).c_str());
    } catch (const std::exception& e) {  // a bad target, or no socket to be had
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 2;
    }
    return 0;
}
