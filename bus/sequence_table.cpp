#include "bus/sequence_table.h"

#include "tessard_plugin.h"

std::int32_t SequenceTable::admit(std::uint64_t source, bool opensSequence,
                                  const ThrottleGauge& throttle) {
    std::lock_guard<std::mutex> hold(sequenceLock);
    auto entry = counts.find(source);
    if (entry == counts.end()) {
        if (!opensSequence) return STATUS_NO_SEQUENCE;
        open(source);
        entry = counts.find(source);
    } else if (opensSequence) {
        entry->second.following = 0;
    } else if (entry->second.following >= kMaxFollowing) {
        erase(entry);
        return STATUS_OVERRUN;
    } else {
        ++entry->second.following;
    }
    if (throttle.throttling()) {
        erase(entry);
        return STATUS_THROTTLED;
    }
    // Moving a list node allocates nothing.
    recency.splice(recency.begin(), recency, entry->second.recent);
    return STATUS_OK;
}

SequenceTable::Sequence& SequenceTable::open(std::uint64_t source) {
    if (counts.size() >= kMaxSequences) erase(counts.find(recency.back()));
    recency.push_front(source);
    Sequence& sequence = counts[source];
    sequence.recent = recency.begin();
    return sequence;
}

void SequenceTable::erase(std::unordered_map<std::uint64_t, Sequence>::iterator entry) {
    recency.erase(entry->second.recent);
    counts.erase(entry);
}

void SequenceTable::close(std::uint64_t source) {
    std::lock_guard<std::mutex> hold(sequenceLock);
    const auto entry = counts.find(source);
    if (entry != counts.end()) erase(entry);
}

bool SequenceTable::isOpen(std::uint64_t source) {
    std::lock_guard<std::mutex> hold(sequenceLock);
    return counts.count(source) != 0;
}

std::size_t SequenceTable::openSequences() {
    std::lock_guard<std::mutex> hold(sequenceLock);
    return counts.size();
}
