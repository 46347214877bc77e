#include "common/producer.h"

#include <cstring>

namespace bench {

Producer::Producer(const Workload& workload, int index, Fault fault)
    : workload(workload),
      index(static_cast<std::uint32_t>(index)),
      fault(fault),
      buffer(new std::uint8_t[workload.payloadBytes]) {
    // Touched once, so that no contender pays for the producer's page faults.
    std::memset(buffer.get(), 0x5C, workload.payloadBytes);
    report_.index = index;
    if (workload.recordsLatency()) {
        report_.sendTimes.assign(static_cast<std::size_t>(workload.messagesPerProducer), 0);
    }
}

void Producer::start(std::int64_t startNs) {
    if (!workload.paced()) return;
    periodNs = 1000000000 / workload.ratePerSecond;
    originNs = startNs + periodNs * index / workload.producers;
}

std::int64_t Producer::dueNs() const { return periodNs == 0 ? 0 : originNs + next * periodNs; }

// Reorder swaps the middle message with the one after it.
std::uint64_t Producer::sequenceAt(std::int64_t position) const {
    const auto sequence = static_cast<std::uint64_t>(position);
    if (fault != Fault::Reorder || middle() + 1 >= static_cast<std::uint64_t>(workload.messagesPerProducer)) {
        return sequence;
    }
    if (sequence == middle()) return middle() + 1;
    if (sequence == middle() + 1) return middle();
    return sequence;
}

// Latency workloads time every send; the others only the first, so that
// a flat-out run reads the clock once.
void Producer::noteSendTime(std::uint64_t sequence) {
    if (!workload.recordsLatency() && next != 0) return;
    const std::int64_t now = nowNs();
    if (workload.recordsLatency()) report_.sendTimes[sequence] = now;
    if (next == 0) report_.firstSendNs = now;
}

}  // namespace bench
