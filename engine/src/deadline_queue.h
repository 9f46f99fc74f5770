// When each exchange's wait ends, soonest first, entries never taken out
// early. A record's deadline moved or cleared leaves its old entry behind,
// stale; the record's stamp tells a current entry from a stale one, and the
// stale are skipped as they come to the top or all dropped at once when they
// outnumber the current ones, so the queue stays within a constant of the
// exchanges that wait.
// Most deadlines come in the order they fall due (a fleet's attempts, sent
// one after another, wait alike): those go at the end of a sorted run, taken
// from its front, and only one due before the run's last goes to a binary
// heap. An exchange answered leaves its entry to be skipped at the front of
// the run, not sifted out of a heap.
#ifndef TAGENGINE_DEADLINE_QUEUE_H
#define TAGENGINE_DEADLINE_QUEUE_H

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "tagengine.h"

namespace tagengine {

class DeadlineQueue {
public:
    struct Entry {
        Clock::time_point when;
        uint64_t id;
        uint32_t stamp;  // the record's deadline stamp when it was set
    };

    // Stale entries tolerated beyond the current ones before a compaction.
    static constexpr size_t STALE_SLACK = 1024;

    void push(const Entry& e) {
        if (run.empty() || !later(run.back(), e)) {
            run.push_back(e);
            return;
        }
        heap.push_back(e);
        std::push_heap(heap.begin(), heap.end(), later);
    }
    bool empty() const { return run.empty() && heap.empty(); }
    const Entry& top() const { return fromRun() ? run.front() : heap.front(); }
    void pop() {
        if (fromRun()) {
            run.pop_front();
            return;
        }
        std::pop_heap(heap.begin(), heap.end(), later);
        heap.pop_back();
    }
    size_t size() const { return run.size() + heap.size(); }

    // Drops every entry current(entry) calls stale once they outnumber the
    // `live` current ones by the slack.
    template <class Current>
    void compactIfStale(size_t live, Current current) {
        if (size() <= 2 * live + STALE_SLACK) return;
        auto stale = [&](const Entry& e) { return !current(e); };
        std::erase_if(run, stale);  // keeps the run's order
        std::erase_if(heap, stale);
        std::make_heap(heap.begin(), heap.end(), later);
    }

private:
    // Soonest first; at one time, the exchange submitted first.
    static bool later(const Entry& a, const Entry& b) {
        return a.when != b.when ? a.when > b.when : a.id > b.id;
    }
    // Whether the soonest entry is the run's.
    bool fromRun() const { return heap.empty() || (!run.empty() && !later(run.front(), heap.front())); }
    std::deque<Entry> run;    // in the order they fall due
    std::vector<Entry> heap;  // the rest
};

}  // namespace tagengine

#endif
