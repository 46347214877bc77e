// One producer of a workload: its one buffer, its schedule and its faults.
//
// A producer stamps its buffer, hands it to the hub through a send function
// and, as soon as the send returns, writes over both ends of the buffer:
// the hub must have made its copy by then. The producer belongs to one
// thread at a time; report() is read once it is done.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/clock.h"
#include "common/fault.h"
#include "common/reports.h"
#include "common/stamp.h"
#include "common/workload.h"

namespace bench {

class Producer {
public:
    Producer(const Workload& workload, int index, Fault fault = Fault::None);

    // Fixes the schedule of a paced workload: producers are spread evenly
    // over one period from `startNs`, as unsynchronised cameras would be.
    void start(std::int64_t startNs);
    bool done() const { return next >= workload.messagesPerProducer; }
    // When the next message is due; 0 for a workload that runs flat out.
    std::int64_t dueNs() const;

    // Sends the next message. `send(data, bytes)` returns whether the hub
    // accepted it; the buffer is written over right after it returns.
    template <typename Send>
    void sendNext(Send&& send) {
        const std::uint64_t sequence = sequenceAt(next);
        writeStamp(buffer.get(), bytes(), index, sequence);
        if (fault == Fault::Corrupt && sequence == middle()) buffer[bytes() - 1] ^= 0xFF;
        noteSendTime(sequence);
        const bool accepted = droppedHere(sequence) || send(buffer.get(), bytes());
        writeEnds(buffer.get(), bytes(), kReusedWord, kReusedWord);
        (accepted ? report_.sent : report_.refused) += 1;
        if (++next == workload.messagesPerProducer) report_.lastSendNs = nowNs();
    }

    const ProducerReport& report() const { return report_; }
    int producerIndex() const { return static_cast<int>(index); }
    std::size_t bytes() const { return workload.payloadBytes; }
    // The buffer as the hub sees it; for the hubs that can pass it on uncopied.
    const std::uint8_t* data() const { return buffer.get(); }

private:
    std::uint64_t middle() const { return static_cast<std::uint64_t>(workload.messagesPerProducer / 2); }
    std::uint64_t sequenceAt(std::int64_t position) const;
    bool droppedHere(std::uint64_t sequence) const {
        return fault == Fault::Drop && sequence == middle();
    }
    void noteSendTime(std::uint64_t sequence);

    const Workload workload;
    const std::uint32_t index;
    const Fault fault;
    // Exactly the payload size: the benchmark pads none of its allocations.
    std::unique_ptr<std::uint8_t[]> buffer;
    std::int64_t next = 0;  // position in the run, not the sequence sent
    std::int64_t originNs = 0;
    std::int64_t periodNs = 0;
    ProducerReport report_;
};

// Runs `producer` to its end on the calling thread, sleeping to its
// schedule if it has one. Stops early when `stop` becomes true.
template <typename Send>
void runProducer(Producer& producer, Send&& send, const std::atomic<bool>& stop) {
    while (!producer.done() && !stop.load(std::memory_order_relaxed)) {
        const std::int64_t due = producer.dueNs();
        if (due != 0) sleepUntilNs(due);
        producer.sendNext(send);
    }
}

}  // namespace bench
