// When each exchange's wait ends, soonest first: a binary heap whose
// entries are never taken out early. A record's deadline moved or cleared
// leaves its old entry behind, stale; the record's stamp tells a current
// entry from a stale one, and the stale are skipped as they come to the top
// or all dropped at once when they outnumber the current ones, so the heap
// stays within a constant of the exchanges that wait.
#ifndef TAGENGINE_DEADLINE_QUEUE_H
#define TAGENGINE_DEADLINE_QUEUE_H

#include <algorithm>
#include <cstdint>
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
        heap.push_back(e);
        std::push_heap(heap.begin(), heap.end(), later);
    }
    bool empty() const { return heap.empty(); }
    const Entry& top() const { return heap.front(); }
    void pop() {
        std::pop_heap(heap.begin(), heap.end(), later);
        heap.pop_back();
    }
    size_t size() const { return heap.size(); }

    // Drops every entry current(entry) calls stale once they outnumber the
    // `live` current ones by the slack.
    template <class Current>
    void compactIfStale(size_t live, Current current) {
        if (heap.size() <= 2 * live + STALE_SLACK) return;
        std::erase_if(heap, [&](const Entry& e) { return !current(e); });
        std::make_heap(heap.begin(), heap.end(), later);
    }

private:
    // Soonest first; at one time, the exchange submitted first.
    static bool later(const Entry& a, const Entry& b) {
        return a.when != b.when ? a.when > b.when : a.id > b.id;
    }
    std::vector<Entry> heap;
};

}  // namespace tagengine

#endif
