// libtagengine: runs any number of tag-protocol exchanges at once over one
// UDP socket, for pollers and exporters.
//
// The contract:
// - The engine never owns the event loop and never blocks (except in submit,
//   which may resolve a host name). The caller watches fds() for reading
//   (epoll, poll, anything), and calls process() with the descriptors that
//   are ready and the current time whenever one is ready or the deadline
//   process() returned has come. The engine reads no clock of its own: tests
//   may drive it with any time they like.
// - One exchange: send the request, take reply segments only from the
//   target's own address and port and only with the sequence number of one
//   of its attempts, merge them until the segment flagged last. Datagrams
//   from anyone else, with a stray sequence, undecodable, or longer than one
//   datagram (1024 bytes) are dropped quietly. A merged reply of more than
//   MAX_REPLY_TAGS tags ends the exchange as ReplyTooLong.
// - Sequence numbers (7 bits) are allocated per target address, never two
//   live at once for the same address; each attempt takes a fresh one.
// - Each attempt waits attemptTimeout, doubled per retry (capped at
//   maxAttemptTimeout, jittered to between half and all of it, never below
//   attemptTimeout). A complete one-segment reply to an earlier attempt still
//   counts. The overall deadline, when given, ends the exchange as TimedOut
//   whatever attempts remain.
// - A port the kernel reports closed (ICMP port unreachable) ends the
//   exchange as Refused at once, not after the time-out.
// - Requests that expect no reply (SET, DEL, REP) are sent once and end as
//   Sent; nothing that was not answered is ever sent twice unless it expects
//   a reply.
// - Pacing: at most maxInFlight exchanges between first send and end, at most
//   requestsPerSecond datagrams sent per second (retries included). The rest
//   wait in submission order.
// - Memory per exchange is bounded by its reply (MAX_REPLY_TAGS tags).
// - Results are handed to each exchange's callback from inside process()
//   (or cancelAll()), after the engine's own state is consistent: a callback
//   may submit or cancel other exchanges. The callback is never called from
//   submit().
#ifndef TAGENGINE_H
#define TAGENGINE_H

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vmsg.h"

#define TAGENGINE_API __attribute__((visibility("default")))

namespace tagengine {

using Clock = std::chrono::steady_clock;
using Duration = std::chrono::nanoseconds;

// The most tags a merged reply may hold, the client's own bound.
constexpr size_t MAX_REPLY_TAGS = 65535;
// Datagrams longer than this are not replies of this protocol.
constexpr size_t MAX_DATAGRAM = 1024;

// How an exchange ended.
enum class Status : uint8_t {
    Answered,      // a merged reply that is not an error message
    ErrorReply,    // a merged reply of message type ERR
    TimedOut,      // no complete reply within the attempts or the deadline
    Refused,       // the kernel reported the target's port closed
    Unresolvable,  // the host name has no IPv4 address (or is not a valid one)
    Sent,          // a request that expects no reply went out
    ReplyTooLong,  // the merged reply grew past MAX_REPLY_TAGS tags
    SendFailed,    // the local system refused to send (detail says why)
    Cancelled,     // cancelled by the caller before it ended
    Verified,      // a write: the device read back every value written
    Mismatch,      // a write: the device answered, but holds other values
};

// A short upper-case word for the status ("ANSWERED", "TIMEOUT", ...).
TAGENGINE_API const char* statusName(Status status);

// A tag of a write whose value the device did not read back as written.
struct Mismatch {
    std::unique_ptr<VTag> wrote;
    std::unique_ptr<VTag> read;  // null when the reply did not hold the tag
};

struct Result {
    uint64_t id = 0;        // what submit returned
    std::string target;     // as the caller gave it
    sockaddr_in address{};  // resolved address; zero when unresolvable
    Status status = Status::TimedOut;
    std::unique_ptr<VMsg> reply;  // Answered and ErrorReply: the merged reply
    int attempts = 0;             // datagrams sent for this exchange
    Duration roundTrip{0};        // last send to the final segment (Answered, ErrorReply, Refused)
    std::string detail;           // SendFailed, Unresolvable: the system's reason
    std::vector<Mismatch> mismatches;  // Mismatch: the tags still not as written
};

using Callback = std::function<void(Result&&)>;

// One exchange to run.
struct Exchange {
    std::string target;  // a label for the result, e.g. "host:port"
    std::string host;    // IPv4 literal or a host name
    uint16_t port = 60000;
    std::shared_ptr<const VMsg> request;  // its msgId decides whether a reply is awaited
    Duration attemptTimeout = std::chrono::seconds(2);
    int retries = 2;  // attempts = retries + 1 (requests that expect a reply)
    Clock::time_point deadline = Clock::time_point::max();  // overall; max() for none
    Callback done;
};

struct Options {
    size_t maxInFlight = 4096;
    double requestsPerSecond = 0;  // 0: no limit
    // Cap of the doubled attempt time-out; 0 means four times the exchange's.
    Duration maxAttemptTimeout{0};
    int receiveBuffer = 32 << 20;  // bytes asked of the kernel for bursts of replies
    uint64_t seed = 0;             // jitter; 0 seeds from the address of the engine
};

// Whether the device's value is the one written, by the kind the tag table
// gives the tag: integers as numbers (whatever width either side carries),
// floats by their 32 bits, texts byte for byte, value-less tags always.
TAGENGINE_API bool sameValue(const VTag& wrote, const VTag& read);

// Why a SET cannot be written and verified ("TAG_DEV_CFG is a group tag: it
// can be read, not written"), or "" when it can: every tag must be one of the
// table's tags with a value.
TAGENGINE_API std::string unwritableReason(const VMsg& set);

class TAGENGINE_API Engine {
public:
    // Opens the engine's socket. Throws std::system_error when it cannot.
    explicit Engine(const Options& options = {});
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Queues an exchange that starts when pacing allows, and returns its id.
    // The host is resolved here (blocking for a name); an unresolvable one
    // ends at the next process() call. A request message whose encoding does
    // not fit one datagram ends as SendFailed.
    uint64_t submit(Exchange exchange, Clock::time_point now);

