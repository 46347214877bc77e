// The sequence table: for every sender with an open sequence of sequenced
// records, how many have followed its last opening record.
//
// A sender is a `source` value, and a plugin may send under as many as it
// likes (one per camera, say). The table keeps at most kMaxSequences open
// sequences: opening one more closes the one used least recently, so a
// plugin that invents a new source for every record cannot grow the server,
// while a sender whose sequence is in use never loses it.
//
// Entered by the router on any sender's thread. `counts` and `recency` are
// guarded by `sequenceLock`, held for one lookup and update at a time.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <unordered_map>

#include "bus/throttle_gauge.h"

class SequenceTable {
public:
    // The most records that may follow an opening record.
    static constexpr std::uint64_t kMaxFollowing = 766;
    // The most sequences open at once.
    static constexpr std::size_t kMaxSequences = 4096;

    // Counts one sequenced record from `source`. STATUS_OK when it is
    // admitted; otherwise the refusal, STATUS_NO_SEQUENCE, STATUS_OVERRUN or,
    // while `throttle` says the core throttles, STATUS_THROTTLED. Overrun and throttling close
    // the sender's sequence.
    std::int32_t admit(std::uint64_t source, bool opensSequence, const ThrottleGauge& throttle);
    // Closes the sender's sequence (a record it counted was refused later).
    void close(std::uint64_t source);

    bool isOpen(std::uint64_t source);
    std::size_t openSequences();

private:
    struct Sequence {
        std::uint64_t following = 0;
        std::list<std::uint64_t>::iterator recent;
    };

    // The sender's sequence, opened afresh; the least recently used one is
    // closed to make room.
    Sequence& open(std::uint64_t source);
    void erase(std::unordered_map<std::uint64_t, Sequence>::iterator entry);

    std::mutex sequenceLock;
    std::unordered_map<std::uint64_t, Sequence> counts;  // guarded by sequenceLock
    // Senders, the one that used its sequence last at the front.
    std::list<std::uint64_t> recency;  // guarded by sequenceLock
};
