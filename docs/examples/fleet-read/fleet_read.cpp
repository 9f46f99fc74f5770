// Reads one tag from every device of a list at once, with libtagengine's
// asynchronous engine: every exchange is submitted, then one loop runs them
// all (pacing, retries and replies of several segments are the engine's).
// Prints TARGET<TAB>STATUS<TAB>VALUE per device as each ends; exits 1 when
// any device did not answer.
// Usage: fleet_read TARGETS_FILE   (one HOST[:PORT] a line)
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "axodict.h"
#include "tagengine.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s TARGETS_FILE\n", argv[0]);
        return 2;
    }
    std::ifstream targets(argv[1]);
    if (!targets) {
        std::fprintf(stderr, "%s: cannot read it\n", argv[1]);
        return 2;
    }
    tagengine::Engine engine;
    const auto request = tagengine::getRequest({AXO::TAG_DEV_LABEL});
    size_t failed = 0;
    std::string line;
    try {
        while (std::getline(targets, line)) {
            if (line.empty()) continue;
            tagengine::Exchange exchange = tagengine::exchangeTo(line);
            exchange.request = request;
            exchange.attemptTimeout = std::chrono::milliseconds(500);
            exchange.done = [&failed](tagengine::Result&& r) {
                std::string value;
                if (r.status == tagengine::Status::Answered && r.reply && r.reply->tagCount() > 0)
                    value = tagengine::valueText(tagengine::valueOf(**r.reply->begin()));
                else
                    ++failed;
                std::printf("%s\t%s\t%s\n", r.target.c_str(), tagengine::statusName(r.status), value.c_str());
            };
            engine.submit(std::move(exchange), tagengine::Clock::now());
        }
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        return 2;
    }
    if (!tagengine::runUntilDone(engine)) {
        std::perror("epoll");
        return 2;
    }
    return failed == 0 ? 0 : 1;
}
