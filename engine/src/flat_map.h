// A hash map in one array (open addressing, linear probing) for the
// engine's per-exchange indexes: a lookup is a hash and a probe or two in
// memory already near, where a node-based map costs an allocation per entry
// and a pointer chase per lookup, both on every exchange.
#ifndef TAGENGINE_FLAT_MAP_H
#define TAGENGINE_FLAT_MAP_H

#include <cstddef>
#include <utility>
#include <vector>

namespace tagengine {

template <class Key, class Value, class Hash>
class FlatMap {
public:
    Value* find(const Key& key) {
        size_t i = indexOf(key);
        return i == NONE ? nullptr : &slots[i].value;
    }
    const Value* find(const Key& key) const { return const_cast<FlatMap*>(this)->find(key); }
    bool contains(const Key& key) const { return indexOf(key) != NONE; }

    // The key's value, default-made when the key is new; whether it is new.
    // A pointer given out earlier may move when the map grows.
    std::pair<Value*, bool> tryEmplace(const Key& key) {
        if (slots.empty() || 4 * (count + 1) > 3 * slots.size()) grow();
        for (size_t i = home(key);; i = (i + 1) & mask()) {
            Slot& s = slots[i];
            if (!s.used) {
                // An unused slot's value is already as new (see erase).
                s.used = true;
                s.key = key;
                ++count;
                return {&s.value, true};
            }
            if (s.key == key) return {&s.value, false};
        }
    }

    bool erase(const Key& key) {
        size_t hole = indexOf(key);
        if (hole == NONE) return false;
        // Backward shift: each later entry of the run moves into the hole
        // unless its home lies between the hole and where it sits, so every
        // entry stays reachable from its home without tombstones.
        for (size_t i = (hole + 1) & mask(); slots[i].used; i = (i + 1) & mask()) {
            size_t h = home(slots[i].key);
            bool stays = hole <= i ? (hole < h && h <= i) : (hole < h || h <= i);
            if (stays) continue;
            slots[hole].key = slots[i].key;
            slots[hole].value = std::move(slots[i].value);
            hole = i;
        }
        slots[hole].used = false;
        slots[hole].value = Value{};
        --count;
        return true;
    }

    // Some key of the map, the one at or after the cursor's place, which then
    // moves past it: entries taken this way in turn go round the whole map.
    // The map must not be empty.
    Key anyKey() {
        while (!slots[cursor & mask()].used) ++cursor;
        return slots[cursor++ & mask()].key;
    }

    size_t size() const { return count; }

private:
    static constexpr size_t NONE = size_t(-1);
    struct Slot {
        Key key{};
        Value value{};
        bool used = false;
    };

    size_t mask() const { return slots.size() - 1; }
    size_t home(const Key& key) const { return Hash{}(key)&mask(); }

    size_t indexOf(const Key& key) const {
        if (count == 0) return NONE;
        for (size_t i = home(key);; i = (i + 1) & mask()) {
            if (!slots[i].used) return NONE;
            if (slots[i].key == key) return i;
        }
    }

    void grow() {
        std::vector<Slot> old(slots.empty() ? 16 : 2 * slots.size());
        old.swap(slots);
        count = 0;
        for (Slot& s : old)
            if (s.used) *tryEmplace(s.key).first = std::move(s.value);
    }

    std::vector<Slot> slots;
    size_t count = 0;
    size_t cursor = 0;
};

}  // namespace tagengine

#endif
