// One run of a peer contender inside the harness's child process: the
// workload's producers and consumers, the watch that ends the run, and the
// driver that runs the producers on threads of their own.
//
// Each peer builds its hub around a PeerRun: it gives every producer thread
// a send function and delivers to the consumers as its design does. The
// reports are written with the same code the server's plugins use.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "common/consumer.h"
#include "common/producer.h"
#include "common/run_config.h"
#include "common/start_gate.h"
#include "peers/delivery_watch.h"

namespace bench {

struct PeerRun {
    explicit PeerRun(const RunConfig& config);

    // Checks one delivery for consumer `index` and tells the watch when it
    // was the consumer's last message. Call on the consumer's own thread.
    void deliver(int index, const void* data, std::size_t bytes) {
        watch.delivered(index);
        if (consumers[index]->receive(data, bytes)) watch.consumerComplete();
    }
    bool writeReports() const;

    const RunConfig config;
    std::vector<std::unique_ptr<Producer>> producers;
    std::vector<std::unique_ptr<Consumer>> consumers;
    DeliveryWatch watch;
};

// Runs every producer on a thread of its own, all released together, each
// sending through the function `makeSend(index)` returns. Returns once they
// have finished.
template <typename MakeSend>
void runProducerThreads(PeerRun& run, MakeSend&& makeSend) {
    std::atomic<bool> stop{false};
    StartGate gate;
    std::vector<std::thread> threads;
    for (auto& producer : run.producers) {
        threads.emplace_back([&, p = producer.get()] {
            auto send = makeSend(p->producerIndex());
            gate.wait();
            runProducer(*p, send, stop);
        });
    }
    const std::int64_t start = nowNs();
    for (auto& producer : run.producers) producer->start(start);
    gate.open();
    for (std::thread& t : threads) t.join();
    run.watch.producersFinished();
}

}  // namespace bench
