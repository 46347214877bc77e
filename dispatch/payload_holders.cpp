#include "dispatch/payload_holders.h"

void LockedMultimap::add(std::uint64_t key, std::uint64_t value) {
    if (key == 0) return;
    std::lock_guard<std::mutex> hold(lock);
    pairs.emplace_hint(pairs.upper_bound(key), key, value);
}

bool LockedMultimap::release(std::uint64_t key, std::uint64_t value) {
    if (key == 0) return true;
    std::lock_guard<std::mutex> hold(lock);
    auto range = pairs.equal_range(key);
    bool dropped = false;
    for (auto it = range.first; it != range.second;) {
        if (it->second == value) {
            it = pairs.erase(it);
            dropped = true;
        } else {
            ++it;
        }
    }
    return dropped && pairs.count(key) == 0;
}

std::vector<std::uint64_t> LockedMultimap::clear() {
    std::vector<std::uint64_t> keys;
    std::lock_guard<std::mutex> hold(lock);
    for (auto it = pairs.begin(); it != pairs.end(); it = pairs.upper_bound(it->first)) {
        keys.push_back(it->first);
    }
    pairs.clear();
    return keys;
}

std::size_t LockedMultimap::size() {
    std::lock_guard<std::mutex> hold(lock);
    return pairs.size();
}

std::size_t LockedMultimap::holdsOn(std::uint64_t key) {
    std::lock_guard<std::mutex> hold(lock);
    return pairs.count(key);
}
