#include "bus/sender_ledger.h"

#include "tessard_plugin.h"

namespace {

SenderLedger::Outcome outcomeOf(std::int32_t code) {
    switch (code) {
        case STATUS_CANCELLED: return SenderLedger::Cancelled;
        case STATUS_NO_SEQUENCE: return SenderLedger::NoSequence;
        case STATUS_OVERRUN: return SenderLedger::Overrun;
        case STATUS_THROTTLED: return SenderLedger::Throttled;
        case STATUS_STOPPING: return SenderLedger::Stopping;
        default: return SenderLedger::NoMemory;
    }
}

}  // namespace

void SenderLedger::countRefusal(std::uint64_t source, std::int32_t code) {
    rowOf(source).byOutcome[outcomeOf(code)].fetch_add(1, std::memory_order_relaxed);
}

SenderLedger::Row& SenderLedger::rowOf(std::uint64_t source) {
    // Ids are spread over their high bits (a plugin's own) and low bits (its
    // streams); the multiplier mixes both into the slot number.
    std::size_t index = static_cast<std::size_t>((source * UINT64_C(0x9E3779B97F4A7C15)) >> 40);
    for (std::size_t probe = 0; probe < kSlots; ++probe, ++index) {
        Row& row = rows[index % kSlots];
        std::uint64_t owner = row.source.load(std::memory_order_acquire);
        if (owner == source) return row;
        if (owner != 0) continue;
        // A free slot: taken only while the ledger keeps fewer senders than
        // its bound, and only by one of the threads that race for it.
        if (claimed.fetch_add(1, std::memory_order_relaxed) >= kMaxSenders) {
            claimed.fetch_sub(1, std::memory_order_relaxed);
            return others;
        }
        if (row.source.compare_exchange_strong(owner, source, std::memory_order_acq_rel)) return row;
        claimed.fetch_sub(1, std::memory_order_relaxed);
        if (owner == source) return row;
    }
    return others;
}

SenderLedger::Counts SenderLedger::read(const Row& row) {
    Counts counts{};
    for (int outcome = 0; outcome < kOutcomes; ++outcome) {
        counts[outcome] = row.byOutcome[outcome].load(std::memory_order_relaxed);
    }
    return counts;
}

std::map<std::uint64_t, SenderLedger::Counts> SenderLedger::senders(Counts& othersCounts) const {
    std::map<std::uint64_t, Counts> copy;
    for (const Row& row : rows) {
        const std::uint64_t source = row.source.load(std::memory_order_acquire);
        if (source != 0) copy.emplace(source, read(row));
    }
    othersCounts = read(others);
    return copy;
}
