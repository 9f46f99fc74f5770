// libtagengine: runs any number of tag-protocol exchanges at once over one
// UDP socket per address family, for pollers and exporters.
//
// The contract:
// - The engine never owns the event loop and never blocks (except in submit,
//   which may resolve a host name). The caller watches fds() for reading
//   (epoll, poll, anything), and calls process() with the descriptors that
//   are ready and the current time whenever one is ready or the deadline
//   process() returned has come. The engine reads no clock of its own: tests
//   may drive it with any time they like.
// - Targets are IPv4 or IPv6. The IPv4 socket opens with the engine; the
//   IPv6 one only when the first IPv6 target is submitted, and fds() then
//   holds it too: a caller reads fds() again after submit() (and after
//   process(), whose callbacks may submit). A name that has both families
//   is reached on its first IPv4 address.
// - One exchange: send the request, take reply segments only from the
//   target's own address and port and only with the sequence number of one
//   of its attempts. A reply is taken whole or not at all: each attempt's
//   segments are merged apart, never mixed with another attempt's, and the
//   first attempt whose segment flagged last arrives gives the reply. What
//   is still incomplete when the exchange ends is never an answer (TimedOut,
//   with Result::segments saying what had come). Datagrams from anyone else,
//   with a stray sequence, undecodable, longer than one datagram (1024
//   bytes), or identical to the attempt's own request (a reflector, or the
//   request looped back) are dropped quietly. More than MAX_REPLY_TAGS tags,
//   or more than Options::maxReplyBytes datagram bytes, over all of an
//   exchange's attempts, end it as ReplyTooLong; so does a segment that would
//   take every partial reply together past Options::maxHeldBytes.
// - Sequence numbers (7 bits) are allocated per target address, never two
//   live at once for the same address; each attempt takes a fresh one, but
//   a retry finding all 128 held gives up its own oldest attempt's.
// - Each attempt waits by the round trips the path has shown (RFC 6298's
//   estimator): from every whole reply, the engine keeps a smoothed round
//   trip and its variation for the target's address and for all targets
//   together. A first attempt waits the smoothed round trip plus four
//   variations, that margin never under 1 ms nor under a quarter of the
//   round trip; by the target's own figures once it has answered, else by
//   the fleet's, and attemptTimeout while nothing at all has answered.
//   attemptTimeout is also the ceiling of that wait. Further attempts
//   double it (capped at maxAttemptTimeout, jittered to between half and
//   all of it, never below the first attempt's). The last attempt waits
//   attemptTimeout at least, whatever the estimate, so a device busy for
//   longer than a few round trips is still answered, and a target that
//   never answers ends within the sum of its waits: at most (1 + retries)
//   times attemptTimeout when maxAttemptTimeout is attemptTimeout. The
//   wait of an attempt sent before its target answered is cut when the
//   fleet's estimate falls by a quarter or more (the first replies of a
//   large run) to that estimate counted from the reply that lowered it.
//   A wait the estimate made shorter than attemptTimeout, come due, is not
//   yet the attempt's loss: not while a read of that process() call stopped
//   at its batch (replies may wait unread in the socket: they are read
//   first), nor while the estimate held now, counted from the latest reply
//   to an attempt sent in the same process() call as it (a burst, answered
//   over time behind a busy device or a poller slow to read), says to wait
//   on. Neither holds an attempt past attemptTimeout from its send, nor
//   past the deadline. Every answered attempt gives its target a sample,
//   sent again or not: each attempt has a sequence of its own, so a reply
//   names the datagram it answers. The fleet takes one sample per read, the
//   mean round trip of the replies read together: they share the reader's
//   lateness. Figures are kept for the last 65536 targets heard
//   from (by hash); one forgotten waits by the fleet's. A whole reply to
//   any of the exchange's last 32 attempts counts, late or not. roundTrip
//   runs from the send of the attempt answered to its last segment. The
//   overall deadline, when given, ends the exchange as TimedOut whatever
//   attempts remain; so does the budget, counted from the first send.
// - A port the kernel reports closed (ICMP or ICMPv6 port unreachable) ends
//   the exchange as Refused at once, not after the time-out.
// - Requests that expect no reply (SET, DEL, REP) are sent once and end as
//   Sent; nothing that was not answered is ever sent twice unless it expects
//   a reply.
// - Pacing: at most maxInFlight exchanges between first send and end, at most
//   requestsPerSecond datagrams sent per second (retries included). The rest
//   wait in submission order, but for a verified write under way: its
//   read-back and later rounds go before every exchange not yet begun.
// - Memory per exchange is bounded by its replies (MAX_REPLY_TAGS tags and
//   maxReplyBytes), and all exchanges' together by maxHeldBytes; memory a
//   large reply held is handed back to the system once freed.
// - Verified writes (submitWrite) run as rounds of exchanges of their own
//   (a SET, then a GET with a fresh sequence), each by these same rules; a
//   round's read-back is its one attempt, waiting as a first attempt does
//   (the last round's until the write is given up): what a lost round
//   costs is another round, bounded by retries and the budget.
//   A write's verdict is its last round's: the read-back after the last SET
//   that went out. Should that read-back be lost, nobody knows what the
//   device holds, whatever an earlier round read: the write ends TimedOut
//   (with setSent), never Mismatch nor Verified.
// - A reply may name a tag more than once (ids may repeat in a message).
//   Its copies all the same value: the device holds that value. Copies that
//   differ say nothing certain: the tag holds no value anyone wrote, so a
//   plan sees it to change and a write's read-back a mismatch, written again
//   in the next round (heldValue, holdsValue). A device applying a SET in
//   order would keep the last copy, but a reply is what it says it holds,
//   and two different answers in one confirm neither.
// - A value counts as read back only as the kind the tag table gives its
//   tag: an integer tag's as any of the integer type codes (2, 3, 4), a float
//   tag's as type 6 or (dictionary-typed) 2, a text's as type 1. A float
//   sent for an integer tag, or an integer for a text, is never the value
//   written (sameValue).
// - Results are handed to each exchange's callback from inside process()
//   (or cancelAll()), after the engine's own state is consistent: a callback
//   may submit or cancel other exchanges. The callback is never called from
//   submit().
#ifndef TAGENGINE_H
#define TAGENGINE_H

