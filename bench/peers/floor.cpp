// The floor: one thread that makes the one copy every hub must make (a
// fresh buffer for each message, filled from the producer's) and hands it
// to every consumer's check. No hub can deliver for less.
//
// The producers are stepped on this one thread: round robin when the
// workload runs flat out, by their schedules when it is paced.

#include <cstdlib>
#include <cstring>

#include "peers/peers.h"

namespace bench {

namespace {

// The producer to step next, or null when all are done.
Producer* nextProducer(PeerRun& run, std::size_t& cursor) {
    Producer* earliest = nullptr;
    for (std::size_t tried = 0; tried < run.producers.size(); ++tried) {
        Producer* candidate = run.producers[(cursor + tried) % run.producers.size()].get();
        if (candidate->done()) continue;
        if (candidate->dueNs() == 0) {
            cursor = (cursor + tried + 1) % run.producers.size();
            return candidate;
        }
        if (!earliest || candidate->dueNs() < earliest->dueNs()) earliest = candidate;
    }
    return earliest;
}

}  // namespace

bool runFloor(PeerRun& run, std::string& error) {
    if (run.config.fault == Fault::NoCopy) {
        error = "the floor delivers before the producer goes on, so it cannot skip the copy";
        return false;
    }
    auto send = [&run](const std::uint8_t* data, std::size_t bytes) {
        void* copy = std::malloc(bytes);
        if (copy == nullptr) return false;
        std::memcpy(copy, data, bytes);
        for (std::size_t c = 0; c < run.consumers.size(); ++c) {
            run.deliver(static_cast<int>(c), copy, bytes);
        }
        std::free(copy);
        return true;
    };
    const std::int64_t start = nowNs();
    for (auto& producer : run.producers) producer->start(start);
    std::size_t cursor = 0;
    while (Producer* producer = nextProducer(run, cursor)) {
        if (producer->dueNs() != 0) sleepUntilNs(producer->dueNs());
        producer->sendNext(send);
    }
    return true;
}

}  // namespace bench
