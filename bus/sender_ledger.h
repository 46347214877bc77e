// SenderLedger: what the router answered each sender of an event, counted by
// outcome, for the statistics.
//
// Every message that takes the queued path is counted under its `source`,
// on the sender's thread, once the router knows its answer. A sender keeps
// its row for the ledger's life. The rows are a fixed open-addressed table
// whose slots are claimed with one compare-and-swap and never given back, so
// counting takes no lock and allocates nothing, and a thread that sends as
// many sources (one plugin, many cameras) costs no more than one that sends
// as one. The ledger keeps kMaxSenders senders apart and counts any further
// source in one shared row, so a plugin that invents a source for every
// message cannot grow it. Any thread counts a refusal with an atomic add;
// acceptances are counted under the event queue's lock. The statistics read
// at any time, and every field is a relaxed atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>

class SenderLedger {
public:
    enum Outcome { Accepted, Cancelled, NoSequence, Overrun, Throttled, Stopping, NoMemory };
    static constexpr int kOutcomes = NoMemory + 1;
    static constexpr std::size_t kMaxSenders = 256;
    using Counts = std::array<std::uint64_t, kOutcomes>;

    SenderLedger() = default;
    SenderLedger(const SenderLedger&) = delete;
    SenderLedger& operator=(const SenderLedger&) = delete;

    // The count of `source`'s accepted messages (source never 0). The event
    // queue counts it up under its own lock (EventQueue::push), which every
    // accepted message takes anyway: a locked instruction of the ledger's
    // own would wait for all the sender's stores of the payload copy.
    std::atomic<std::uint64_t>& acceptedOf(std::uint64_t source) {
        return rowOf(source).byOutcome[Accepted];
    }
    // Counts the router's refusal `code` of a message from `source`.
    void countRefusal(std::uint64_t source, std::int32_t code);

    // Every sender's counts, and in `others` those of the senders beyond
    // kMaxSenders.
    std::map<std::uint64_t, Counts> senders(Counts& others) const;

private:
    // A line each: different senders count on different threads.
    struct alignas(64) Row {
        std::atomic<std::uint64_t> source{0};  // 0: free
        std::array<std::atomic<std::uint64_t>, kOutcomes> byOutcome{};
    };
    // Twice the senders kept, so that probe runs stay short.
    static constexpr std::size_t kSlots = 2 * kMaxSenders;

    Row& rowOf(std::uint64_t source);
    static Counts read(const Row& row);

    std::array<Row, kSlots> rows{};
    std::atomic<std::size_t> claimed{0};
    Row others;
};