#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
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
    Unresolvable,  // the host name has no IPv4 or IPv6 address (or is not a valid one)
    Sent,          // a request that expects no reply went out
    ReplyTooLong,  // the reply grew past MAX_REPLY_TAGS tags or maxReplyBytes (detail says which)
    SendFailed,    // the local system refused to send (detail says why)
    Cancelled,     // cancelled by the caller before it ended
    Verified,      // a write: the device read back every value written
    Mismatch,      // a write: the device answered, but holds other values
};

// The one word a status is reported by, in every format and log
// ("answered", "error_reply", "timed_out", "verified", ...).
TAGENGINE_API const char* statusName(Status status);

// A tag of a write whose value the device did not read back as written.
struct Mismatch {
    std::unique_ptr<VTag> wrote;
    std::unique_ptr<VTag> read;  // null when the reply did not hold the tag; its last copy
    bool conflicting = false;    // the reply held the tag more than once, with differing values
};

struct Result {
    uint64_t id = 0;             // what submit returned
    std::string target;          // as the caller gave it
    sockaddr_storage address{};  // resolved address, AF_INET or AF_INET6; zero when unresolvable
    Status status = Status::TimedOut;
    std::unique_ptr<VMsg> reply;  // Answered and ErrorReply: the merged reply
    // Answered and ErrorReply of an exchange asking for it (replyAsDatagram)
    // whose reply came whole in one datagram: that datagram as it came, its
    // sequence byte the wire's, reply then left null. Read it in place with
    // VMsgView. Empty otherwise.
    std::vector<uint8_t> replyDatagram;
    int attempts = 0;                  // datagrams sent for this exchange
    Duration roundTrip{0};             // last send to the final segment (Answered, ErrorReply, Refused)
    std::string detail;                // SendFailed, Unresolvable: the system's reason
    std::vector<Mismatch> mismatches;  // Mismatch: the tags still not as written
    // A write: some round's SET went out, so the device may hold its values
    // whatever the status (TimedOut, Cancelled: written, not confirmed).
    bool setSent = false;
    // What arrived for the exchange, every attempt together: segments, their
    // tags and datagram bytes (a reply cut short, or one that never ended,
    // shows here what it had carried).
    size_t segments = 0;
    size_t tags = 0;
    size_t bytes = 0;
};

