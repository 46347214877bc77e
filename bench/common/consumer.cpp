#include "common/consumer.h"

#include "common/clock.h"
#include "common/stamp.h"

namespace bench {

Consumer::Consumer(const Workload& workload, int index)
    : workload(workload), expected(static_cast<std::size_t>(workload.producers), 0) {
    report_.index = index;
    // Allocated and touched before the run, so that the memory a consumer
    // needs does not grow while it is measured.
    if (workload.recordsLatency()) {
        report_.deliveryTimes.assign(static_cast<std::size_t>(workload.totalMessages()), 0);
    }
}

bool Consumer::receive(const void* data, std::size_t bytes) {
    const bool wasComplete = complete();
    if (report_.received++ == 0) report_.firstDeliveryNs = nowNs();
    if (data == nullptr || bytes != workload.payloadBytes || bytes < kMinimumPayload) {
        ++report_.wrongLength;
        return false;
    }
    const Stamp stamp = readStamp(data, bytes);
    if (!stamp.intact || stamp.producer >= expected.size() ||
        stamp.sequence >= static_cast<std::uint64_t>(workload.messagesPerProducer)) {
        ++report_.corrupt;
        return false;
    }
    countSequence(stamp.producer, stamp.sequence);
    if (wasComplete || !complete()) return false;
    report_.lastDeliveryNs = nowNs();
    return true;
}

void Consumer::countSequence(std::uint32_t producer, std::uint64_t sequence) {
    std::uint64_t& next = expected[producer];
    if (sequence < next) {
        ++report_.reordered;
        return;
    }
    report_.lost += static_cast<std::int64_t>(sequence - next);
    next = sequence + 1;
    ++report_.inOrder;
    if (workload.recordsLatency()) {
        report_.deliveryTimes[producer * workload.messagesPerProducer + sequence] = nowNs();
    }
}

ConsumerReport Consumer::report() const {
    ConsumerReport out = report_;
    for (std::uint64_t next : expected) {
        out.lost += workload.messagesPerProducer - static_cast<std::int64_t>(next);
    }
    return out;
}

}  // namespace bench