    // Queues a verified write. exchange.request is a SET (unwritableReason
    // empty, else it ends as SendFailed with that reason). Each round sends
    // the SET of the tags not yet verified, then reads them back with a GET
    // (its own sequence number) waiting attemptTimeout, and compares each
    // value with sameValue. Rounds = retries + 1, within the deadline.
    // Ends as Verified when every tag read back as written; Mismatch when a
    // read-back answered with other values (or without a tag) and no round
    // put it right (mismatches names them, as last read); ErrorReply when the
    // read-back is an ERR message (reply holds it); TimedOut when no
    // read-back answered; Refused, Unresolvable, SendFailed as for any
    // exchange. attempts counts rounds; reply holds the last read-back.
    uint64_t submitWrite(Exchange exchange, Clock::time_point now);

    // Ends a queued or running exchange as Cancelled (its callback runs at
    // the next process()); false if the id is unknown or already ended.
    bool cancel(uint64_t id);

    // Descriptors to watch for reading (errors are reported as readable).
    std::span<const int> fds() const;

    // Reads what the ready descriptors hold (a bounded batch per call),
    // sends what pacing allows, expires attempts whose time has come, and
    // runs the callbacks of ended exchanges. Returns the time process() wants
    // to be called again if nothing becomes readable before: never later
    // than the earliest attempt deadline or pacing slot; Clock::time_point::max()
    // when nothing is pending.
    Clock::time_point process(std::span<const int> readyFds, Clock::time_point now);

    // Exchanges queued or running.
    size_t pending() const;

    // Counters since the engine started, for logs and metrics.
    struct Stats {
        uint64_t sent = 0;         // datagrams sent
        uint64_t received = 0;     // datagrams read
        uint64_t dropped = 0;      // read but not taken (stray sender, sequence, undecodable)
        uint64_t truncated = 0;    // longer than one datagram
        uint64_t sendRetried = 0;  // sends put off by a full socket buffer
    };
    Stats stats() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// Runs the engine until nothing is pending, with epoll; for simple callers
// (tagpoll) that have nothing else to watch. Returns false if epoll fails.
TAGENGINE_API bool runUntilDone(Engine& engine);

}  // namespace tagengine

#endif
