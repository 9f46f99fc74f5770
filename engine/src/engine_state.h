// The engine's private state: one record per exchange in reusable slots,
// indexed by id, by deadline and by (address, sequence).
#ifndef TAGENGINE_ENGINE_STATE_H
#define TAGENGINE_ENGINE_STATE_H

#include <array>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

#include "deadline_queue.h"
#include "flat_map.h"
#include "pacer.h"
#include "reply_assembler.h"
#include "rtt_estimator.h"
#include "sequence_table.h"
#include "tagengine.h"
#include "udp_endpoint.h"

namespace tagengine {

// Datagrams read per call, so one busy socket cannot starve time-outs.
constexpr size_t READ_BATCH_SIZE = 256;

struct Record {
    enum class Phase : uint8_t { Queued, Retrying, Running, Ended };

    uint64_t id = 0;
    Exchange exchange;
    PeerKey addressKey;
    std::vector<uint8_t> bytes;  // the encoded request; its sequence byte set per attempt
    bool expectsReply = true;
    Phase phase = Phase::Queued;
    // The attempts still accepted, oldest first, and their partial replies.
    ReplyAssembler attempts;
    // When its wait ends, if it has one; the stamp names its current entry
    // in the deadline queue.
    Clock::time_point deadlineAt{};
    uint32_t deadlineStamp = 0;
    bool hasDeadline = false;
    // Running with its last attempt waiting by the fleet's estimate or the
    // time-out, not by an estimate of its own target; and whether its id is
    // in the list rearm() walks.
    bool unheard = false;
    bool listedUnheard = false;
    // The last attempt's jitter, so that a wait shortened later keeps it.
    double jitter = 0;
    // Attempts left after this exchange's first, counting those of what it
    // serves (a verified write's later rounds): its very last attempt waits
    // until the exchange is given up.
    int retriesLeft = 0;
    Result result;

    // Made as new for another exchange, the room of its request bytes
    // kept: a slot reused costs no allocation for them.
    void recycle();
};

// The records by id. A record ended and handed to its callback frees its
// slot for the next one submitted; the ids themselves are never reused.
class RecordTable {
public:
    Record& add(uint64_t id);
    Record* find(uint64_t id);
    void remove(uint64_t id);
    size_t size() const { return index.size(); }
    // Slots kept when no record is left; more are freed then.
    static constexpr size_t SLOTS_KEPT_IDLE = 1024;
    // Each record, in no particular order.
    template <class F>
    void forEach(F f) {
        for (Record& r : slots)
            if (r.id != 0) f(r);
    }

private:
    struct IdHash {
        size_t operator()(uint64_t id) const {
            uint64_t h = id * 0x9E3779B97F4A7C15ULL;
            return size_t(h ^ (h >> 32));
        }
    };
    std::deque<Record> slots;  // a deque: records never move while they live
    std::vector<uint32_t> freeSlots;
    FlatMap<uint64_t, uint32_t, IdHash> index;
};

// A verified write between its rounds: the tags not yet read back as
// written, and the exchange (SET or its read-back GET) now running for it.
struct WriteRecord {
    Exchange exchange;
    std::map<uint8_t, std::unique_ptr<VTag>> pending;  // by tag id: the value to write
    uint64_t running = 0;
    bool answered = false;  // the last round's read-back answered, and no SET went out since
    Result result;
};

// Hidden though Engine is exported: its members are no part of the library's
// interface.
struct __attribute__((visibility("hidden"))) Engine::State {
    State(Engine& e, const Options& o);

    // Index upkeep.
    void setDeadline(Record& r, Clock::time_point when);
    void clearDeadline(Record& r);
    // The record whose current entry that is; null for a stale one.
    Record* current(const DeadlineQueue::Entry& e);
    void setUnheard(Record& r, bool unheard);
    void releaseSequences(Record& r);
    // Lets go of the oldest attempt: its sequence and its partial reply.
    void dropOldestAttempt(Record& r);
    // Unlinks the record from every index and queues its callback.
    void end(Record& r, Status status, Clock::time_point now);

