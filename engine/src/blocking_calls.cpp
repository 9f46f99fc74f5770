// readTags and writeTags: a read on the thread's Line, kept between calls;
// a write, or a call watching a stop descriptor, on an engine of its own,
// run to its end with the epoll driver.
#include <pthread.h>

#include <atomic>
#include <memory>
#include <stdexcept>

#include "tagaddress.h"
#include "tagengine.h"

namespace tagengine {

namespace {

constexpr uint16_t DEFAULT_PORT = 60000;

// Why a target is refused, in the words the one-call API has always used.
std::string refusal(const tagaddress::Parsed& p, const std::string& target) {
    switch (p.fault) {
    case tagaddress::Fault::NoCloseBracket: return "no ']' in target " + target;
    case tagaddress::Fault::BadPort: return "bad port in target " + target;
    case tagaddress::Fault::NotIpv6: return "not an IPv6 address in target " + target;
    case tagaddress::Fault::NoHost: return "no host in target " + target;
    // The resolver reads a name up to its first NUL: "127.0.0.1\0x" would
    // reach 127.0.0.1 under another name's label.
    case tagaddress::Fault::BadName: return "control character in target";
    default: return "bad target " + target;
    }
}

// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address.
void splitTarget(const std::string& target, Exchange& exchange) {
    tagaddress::Parsed p = tagaddress::parse(target, tagaddress::Rules{});
    if (p.fault != tagaddress::Fault::None) throw std::invalid_argument(refusal(p, target));
    exchange.host = std::move(p.host);
    exchange.port = p.port.value_or(DEFAULT_PORT);
    exchange.target = target;
}

// Counts the forks this process made a child by: a child's thread sees one
// more than its line was made at, and makes another (the copy of the
// parent's socket would read the parent's replies).
std::atomic<unsigned> forks{0};

void forked() { forks.fetch_add(1, std::memory_order_relaxed); }

// The options a Line uses, as readTags was given them last.
bool sameLineOptions(const Options& a, const Options& b) {
    return a.receiveBuffer == b.receiveBuffer && a.estimateWaits == b.estimateWaits &&
           a.maxAttemptTimeout == b.maxAttemptTimeout && a.maxReplyBytes == b.maxReplyBytes &&
           a.maxHeldBytes == b.maxHeldBytes && a.seed == b.seed;
}

// A thread's line, with what it was made for.
struct KeptLine {
    std::unique_ptr<Line> line;
    Options options;
    unsigned generation = 0;
};
thread_local KeptLine kept;

// This thread's line, made anew after a fork or for other options.
Line& threadLine(const Options& options) {
    static const int registered = pthread_atfork(nullptr, nullptr, forked);
    (void)registered;
    unsigned now = forks.load(std::memory_order_relaxed);
    if (!kept.line || kept.generation != now || !sameLineOptions(kept.options, options)) {
        kept.line = std::make_unique<Line>(options);
        kept.options = options;
        kept.generation = now;
    }
    return *kept.line;
}

Exchange exchangeFor(const std::string& target, const CallOptions& options, Result& out) {
    Exchange exchange = exchangeTo(target);
    exchange.attemptTimeout = options.attemptTimeout;
    exchange.retries = options.retries;
    exchange.budget = options.budget;
    exchange.deadline = options.deadline;
    exchange.done = [&out](Result&& r) { out = std::move(r); };
    return exchange;
}

// Runs the one exchange to its end. A driver that fails (epoll) leaves the
// exchange unended: it is cancelled, so the result is never made up.
// The reply's tags as values, and the write's differences.
Reply replyOf(Result& out) {
    Reply reply;
    if (out.reply) reply.values = valuesOf(*out.reply);
    for (const Mismatch& m : out.mismatches) {
        Difference d;
        d.id = m.wrote->tagId;
        d.wrote = valueOf(*m.wrote);
        d.held = m.read != nullptr;
        if (m.read) d.read = valueOf(*m.read);
        d.conflicting = m.conflicting;
        reply.differences.push_back(std::move(d));
    }
    reply.result = std::move(out);
    return reply;
}

Reply run(Exchange exchange, bool write, const CallOptions& options, Result& out) {
    Engine engine(options.engine);
    if (write)
        engine.submitWrite(std::move(exchange), Clock::now());
    else
        engine.submit(std::move(exchange), Clock::now());
    RunEnd end = options.stopFd >= 0 ? runUntilDone(engine, options.stopFd)
                                     : (runUntilDone(engine) ? RunEnd::Done : RunEnd::Failed);
    if (end == RunEnd::Failed) {
        engine.cancelAll();
        engine.process({}, Clock::now());
        out.status = Status::SendFailed;
        out.detail = "epoll failed";
    }
    return replyOf(out);
}

}  // namespace

Exchange exchangeTo(const std::string& target) {
    Exchange exchange;
    splitTarget(target, exchange);
    return exchange;
}

std::shared_ptr<const VMsg> getRequest(const std::vector<uint8_t>& tagIds) {
    auto get = std::make_shared<VMsg>(MSG_GET);
    get->setLastSegment(true);
    for (uint8_t id : tagIds) get->addTag(VTagFactory::createVTag(id));
    return get;
}

Reply readTags(const std::string& target, const std::vector<uint8_t>& tagIds, const CallOptions& options) {
    Result out;
    Exchange exchange = exchangeFor(target, options, out);
    exchange.request = getRequest(tagIds);
    // A stop descriptor is watched beside the socket: the engine's way.
    if (options.stopFd >= 0) return run(std::move(exchange), false, options, out);
    out = threadLine(options.engine).run(exchange);
    return replyOf(out);
}

Reply readTags(const std::string& target, const std::vector<std::string>& tags, const CallOptions& options) {
    std::vector<uint8_t> ids;
    ids.reserve(tags.size());
    for (const std::string& t : tags) ids.push_back(tagIdOf(t));
    return readTags(target, ids, options);
}

Reply writeTags(const std::string& target, const std::vector<TagValue>& values, const CallOptions& options) {
    auto set = std::make_shared<VMsg>(MSG_SET);
    set->setLastSegment(true);
    for (const TagValue& v : values) set->addTag(makeTag(v.id, v.value).release());
    if (std::string why = unwritableReason(*set); !why.empty()) throw std::invalid_argument(why);
    Result out;
    Exchange exchange = exchangeFor(target, options, out);
    exchange.request = std::move(set);
    return run(std::move(exchange), true, options, out);
}

}  // namespace tagengine
