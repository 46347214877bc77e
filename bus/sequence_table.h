// The sequence table: for every sender with an open sequence of sequenced
// records, how many have followed its last opening record.
//
// Entered by the router on any sender's thread. `counts` is guarded by
// `sequenceLock`, held for one lookup and update at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

class SequenceTable {
public:
    // The most records that may follow an opening record.
    static constexpr std::uint64_t kMaxFollowing = 766;

    // Counts one sequenced record from `source`. STATUS_OK when it is
    // admitted; otherwise the refusal, STATUS_NO_SEQUENCE, STATUS_OVERRUN or,
    // while `throttling` holds, STATUS_THROTTLED. Overrun and throttling close
    // the sender's sequence.
    std::int32_t admit(std::uint64_t source, bool opensSequence,
                       const std::atomic<bool>& throttling);
    // Closes the sender's sequence (a record it counted was refused later).
    void close(std::uint64_t source);

    bool isOpen(std::uint64_t source);

private:
    std::mutex sequenceLock;
    std::map<std::uint64_t, std::uint64_t> counts;  // guarded by sequenceLock
};
