// A vector whose first few elements live in place: an exchange holds one
// attempt, an address one sequence, nearly always, and a heap allocation
// for each cost more than the work they record. Past N the elements move to
// the heap, in order, until cleared.
#ifndef TAGENGINE_INLINE_VECTOR_H
#define TAGENGINE_INLINE_VECTOR_H

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

namespace tagengine {

template <class T, size_t N>
class InlineVector {
public:
    T* begin() { return onHeap ? heap.data() : inPlace.data(); }
    T* end() { return begin() + count; }
    const T* begin() const { return onHeap ? heap.data() : inPlace.data(); }
    const T* end() const { return begin() + count; }
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    T& front() { return *begin(); }
    const T& front() const { return *begin(); }
    T& back() { return end()[-1]; }
    const T& back() const { return end()[-1]; }

    void push_back(T value) {
        if (!onHeap && count == N) {
            heap.reserve(2 * N);
            for (T& t : inPlace) heap.push_back(std::move(t));
            inPlace = {};
            onHeap = true;
        }
        if (onHeap)
            heap.push_back(std::move(value));
        else
            inPlace[count] = std::move(value);
        ++count;
    }

    // Removes the element, the later ones moving up: order is kept.
    void erase(T* at) {
        std::move(at + 1, end(), at);
        --count;
        if (onHeap)
            heap.pop_back();
        else
            inPlace[count] = T{};
    }

    void clear() {
        heap.clear();
        inPlace = {};
        onHeap = false;
        count = 0;
    }

private:
    std::array<T, N> inPlace{};
    std::vector<T> heap;
    size_t count = 0;
    bool onHeap = false;
};

}  // namespace tagengine

#endif
