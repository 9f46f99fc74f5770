// The engine's private state: one record per exchange in an owning map,
// indexed by deadline and by (address, sequence).
#ifndef TAGENGINE_ENGINE_STATE_H
#define TAGENGINE_ENGINE_STATE_H

#include <deque>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "pacer.h"
#include "sequence_table.h"
#include "tagengine.h"
#include "udp_endpoint.h"

namespace tagengine {

// Byte 2 of a message holds the sequence number and, in its top bit, the
// last-segment flag (docs/wire-format.md). A request is one segment.
constexpr size_t SEQUENCE_BYTE = 2;
// Datagrams read per call, so one busy socket cannot starve time-outs.
constexpr size_t READ_BATCH_SIZE = 256;

struct Attempt {
    uint8_t sequence;
    Clock::time_point sentAt;
};

struct Record {
    enum class Phase : uint8_t { Queued, Retrying, Running, Ended };

    uint64_t id = 0;
    Exchange exchange;
    uint64_t addressKey = 0;
    std::vector<uint8_t> bytes;  // the encoded request; its sequence byte set per attempt
    bool expectsReply = true;
    Phase phase = Phase::Queued;
    // Sequences of the attempts still accepted, oldest first.
    std::vector<Attempt> attempts;
    // Segments merged so far, and the attempt they answer.
    std::unique_ptr<VMsg> merged;
    uint8_t mergedSequence = 0;
    // Entry in the deadline index, when it has one.
    std::set<std::pair<Clock::time_point, uint64_t>>::iterator deadlineEntry;
    bool hasDeadline = false;
    Result result;
};

struct Engine::State {
    explicit State(const Options& o);

    // Index upkeep.
    void setDeadline(Record& r, Clock::time_point when);
    void clearDeadline(Record& r);
    void releaseSequences(Record& r);
    // Unlinks the record from every index and queues its callback.
    void end(Record& r, Status status, Clock::time_point now);

    // Each step of process().
    void readDatagrams(Clock::time_point now);
    void takeDatagram(const UdpEndpoint::Datagram& d, Clock::time_point now);
    void takeRefusal(const UdpEndpoint::Refusal& refusal, Clock::time_point now);
    void expire(Clock::time_point now);
    void sendWaiting(Clock::time_point now);
    // false: the socket is full, stop sending for now.
    bool sendAttempt(Record& r, Clock::time_point now);
    void runCallbacks();
    Clock::time_point nextWake(Clock::time_point now);

    Options options;
    UdpEndpoint endpoint;
    int fdList[1];
    Pacer pacer;
    std::mt19937_64 random;
    SequenceTable sequences;

    std::unordered_map<uint64_t, Record> records;
    std::set<std::pair<Clock::time_point, uint64_t>> deadlines;
    std::deque<uint64_t> queued;    // not yet sent, in submission order
    std::deque<uint64_t> retrying;  // timed out, waiting to send again
    std::vector<uint64_t> ended;    // callbacks to run
    size_t inFlight = 0;
    uint64_t nextId = 1;
    bool socketFull = false;
    Stats stats;
};

}  // namespace tagengine

#endif