    // Each step of process().
    void readDatagrams(UdpEndpoint& endpoint, Clock::time_point now);
    void takeDatagram(const UdpEndpoint::Datagram& d, Clock::time_point now);
    void takeRefusal(const UdpEndpoint::Refusal& refusal, Clock::time_point now);
    void expire(Clock::time_point now);
    // Whether the record's attempt, its wait come due, waits on: see
    // expire(). It may set a later deadline.
    bool waitsOn(Record& r, Clock::time_point now);
    // Lets go of the sends no attempt can wait on any more.
    void forgetSends(Clock::time_point now);
    // Sends what is due, retries first, by batches (send_batch.cpp).
    void sendWaiting(Clock::time_point now);
    // Stages the next batch; false when nothing is due.
    bool stageBatch(Clock::time_point now);
    // Sends the staged batch; false when sending must stop for now.
    bool sendStaged(Clock::time_point now);
    // Puts the staged datagrams from index from on back where they were
    // waiting, their sequences released.
    void unstage(size_t from);
    // A fresh sequence for the record's next attempt, written into its
    // request; none when every sequence of its address is held by others.
    std::optional<uint8_t> takeSequence(Record& r);
    // The bookkeeping of an attempt the kernel took.
    void attemptSent(Record& r, uint8_t sequence, bool first, Clock::time_point now);
    // When the record's last attempt, its wait counted from `from`, gives
    // up: by the estimate now held, never past the exchange's deadline.
    Clock::time_point attemptEnd(const Record& r, Clock::time_point from) const;
    // Shortens the waits of attempts sent before their target was heard
    // from, once the fleet's estimate has come down far enough to matter.
    void rearm();
    void runCallbacks();
    // Runs the callback with the result at the next runCallbacks.
    void defer(Callback done, Result result);

    // The rounds of a verified write (write_exchange.cpp).
    void startRound(uint64_t id);
    // Moves the exchange just submitted to the head of the queue.
    void goFirst(uint64_t id);
    void readBack(uint64_t id, Result&& sent);
    void compare(uint64_t id, Result&& read);
    void finishWrite(uint64_t id, Status status);
    bool cancelWrite(uint64_t id);
    Exchange roundExchange(const WriteRecord& w, std::shared_ptr<const VMsg> request, Callback done) const;
    Clock::time_point nextWake(Clock::time_point now);

    // The socket for the address's family, the IPv6 one opened on first
    // use; null (why set) when it cannot be opened.
    UdpEndpoint* endpointFor(const sockaddr_storage& to, std::string& why);

    Engine& owner;  // whose submit the rounds of a write go through
    Options options;
    UdpEndpoint v4;
    std::unique_ptr<UdpEndpoint> v6;
    std::vector<int> fdList;
    Pacer pacer;
    std::mt19937_64 random;
    SequenceTable sequences;
    RttEstimator rtt;
    // Running exchanges whose last attempt waits by the fleet's estimate or
    // the time-out, not by an estimate of their own target.
    // Those marked so are listed here by id (with the stale entries of
    // records since heard from, or ended, until the list is walked).
    std::vector<uint64_t> unheardList;
    size_t unheardCount = 0;
    Duration rearmedFor = Duration::max();  // the fleet's wait at the last rearm
    // By the time attempts went out together (one process() call's sends):
    // when the latest whole reply to one of them was read. Kept while any
    // of them may still wait (longestTimeout).
    std::map<Clock::time_point, Clock::time_point> repliesBySend;
    Duration longestTimeout{0};  // of the exchanges submitted
    // The whole replies of the read under way and their round trips: one
    // sample of the fleet's estimate.
    size_t readReplies = 0;
    Duration readRoundTrips{0};

    RecordTable records;
    DeadlineQueue deadlines;
    size_t liveDeadlines = 0;                           // records with a deadline
    std::deque<uint64_t> queued;                        // not yet sent, in submission order
    std::deque<uint64_t> retrying;                      // timed out, waiting to send again
    std::vector<uint64_t> ended;                        // callbacks to run
    std::vector<std::pair<Callback, Result>> deferred;  // and those of ended writes
    std::unordered_map<uint64_t, WriteRecord> writes;
    Clock::time_point lastNow{};  // of the process() call running
    size_t inFlight = 0;
    // By every partial reply together, and the room of replies handed as
    // datagrams, back from their callbacks.
    ReplyMemory memory;
    uint64_t nextId = 1;
    bool socketFull = false;
    // A read of this process() stopped at its batch: replies may still wait
    // in the socket, unread.
    bool unread = false;
    // The batch being sent: each record, the sequence its attempt took, and
    // whether it is the exchange's first (queued) or a retry. The record is
    // marked Running while staged, so that it is staged once.
    struct Staged {
        Record* record;
        uint8_t sequence;
        bool first;
    };
    std::vector<Staged> staged;
    std::vector<UdpEndpoint::Outgoing> outgoing;
    UdpEndpoint* stagedOn = nullptr;
    bool sendingHeld = false;  // told to stop: nothing more goes out
    Stats stats;
    std::array<uint8_t, MAX_DATAGRAM> encoding;  // a request being encoded at submit
};

}  // namespace tagengine

#endif
