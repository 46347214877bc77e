#include "bus/payload_holders.h"

#include <algorithm>

namespace {

constexpr std::size_t kInitialSlots = 256;

}  // namespace

PayloadHolders::PayloadHolders(std::uint64_t walker)
    : walker(walker), walkHolder(walker), slots(kInitialSlots) {}

// ---- The table ------------------------------------------------------------

std::size_t PayloadHolders::home(std::uint64_t key) const {
    // Addresses are aligned, so the low bits carry nothing; the multiplier
    // (2^64 divided by the golden ratio) spreads the rest over the table.
    return static_cast<std::size_t>((key >> 4) * UINT64_C(0x9E3779B97F4A7C15) >> 20) &
           (slots.size() - 1);
}

std::size_t PayloadHolders::find(std::uint64_t key) const {
    std::size_t index = home(key);
    while (slots[index].key != 0 && slots[index].key != key) index = next(index);
    return index;
}

void PayloadHolders::add(std::uint64_t key, std::uint64_t value) {
    if (key == 0) return;
    std::lock_guard<pt::spinlock> hold(lock);
    insert(key, value);
}

void PayloadHolders::insert(std::uint64_t key, std::uint64_t value) {
    std::size_t index = find(key);
    if (slots[index].key == 0) {
        // At most half full, so that probe runs stay short.
        if (2 * (used.load(std::memory_order_relaxed) + 1) > slots.size()) {
            grow();
            index = find(key);
        }
        slots[index].key = key;
        ++used;
    }
    slots[index].holders.push_back(value);
}

bool PayloadHolders::release(std::uint64_t key, std::uint64_t value) {
    if (key == 0) return true;
    std::lock_guard<pt::spinlock> hold(lock);
    // Looked at before anything changes: a walk may end without the lock,
    // but only once it has seen this release's changes to the table, so the
    // walk and this release never both take the last hold.
    const bool walked = walkKey.load(std::memory_order_relaxed) == key;
    bool dropped = walked && takeWalkHold(value);
    const std::size_t index = find(key);
    if (slots[index].key != 0) {
        std::vector<std::uint64_t>& holders = slots[index].holders;
        const auto kept = std::remove(holders.begin(), holders.end(), value);
        dropped = dropped || kept != holders.end();
        holders.erase(kept, holders.end());
        if (holders.empty()) erase(index);
    }
    return dropped && !walked && slots[find(key)].key == 0;
}

void PayloadHolders::erase(std::size_t index) {
    slots[index].key = 0;
    slots[index].bytes = 0;
    --used;
    // Shift back every entry of the run that could live at the freed slot.
    for (std::size_t gap = index, probe = next(index); slots[probe].key != 0; probe = next(probe)) {
        const std::size_t wanted = home(slots[probe].key);
        const bool reachesGap = gap <= probe ? (wanted <= gap || wanted > probe)
                                             : (wanted <= gap && wanted > probe);
        if (!reachesGap) continue;
        std::swap(slots[gap], slots[probe]);
        gap = probe;
    }
}

void PayloadHolders::grow() {
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    for (Slot& slot : old) {
        if (slot.key == 0) continue;
        const std::size_t index = find(slot.key);
        slots[index].key = slot.key;
        slots[index].bytes = slot.bytes;
        slots[index].holders.swap(slot.holders);
    }
}

std::vector<std::uint64_t> PayloadHolders::clear() {
    std::vector<std::uint64_t> keys;
    std::lock_guard<pt::spinlock> hold(lock);
    for (Slot& slot : slots) {
        if (slot.key == 0) continue;
        keys.push_back(slot.key);
        slot.key = 0;
        slot.bytes = 0;
        slot.holders.clear();
    }
    used.store(0);
    return keys;
}

std::size_t PayloadHolders::size() {
    std::lock_guard<pt::spinlock> hold(lock);
    std::size_t pairs = walkHolds(walkKey.load());
    for (const Slot& slot : slots) pairs += slot.key != 0 ? slot.holders.size() : 0;
    return pairs;
}

PayloadHolders::Kept PayloadHolders::keptBy(std::uint64_t holder) {
    Kept kept;
    std::lock_guard<pt::spinlock> hold(lock);
    for (const Slot& slot : slots) {
        if (slot.key == 0) continue;
        const auto count = std::count(slot.holders.begin(), slot.holders.end(), holder);
        kept.buffers += static_cast<std::uint64_t>(count);
        kept.bytes += count != 0 ? slot.bytes : 0;
    }
    return kept;
}

std::uint64_t PayloadHolders::keptBytes() {
    std::uint64_t bytes = 0;
    std::lock_guard<pt::spinlock> hold(lock);
    for (const Slot& slot : slots) bytes += slot.key != 0 ? slot.bytes : 0;
    return bytes;
}

std::size_t PayloadHolders::holdsOn(std::uint64_t key) {
    std::lock_guard<pt::spinlock> hold(lock);
    const Slot& slot = slots[find(key)];
    return (slot.key == key ? slot.holders.size() : 0) + walkHolds(key);
}

// ---- The walk -------------------------------------------------------------

bool PayloadHolders::takeWalkHold(std::uint64_t value) {
    std::uint64_t expected = value;
    return value != walker && walkHolder.compare_exchange_strong(expected, walker);
}

std::size_t PayloadHolders::walkHolds(std::uint64_t key) const {
    if (key == 0 || walkKey.load() != key) return 0;
    return walkHolder.load() != walker ? 2 : 1;
}

void PayloadHolders::beginWalk(std::uint64_t key, std::uint32_t bytes) {
    walkBytes = bytes;
    // Under the lock, so that a release that has looked at the last walk
    // finishes before this one begins: it could otherwise take a hold of the
    // new walk that belongs to the same plugin.
    std::lock_guard<pt::spinlock> hold(lock);
    walkHolder.store(walker, std::memory_order_relaxed);
    walkKey.store(key, std::memory_order_relaxed);
}

void PayloadHolders::keepRetainedHold(std::uint64_t holder) {
    std::lock_guard<pt::spinlock> hold(lock);
    // A plugin that gave the buffer back during its call holds nothing.
    std::uint64_t expected = holder;
    if (walkHolder.compare_exchange_strong(expected, walker) && walkKey.load() != 0) {
        insert(walkKey.load(), holder);
        slots[find(walkKey.load())].bytes = walkBytes;
    }
}

bool PayloadHolders::endWalk() {
    const std::uint64_t key = walkKey.load(std::memory_order_relaxed);
    if (key == 0) return true;
    // An empty table cannot gain a key meanwhile: only this thread adds. A
    // release that emptied it had seen the walk, and leaves the buffer to it.
    if (used.load(std::memory_order_acquire) == 0) {
        walkKey.store(0, std::memory_order_release);
        return true;
    }
    std::lock_guard<pt::spinlock> hold(lock);
    walkKey.store(0, std::memory_order_relaxed);
    return slots[find(key)].key == 0;
}
