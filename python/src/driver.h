// An engine as Python drives it: exchanges submitted, their results kept
// until Python takes them, and either a blocking wait (the GIL released,
// signals checked) or the single steps an asyncio loop calls.
#ifndef TAGPROTO_DRIVER_H
#define TAGPROTO_DRIVER_H

#include <poll.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tagengine.h"

namespace tagproto {

// The options of one exchange, as Python gives them.
struct CallSettings {
    double timeout = 2.0;  // seconds, the wait of an attempt
    int retries = 2;
    double budget = 0;  // seconds from the first send; 0 for none
};

// Gives the exchange the call's wait, retries and budget.
void applySettings(tagengine::Exchange& exchange, const CallSettings& call);

// An exchange that ended, with the poll it belongs to (0 for none).
struct Ended {
    uint64_t poll = 0;
    tagengine::Result result;
};

class Driver {
public:
    explicit Driver(const tagengine::Options& options);

    // Queue an exchange and return its id. Throw std::invalid_argument for a
    // bad target or value before anything is queued. Nothing is sent until
    // the next step or wait. address, when not null, is the target's,
    // looked up already (resolveHost); else submit looks it up.
    uint64_t get(const std::string& target, const std::vector<uint8_t>& ids, const CallSettings& call,
                 const sockaddr_storage* address = nullptr);
    uint64_t set(const std::string& target, const std::vector<tagengine::TagValue>& values, bool verify,
                 const CallSettings& call, const sockaddr_storage* address = nullptr);
    // The same for an exchange parsed already (target, host, port, address).
    uint64_t get(tagengine::Exchange exchange, std::shared_ptr<const VMsg> request, const CallSettings& call);
    uint64_t set(tagengine::Exchange exchange, const std::vector<tagengine::TagValue>& values, bool verify,
                 const CallSettings& call);

    // A poll: the GET to every exchange given, all parsed (so checked)
    // already, whose results carry the number returned until closePoll.
    uint64_t poll(std::vector<tagengine::Exchange>& exchanges, const std::shared_ptr<const VMsg>& request,
                  const CallSettings& call);
    // More of the poll's exchanges (a host looked up since); false when the
    // poll is closed, and nothing is queued.
    bool addToPoll(uint64_t poll, tagengine::Exchange exchange, const std::shared_ptr<const VMsg>& request,
                   const CallSettings& call);
    // Cancels what of the poll is in flight and forgets it: its results,
    // kept or still to come, are dropped.
    void closePoll(uint64_t poll);

    // One step: read the ready descriptors, send and expire what is due, and
    // keep what ended. Returns when the engine wants the next step.
    tagengine::Clock::time_point step(const std::vector<int>& ready);

    // Waits, without the GIL, until something ended (or everything, when
    // all is true) or nothing is pending. A signal whose handler raises
    // (Ctrl-C) cancels everything and throws that exception.
    void wait(bool all);

    // The GET last kept when its tags were, name for name, these; else
    // null. A poll of thousands, or the same call again, builds it once.
    std::shared_ptr<const VMsg> keptGet(const std::vector<std::string_view>& names) const;
    void keepGet(const std::vector<std::string_view>& names, std::shared_ptr<const VMsg> request);

    // Exchanges queued since the last step, none of them sent yet.
    size_t queuedSinceStep() const { return queued; }

    std::deque<Ended>& ended() { return done; }
    tagengine::Engine& engine() { return core; }

private:
    uint64_t start(tagengine::Exchange exchange, bool write, const CallSettings& call, uint64_t poll = 0);
    // Cancel everything, run the callbacks and forget what they ended.
    void abandon();
    // The engine's sockets readable within milliseconds into ready: 0, or
    // the errno of a failed poll() (one a signal interrupts reads as none).
    int readable(std::vector<pollfd>& watched, std::vector<int>& ready, int milliseconds);

    tagengine::Engine core;
    std::deque<Ended> done;
    // The exchanges of each open poll, for closePoll; those ended are
    // unknown to the engine's cancel by then, which costs nothing.
    std::unordered_map<uint64_t, std::vector<uint64_t>> polls;
    uint64_t lastPoll = 0;
    tagengine::Clock::time_point due = tagengine::Clock::time_point::max();
    bool submitted = false;  // a request waits to go out: due at once, nothing to read yet
    size_t queued = 0;
    std::vector<std::string> keptNames;
    std::shared_ptr<const VMsg> kept;
};

}  // namespace tagproto

#endif