using Callback = std::function<void(Result&&)>;

// A step of an exchange, for callers that show how one went (a debug view):
// an attempt sent, a reply segment taken, an attempt's wait over.
struct Event {
    enum class Kind : uint8_t { Sent, Segment, AttemptTimedOut } kind = Kind::Sent;
    int attempt = 0;       // 1 for the first attempt; for a segment, the attempt it answers
    uint8_t sequence = 0;  // the attempt's sequence number
    size_t bytes = 0;      // datagram bytes (Sent, Segment)
    bool last = false;     // Segment: it carries the last-segment flag
    Clock::time_point at;  // the now the engine was given
};
// Called from inside process(), before the exchange ends; it must not call
// the engine.
using Observer = std::function<void(const Event&)>;

// One exchange to run.
struct Exchange {
    std::string target;  // a label for the result, e.g. "host:port", "[::1]:port"
    std::string host;    // IPv4 or IPv6 literal (no brackets) or a host name
    uint16_t port = 60000;
    // The host's address, port set, when the caller resolved it already (by
    // resolveHost): AF_INET or AF_INET6, and the host is not looked up again.
    // Left zero, the host is resolved at submit.
    sockaddr_storage address{};
    std::shared_ptr<const VMsg> request;  // its msgId decides whether a reply is awaited
    // The wait of an attempt while no target has answered yet, and the
    // ceiling of the estimated wait (see the contract above).
    Duration attemptTimeout = std::chrono::seconds(2);
    int retries = 2;  // attempts = retries + 1 (requests that expect a reply)
    Clock::time_point deadline = Clock::time_point::max();  // overall; max() for none
    // The longest the exchange runs from its first send (a write: from its
    // first SET), ending as TimedOut whatever attempts remain; 0 for no
    // limit. Unlike the deadline, time spent queued behind pacing is free.
    Duration budget{0};
    Callback done;
    Observer observe;  // optional: told of each step
    // A reply that comes whole in one datagram, the common one, is handed as
    // its bytes (Result::replyDatagram) rather than decoded into a VMsg: for
    // a caller that reads it once, in place, and would pay a message and a
    // tag object per tag for nothing. A reply of several segments is still
    // merged into Result::reply. Not for submitWrite, whose rounds decode.
    bool replyAsDatagram = false;
};

struct Options {
    size_t maxInFlight = 4096;
    double requestsPerSecond = 0;  // 0: no limit
    // Cap of the doubled wait of further attempts; 0 means four times the
    // exchange's attemptTimeout.
    Duration maxAttemptTimeout{0};
    // Whether attempts wait by the round trips shown (see the contract
    // above). false: every first attempt waits attemptTimeout and further
    // ones double from it, and the last waits no longer than its turn: for a
    // caller that spreads a few retries over a fixed budget, as a scrape's
    // probe does, so that a device shedding a burst is asked again later,
    // not three times within milliseconds.
    bool estimateWaits = true;
    int receiveBuffer = 32 << 20;  // bytes asked of the kernel for bursts of replies
    uint64_t seed = 0;             // jitter; 0 seeds from the address of the engine
    // The most bytes the segments of one exchange's replies may carry
    // together, so a device streaming never-last segments of long texts
    // cannot grow one exchange without end (MAX_REPLY_TAGS bounds short ones).
    size_t maxReplyBytes = 1 << 20;
    // The most memory every partial reply together may hold (wire bytes plus
    // HELD_BYTES_PER_TAG per tag, the engine's reckoning), so that many such
    // devices at once cannot either; an exchange that would pass it ends as
    // ReplyTooLong.
    size_t maxHeldBytes = 64 << 20;
};

// Whether the device's value is the one written, by the kind the tag table
// gives the tag: integers as numbers (whatever integer width either side
// carries), floats by their 32 bits, texts byte for byte, value-less tags
// always. A value whose type code is not of the tag's kind (see above) is
// never the same.
TAGENGINE_API bool sameValue(const VTag& wrote, const VTag& read);

