// The workloads, defined once: every contender runs these same definitions.
//
// A workload is a number of producer threads, each sending a fixed number of
// messages of one payload size, and a number of consumers that each receive
// every message. Paced workloads (a rate per producer) measure latency;
// the others run flat out and measure throughput from the first send to the
// last delivery.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// What a workload's headline figure is.
enum class Figure { MessagesPerSecond, GigabytesPerSecond, Latency };

struct Workload {
    std::string name;   // "W1", "W2", "W3K8", "W4", "W4-soak"
    std::string title;  // what it stands for, for the report
    int producers = 1;
    std::int64_t messagesPerProducer = 0;
    std::size_t payloadBytes = 0;
    int consumers = 1;
    int ratePerSecond = 0;  // per producer; 0 runs flat out
    Figure figure = Figure::MessagesPerSecond;

    std::int64_t totalMessages() const { return producers * messagesPerProducer; }
    bool paced() const { return ratePerSecond > 0; }
    // Paced workloads are the latency workloads: only they time every message.
    bool recordsLatency() const { return paced(); }
    // The seconds a paced workload takes by its schedule; 0 when flat out.
    double scheduledSeconds() const;
};

// The smallest payload that can carry a stamp at both ends.
constexpr std::size_t kMinimumPayload = 16;

// The fan-out degrees of W3.
const std::vector<int>& fanOutDegrees();

// W1, W2, W3 for every degree (W3K1 ...), W4, in report order.
std::vector<Workload> standardWorkloads();

// The workloads whose ratio to the strongest peer is the benchmark's
// verdict, W1 and W3 at K = 32, lengthened so that even the fastest
// contender runs for about a second: W1 with 4,000,000 messages, W3K32
// with 400,000. They keep their names.
std::vector<Workload> ratioWorkloads();

// A standard workload by name ("W3K8"), or nothing.
std::optional<Workload> workloadNamed(const std::string& name);

// W4 run for `seconds` instead of its ten: the memory soak.
Workload soakWorkload(int seconds);

// The same workload with its message counts scaled by `factor` (at least
// two messages a producer), for quick iterations and tests.
Workload scaled(Workload workload, double factor);

}  // namespace bench
