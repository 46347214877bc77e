#include "bus/sequence_table.h"

#include "tessard_plugin.h"

std::int32_t SequenceTable::admit(std::uint64_t source, bool opensSequence,
                                  const std::atomic<bool>& throttling) {
    std::lock_guard<std::mutex> hold(sequenceLock);
    auto entry = counts.find(source);
    if (entry == counts.end()) {
        if (!opensSequence) return STATUS_NO_SEQUENCE;
        entry = counts.emplace(source, 0).first;
    } else if (opensSequence) {
        entry->second = 0;
    } else if (entry->second >= kMaxFollowing) {
        counts.erase(entry);
        return STATUS_OVERRUN;
    } else {
        ++entry->second;
    }
    if (throttling.load(std::memory_order_relaxed)) {
        counts.erase(entry);
        return STATUS_THROTTLED;
    }
    return STATUS_OK;
}

void SequenceTable::close(std::uint64_t source) {
    std::lock_guard<std::mutex> hold(sequenceLock);
    counts.erase(source);
}

bool SequenceTable::isOpen(std::uint64_t source) {
    std::lock_guard<std::mutex> hold(sequenceLock);
    return counts.count(source) != 0;
}