// What a reply says the device holds for a tag: its last copy (null when
// the reply lacks it), and whether the reply held copies that differ, by
// sameValue. See the contract above.
struct Held {
    const VTag* value = nullptr;
    bool conflicting = false;
};
TAGENGINE_API Held heldValue(const VMsg& reply, uint8_t tagId);

// Whether the reply holds the wanted value: held, its copies agreeing, and
// the same value by sameValue. The one rule of plan's compare and of a
// write's read-back.
TAGENGINE_API bool holdsValue(const VMsg& reply, const VTag& wanted);

// Why a SET cannot be written and verified ("TAG_DEV_CFG is a group tag: it
// can be read, not written"), or "" when it can: every tag must be one of the
// table's tags with a value.
TAGENGINE_API std::string unwritableReason(const VMsg& set);

// An address as results and logs show it: "192.0.2.1:60000",
// "[2001:db8::1]:60000" (an IPv4-mapped IPv6 address as its IPv4 address);
// "" when it is of neither family.
TAGENGINE_API std::string endpointText(const sockaddr_storage& address);

// The address of a name's lookup answers that every program of the family
// reaches: the first IPv4 one, else the first IPv6 one (so a name with both
// is reached as before IPv6 was spoken), an IPv4-mapped address as the IPv4
// address it stands for, with the port set. False when there is neither.
TAGENGINE_API bool chooseAddress(const addrinfo* answers, uint16_t port, sockaddr_storage& to);

// The host's address with the port set, as submit finds it: a strict IPv4
// or IPv6 literal (inet_pton) at once; else the system's numeric forms
// ("127.1", "0x7f.0.0.1", "2130706433"), then a name lookup, by
// chooseAddress. False with the reason in why when there is none. Only a
// name costs a lookup.
TAGENGINE_API bool resolveHost(const std::string& host, uint16_t port, sockaddr_storage& to,
                               std::string& why);

class TAGENGINE_API Engine {
public:
    // Opens the engine's IPv4 socket. Throws std::system_error when it
    // cannot. (The IPv6 socket failing to open, later, ends the exchange
    // that needed it as SendFailed.)
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
    // (its own sequence number) waiting as one attempt does, and compares each
    // value with holdsValue. Rounds = retries + 1, within the deadline.
    // The last round decides: Verified when every tag read back as written;
    // Mismatch when its read-back answered with other values (or without a
    // tag, or with differing copies) (mismatches names them, as that
    // read-back held them); ErrorReply when that read-back is an ERR message
    // (reply holds it); TimedOut when it did not answer (one answered by any
    // other message but a GET, such as a SET echoed back, is no answer),
    // whatever earlier rounds read: setSent then says the device may hold the
    // values. A later round whose SET never went out (the deadline came
    // first) leaves the round before it last. Refused, Unresolvable,
    // SendFailed as for any exchange. attempts counts rounds; reply holds the
    // last round's read-back (none when it was lost).
    uint64_t submitWrite(Exchange exchange, Clock::time_point now);

    // Ends a queued or running exchange as Cancelled (its callback runs at
    // the next process()); false if the id is unknown or already ended.
    bool cancel(uint64_t id);

    // Ends every queued or running exchange and write as Cancelled (their
    // callbacks run at the next process()), as when the caller is told to stop.
    // A cancelled write whose SET went out says so (setSent).
    void cancelAll();

    // Sends nothing more, ever: what is queued or due for a retry, a write's
    // next round among them, waits until cancelled, while replies to what
    // went out are still taken. The first step of stopping.
    void holdSending();

    // Descriptors to watch for reading (errors are reported as readable): the
    // IPv4 socket first, then the IPv6 one once an IPv6 target was submitted.
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
        uint64_t reflected = 0;    // a request of ours come back as it was sent (also in dropped)
    };
    Stats stats() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// Runs the engine until nothing is pending, with epoll; for simple callers
// (tagpoll) that have nothing else to watch. Returns false if epoll fails.
TAGENGINE_API bool runUntilDone(Engine& engine);

