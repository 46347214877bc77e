// One consumer of a workload: the check every delivery passes.
//
// A consumer never copies: it reads the first and last 8 bytes of what it
// is handed, checks that the two agree and that the sequence number is the
// next one expected from that producer, and counts what is not. It belongs
// to the one thread that delivers to it; report() is read after delivery
// has stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/reports.h"
#include "common/workload.h"

namespace bench {

class Consumer {
public:
    Consumer(const Workload& workload, int index);

    // Checks one delivery; true when it was the last message still expected.
    bool receive(const void* data, std::size_t bytes);
    bool complete() const { return report_.inOrder == workload.totalMessages(); }
    // The counts, with messages never delivered added to `lost`.
    ConsumerReport report() const;

private:
    void countSequence(std::uint32_t producer, std::uint64_t sequence);

    const Workload workload;
    std::vector<std::uint64_t> expected;  // next sequence, per producer
    ConsumerReport report_;
};

}  // namespace bench
