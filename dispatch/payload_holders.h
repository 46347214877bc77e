// LockedMultimap: for every payload buffer being fanned out, the IDs of those
// still holding it.
//
// The event handler thread adds and releases holds around every delivery;
// any plugin thread releases the holds its plugin kept. Every operation takes
// `lock` for its own duration only and calls nothing while holding it.
// Key 0 (no payload) is never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

class LockedMultimap {
public:
    // Records one more hold of `value` on `key`.
    void add(std::uint64_t key, std::uint64_t value);
    // Drops every hold of `value` on `key`. True when this call dropped at
    // least one and none remains on `key`: the caller must free the buffer.
    // Key 0 always gives true and changes nothing.
    bool release(std::uint64_t key, std::uint64_t value);

    // Drops every hold and returns the keys that had any, once each.
    std::vector<std::uint64_t> clear();

    std::size_t size();
    std::size_t holdsOn(std::uint64_t key);

private:
    std::mutex lock;
    std::multimap<std::uint64_t, std::uint64_t> pairs;  // guarded by lock
};