// The same, but a stopFd turning readable (a signalfd, say: it is not read)
// stops at once: nothing more is sent (holdSending), the replies already
// arrived are still taken, everything still pending is cancelled, and it
// returns Stopped once the cancelled exchanges' callbacks have run, so a
// caller can report them.
enum class RunEnd { Done, Stopped, Failed };
TAGENGINE_API RunEnd runUntilDone(Engine& engine, int stopFd);
// The same, and idle runs whenever the loop is about to wait with nothing
// ready to read and nothing due: the moment for a caller to flush what its
// callbacks wrote, so that output written in batches still shows as it comes.
TAGENGINE_API RunEnd runUntilDone(Engine& engine, int stopFd, const std::function<void()>& idle);

// One exchange at a time with one target, blocking, for callers that ask a
// device after device in turn (readTags, a scripting language's get):
//
// - A Line keeps a socket connected to the last target it ran an exchange
//   with, and keeps it while the target stays the same: a steady exchange
//   costs a send and a receive, the wait done in the receive itself. Another
//   target (or family) connects it anew; nothing else is kept per target but
//   the round trips learnt, as the engine keeps them.
// - run() runs the exchange to its end by the rules of the engine above
//   (the same attempts, adaptive waits, deadline and budget, sequences fresh
//   for each attempt, late replies to any of the last 32 attempts, multi-
//   segment replies merged apart per attempt, the same bounds and statuses,
//   a reply whole in one datagram handed as its bytes when replyAsDatagram)
//   with the Options given at construction (receiveBuffer, estimateWaits,
//   maxAttemptTimeout, maxReplyBytes, maxHeldBytes, seed; pacing has nothing
//   to pace). A datagram from anyone but the target, or answering an earlier
//   exchange of the line, is never taken. Requests that expect no reply go
//   out once and end as Sent. Verified writes are the engine's (submitWrite).
//   The exchange's done callback is not called: run() returns the Result.
// - A host name is looked up at each run() (blocking), an address given in
//   Exchange::address is used as it is.
// - interrupted, when given, is called when a signal interrupts the wait and
//   at least every 32 ms of a longer one; returning true ends the exchange
//   as Cancelled at once. It must not call the line.
// - A Line is for one thread at a time. After fork() a child must not use the
//   parent's line (its socket would read the parent's replies): make another.
class TAGENGINE_API Line {
public:
    // Opens no socket yet: run() does, and throws std::system_error when it
    // cannot (as the engine's constructor).
    explicit Line(const Options& options = {});
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    Result run(const Exchange& exchange, const std::function<bool()>& interrupted = {});

private:
    struct State;
    std::unique_ptr<State> state;
};

// One-call exchanges and typed values, for callers that want a tag or two
// from a device and not an event loop.
//
// - A Value is what a tag holds as a caller keeps it, by the kind the tag
//   table gives the tag: an integer tag's value (whatever width the device
//   sent) is Integer, a float tag's is Float (its 32 bits widened exactly to
//   a double), a text tag's is Text when its bytes are valid UTF-8 without a
//   NUL byte and Bytes otherwise, a group tag's is None. A value whose type
//   code is not of its tag's kind (see sameValue), or a tag the table does
//   not name, is typed by its type code: a float (6) as Float, another
//   number as Integer, a text as Text or Bytes, nothing as None.
// - readTags and writeTags each run one exchange and return when it has
//   ended: by the rules above, with the same options (CallOptions) and the
//   same Result. readTags runs it on a Line of the calling thread's own (see
//   Line), kept between that thread's calls: its socket stays connected to
//   the last target and the round trips it learnt set the next call's waits;
//   a child after fork() and a call with other engine Options get a new
//   one. writeTags, and readTags given a stopFd, run on an engine of their
//   own. They never throw for what the device
//   or the network does, only for what the caller gave: std::invalid_argument
//   for a target that is not HOST[:PORT], [IPV6]:PORT or a bare IPv6 address,
//   a tag that is neither a name of the table (case ignored) nor the decimal
//   id of one, or a value not of its tag's kind; std::system_error when the
//   engine's socket cannot open. They may be called from any number of
//   threads at once: threads share nothing.
// - stopFd, when not -1, is watched as runUntilDone watches it: once it is
//   readable the exchange ends as Cancelled (a write with setSent when its SET
//   went out).
enum class ValueKind : uint8_t { None, Integer, Float, Text, Bytes };

