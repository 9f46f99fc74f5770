// readTags and writeTags: one exchange on an engine of its own, run to its
// end with the epoll driver.
#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "tagengine.h"

namespace tagengine {

namespace {

constexpr uint16_t DEFAULT_PORT = 60000;

uint16_t portOf(std::string_view text, const std::string& target) {
    unsigned port = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535)
        throw std::invalid_argument("bad port in target " + target);
    return static_cast<uint16_t>(port);
}

// "host", "host:port", "[v6]", "[v6]:port" or a bare IPv6 address.
void splitTarget(const std::string& target, Exchange& exchange) {
    std::string_view t = target;
    exchange.port = DEFAULT_PORT;
    if (!t.empty() && t.front() == '[') {
        auto close = t.find(']');
        if (close == std::string_view::npos) throw std::invalid_argument("no ']' in target " + target);
        exchange.host = std::string(t.substr(1, close - 1));
        auto rest = t.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') throw std::invalid_argument("bad target " + target);
            exchange.port = portOf(rest.substr(1), target);
        }
        in6_addr unused{};
        if (inet_pton(AF_INET6, exchange.host.c_str(), &unused) != 1)
            throw std::invalid_argument("not an IPv6 address in target " + target);
    } else if (auto colon = t.find(':');
               colon != std::string_view::npos && t.find(':', colon + 1) == std::string_view::npos) {
        exchange.host = std::string(t.substr(0, colon));
        exchange.port = portOf(t.substr(colon + 1), target);
    } else {
        exchange.host = target;  // a name, an IPv4 address, or an IPv6 address without a port
        in6_addr unused{};
        if (t.find(':') != std::string_view::npos && inet_pton(AF_INET6, exchange.host.c_str(), &unused) != 1)
            throw std::invalid_argument("not an IPv6 address in target " + target);
    }
    if (exchange.host.empty()) throw std::invalid_argument("no host in target " + target);
    // The resolver reads a name up to its first NUL: "127.0.0.1\0x" would
    // reach 127.0.0.1 under another name's label.
    if (std::any_of(exchange.host.begin(), exchange.host.end(),
                    [](char c) { return uint8_t(c) < 0x20 || c == 0x7F; }))
        throw std::invalid_argument("control character in target");
    exchange.target = target;
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
    return run(std::move(exchange), false, options, out);
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
