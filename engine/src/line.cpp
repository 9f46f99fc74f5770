// Line: one exchange at a time over a connected, blocking socket, by the
// engine's rules for one exchange (see tagengine.h).
#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <random>

#include "backoff.h"
#include "connected_socket.h"
#include "msg_request.h"
#include "peer_key.h"
#include "reply_assembler.h"
#include "resolve.h"
#include "rtt_estimator.h"
#include "tagengine.h"

namespace tagengine {

namespace {

// How soon to send again when the kernel had no room for a datagram.
constexpr auto SEND_PAUSE = std::chrono::milliseconds(1);

}  // namespace

struct __attribute__((visibility("hidden"))) Line::State {
    // The room of a reply handed as its datagram leaves with the caller's
    // result: none comes back to keep.
    explicit State(const Options& o)
        : options(o),
          random(o.seed != 0 ? o.seed : std::random_device{}()),
          memory(o.maxReplyBytes, o.maxHeldBytes, 0) {}

    // One exchange's running state.
    struct Run {
        Run(const Exchange& e, const std::function<bool()>& i, ReplyAssembler& kept, ReplyMemory& memory)
            : exchange(e), interrupted(i), deadline(e.deadline), attempts(kept) {
            attempts.clear(memory);
        }
        const Exchange& exchange;
        const std::function<bool()>& interrupted;
        Result result;
        PeerKey key;
        size_t length = 0;           // of the encoded request
        Clock::time_point deadline;  // the exchange's, or its budget's once sent
        ReplyAssembler& attempts;    // the line's, its room kept between exchanges
        double jitter = 0;
    };

    bool prepare(Run& run);
    bool sendAttempt(Run& run);
    Clock::time_point attemptEnd(const Run& run, Clock::time_point from) const;
    // Waits for the reply from now until `until`; false when the attempt's
    // wait is over without the exchange ending.
    bool waitReply(Run& run, Clock::time_point now, Clock::time_point until);
    void take(Run& run, size_t bytes, Clock::time_point now);
    bool refused(Run& run);
    void end(Run& run, Status status) {
        run.result.status = status;
        ended = true;
    }