struct Value {
    ValueKind kind = ValueKind::None;
    uint64_t integer = 0;  // Integer
    double real = 0;       // Float
    std::string text;      // Text (UTF-8) and Bytes (any bytes)
};

TAGENGINE_API Value integerValue(uint64_t number);
TAGENGINE_API Value floatValue(double number);
// Text or Bytes, by the same rule as a value read.
TAGENGINE_API Value textValue(std::string text);

// The name of a kind: "none", "integer", "float", "text", "bytes".
TAGENGINE_API const char* kindName(ValueKind kind);

// A value for showing: an integer in decimal, a float as the shortest
// decimal that reads back as the same 32 bits, a text as it is, bytes in
// hexadecimal (two digits a byte), none as "".
TAGENGINE_API std::string valueText(const Value& value);

struct TagValue {
    uint8_t id = 0;
    Value value;
};

// The tag id a name ("TAG_DEV_ID", case ignored) or a decimal id ("8")
// stands for; throws std::invalid_argument when the table has no such tag.
TAGENGINE_API uint8_t tagIdOf(std::string_view nameOrId);

// A reply's tag as a Value, by the rules above.
TAGENGINE_API Value valueOf(const VTag& tag);
// Every tag of a message, in its order (copies included).
TAGENGINE_API std::vector<TagValue> valuesOf(const VMsg& message);
// The wire tag that writes value to the tag: the table's type code for its
// kind. Throws std::invalid_argument for a tag the table lacks, a group tag,
// a value of another kind (an Integer for a Float tag is taken as that
// number), or an integer wider than the tag (256 for a UInt8 tag).
TAGENGINE_API std::unique_ptr<VTag> makeTag(uint8_t tagId, const Value& value);

// An exchange with a target given as callers write it: "host", "host:port",
// "[v6]:port" or a bare IPv6 address (port 60000 when none is given); target,
// host and port set, the rest left as Exchange has them. Throws
// std::invalid_argument for anything else: port 0, a bare address with
// colons that is not IPv6, a control character or NUL in the host (the
// resolver would read a name only up to a NUL). Nothing is looked up: that
// is submit's.
TAGENGINE_API Exchange exchangeTo(const std::string& target);

// A GET of the tags, for Exchange::request.
TAGENGINE_API std::shared_ptr<const VMsg> getRequest(const std::vector<uint8_t>& tagIds);

// The options of one call: those of an Exchange, and the engine's.
struct CallOptions {
    Duration attemptTimeout = std::chrono::seconds(2);
    int retries = 2;
    Duration budget{0};
    Clock::time_point deadline = Clock::time_point::max();
    Options engine;
    int stopFd = -1;
};

// A write's tag that did not read back as written.
struct Difference {
    uint8_t id = 0;
    Value wrote;
    bool held = false;  // the read-back held the tag; read is then its last copy
    Value read;
    bool conflicting = false;
};

// How a call ended: the engine's Result (its reply for who wants the wire
// message) and the reply's tags as values.
struct Reply {
    Result result;
    std::vector<TagValue> values;         // Answered, ErrorReply, Verified, Mismatch: the reply's tags
    std::vector<Difference> differences;  // Mismatch: result.mismatches as values
};

// Reads the tags from the target ("host", "host:port", "[::1]:port"; port
// 60000 when none is given) with one GET. Answered: values holds the
// device's reply; ErrorReply: its error tags.
TAGENGINE_API Reply readTags(const std::string& target, const std::vector<std::string>& tags,
                             const CallOptions& options = {});
TAGENGINE_API Reply readTags(const std::string& target, const std::vector<uint8_t>& tagIds,
                             const CallOptions& options = {});

// Writes the values and reads them back, as submitWrite does: Verified,
// Mismatch (differences names each tag), ErrorReply, TimedOut (see setSent)
// and the rest.
TAGENGINE_API Reply writeTags(const std::string& target, const std::vector<TagValue>& values,
                              const CallOptions& options = {});

}  // namespace tagengine

#endif