    Options options;
    ConnectedSocket socket;
    RttEstimator rtt;
    std::mt19937_64 random;
    ReplyMemory memory;
    ReplyAssembler attempts;
    uint64_t runs = 0;
    uint8_t nextSequence = 0;
    bool ended = false;
    std::array<uint8_t, MAX_DATAGRAM> request;
    std::array<uint8_t, MAX_DATAGRAM + 1> buffer;  // one byte more: a longer datagram shows truncated
};

Line::Line(const Options& options) : state(std::make_unique<State>(options)) {}
Line::~Line() = default;

Result Line::run(const Exchange& exchange, const std::function<bool()>& interrupted) {
    State& s = *state;
    State::Run call(exchange, interrupted, s.attempts, s.memory);
    call.result.id = ++s.runs;
    call.result.target = exchange.target;
    s.ended = false;
    if (!s.prepare(call)) return std::move(call.result);
    bool expectsReply = exchange.request->msgId == MSG_GET;
    int retries = std::max(exchange.retries, 0);
    for (int attempt = 0; !s.ended; ++attempt) {
        if (!s.sendAttempt(call)) break;
        if (!expectsReply) {
            s.end(call, Status::Sent);
            break;
        }
        call.jitter = std::uniform_real_distribution<double>(0, 1)(s.random);
        Clock::time_point sentAt = call.attempts.back().sentAt;
        if (s.waitReply(call, sentAt, s.attemptEnd(call, sentAt))) break;
        Clock::time_point now = Clock::now();
        const Attempt& lost = call.attempts.back();
        if (exchange.observe)
            exchange.observe(Event{Event::Kind::AttemptTimedOut, lost.number, lost.sequence, 0, false, now});
        if (attempt >= retries || now >= call.deadline) s.end(call, Status::TimedOut);
    }
    return std::move(call.result);
}

bool Line::State::prepare(Run& run) {
    const Exchange& e = run.exchange;
    Result& r = run.result;
    std::string why;
    bool given = e.address.ss_family == AF_INET || e.address.ss_family == AF_INET6;
    if (given)
        r.address = e.address;
    else if (!resolveAddress(e.host, e.port, r.address, why)) {
        r.detail = why;
        end(run, Status::Unresolvable);
        return false;
    }
    run.length = e.request ? e.request->getMsg(request.data(), uint16_t(request.size())) : 0;
    if (run.length == 0) {
        r.detail = e.request ? "request does not fit one datagram" : "no request";
        end(run, Status::SendFailed);
        return false;
    }
    if (!socket.connectTo(r.address, options.receiveBuffer, why)) {
        r.detail = why;
        end(run, Status::SendFailed);
        return false;
    }
    run.key = peerKey(r.address);
    return true;
}

bool Line::State::sendAttempt(Run& run) {
    if (run.attempts.size() >= ATTEMPTS_KEPT) run.attempts.dropOldest(memory);
    // A sequence the line has not used for the last 127 attempts: no reply
    // to an earlier exchange of the line is taken for this one's.
    uint8_t sequence = nextSequence;
    nextSequence = uint8_t((nextSequence + 1) & VMsg::SEQUENCE_NUMBER);
    request[SEQUENCE_BYTE] = uint8_t(VMsg::LAST_SEGMENT | sequence);
    std::span<const uint8_t> bytes(request.data(), run.length);
    for (;;) {
        int error = socket.send(bytes);
        if (error == 0) break;
        // A report of an earlier datagram comes back on a send: this one's
        // may be among them.
        if (error == ECONNREFUSED && refused(run)) return false;
        if (error == EINTR || error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH) {
            if (error == EINTR && run.interrupted && run.interrupted()) {
                end(run, Status::Cancelled);
                return false;
            }
            continue;
        }
        if ((error == EAGAIN || error == ENOBUFS) && Clock::now() + SEND_PAUSE < run.deadline) {
            timespec pause{0, long(std::chrono::nanoseconds(SEND_PAUSE).count())};
            nanosleep(&pause, nullptr);
            continue;
        }
        run.result.detail = strerror(error);
        end(run, error == EAGAIN || error == ENOBUFS ? Status::TimedOut : Status::SendFailed);
        return false;
    }
    Clock::time_point now = Clock::now();
    Result& r = run.result;
    if (r.attempts == 0 && run.exchange.budget.count() > 0 && run.deadline - now > run.exchange.budget)
        run.deadline = now + run.exchange.budget;
    ++r.attempts;
    run.attempts.add(sequence, now, r.attempts);
    if (run.exchange.observe)
        run.exchange.observe(Event{Event::Kind::Sent, r.attempts, sequence, run.length, false, now});
    return true;
}

Clock::time_point Line::State::attemptEnd(const Run& run, Clock::time_point from) const {
    // The engine's reckoning, for one exchange.
    Duration timeout = run.exchange.attemptTimeout;
    int attempt = run.result.attempts - 1;
    return tagengine::attemptEnd(
        {timeout, rtt.timeout(run.key, timeout), options.maxAttemptTimeout, options.estimateWaits, attempt,
         attempt >= std::max(run.exchange.retries, 0), run.jitter, run.deadline},
        from);
}

bool Line::State::waitReply(Run& run, Clock::time_point now, Clock::time_point until) {
    for (bool first = true; !ended; first = false) {
        if (!first) now = Clock::now();
        if (now >= until) return false;
        size_t bytes = 0;
        sockaddr_storage from{};
        switch (socket.receive(until - now, buffer, bytes, from)) {
        case ConnectedSocket::Got::Datagram:
            // The kernel delivers only the connected peer's datagrams; one
            // queued before the socket was connected anew may be another's.
            if (peerKey(from) == run.key) take(run, bytes, Clock::now());
            break;
        case ConnectedSocket::Got::TimeUp:
        case ConnectedSocket::Got::Interrupted:
            // A look at the caller's signals, whether or not one came to
            // this thread (a time-up under the wait is the longest look).
            if (run.interrupted && run.interrupted()) end(run, Status::Cancelled);
            break;
        case ConnectedSocket::Got::IcmpReport: refused(run); break;
        case ConnectedSocket::Got::Failed:
            run.result.detail = strerror(errno);
            end(run, Status::SendFailed);
            break;
        }
    }
    return true;
}

bool Line::State::refused(Run& run) {
    bool ours = false;
    socket.refusals([&](std::span<const uint8_t> start) {
        // Without the refused datagram, the port is closed all the same.
        if (start.size() <= SEQUENCE_BYTE) {
            ours = true;
            return;
        }
        uint8_t sequence = start[SEQUENCE_BYTE] & VMsg::SEQUENCE_NUMBER;
        ours = ours || run.attempts.find(sequence);
    });
    if (!ours) return false;
    if (!run.attempts.empty()) run.result.roundTrip = Clock::now() - run.attempts.back().sentAt;
    end(run, Status::Refused);
    return true;
}

void Line::State::take(Run& run, size_t bytes, Clock::time_point now) {
    if (bytes > MAX_DATAGRAM) return;
    VMsgView segment;
    if (!segment.parse(buffer.data(), uint16_t(bytes))) return;
    std::span<const uint8_t> datagram(buffer.data(), bytes);
    std::span<const uint8_t> sent(request.data(), run.length);
    Offer offer = run.attempts.offer(datagram, segment, sent, run.exchange, memory, run.result, now);
    if (offer.kind != Offer::Kind::Ended) return;
    // One reply read alone: the target's sample and the fleet's.
    if (offer.answered) rtt.sample(run.key, run.result.roundTrip);
    end(run, offer.status);
}

}  // namespace tagengine
