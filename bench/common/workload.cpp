#include "common/workload.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

constexpr std::size_t KiB = 1024;

Workload smallEvents() {
    Workload w;
    w.name = "W1";
    w.title = "small events";
    w.producers = 1;
    w.messagesPerProducer = 1000000;
    w.payloadBytes = 64;
    w.consumers = 4;
    w.figure = Figure::MessagesPerSecond;
    return w;
}

Workload videoFrames() {
    Workload w;
    w.name = "W2";
    w.title = "video frames";
    w.producers = 4;
    w.messagesPerProducer = 5000;
    w.payloadBytes = 256 * KiB;
    w.consumers = 2;
    w.figure = Figure::GigabytesPerSecond;
    return w;
}

Workload fanOut(int consumers) {
    Workload w;
    w.name = "W3K" + std::to_string(consumers);
    w.title = "fan-out, K=" + std::to_string(consumers);
    w.producers = 1;
    w.messagesPerProducer = 200000;
    w.payloadBytes = 4 * KiB;
    w.consumers = consumers;
    w.figure = Figure::MessagesPerSecond;
    return w;
}

// 32 cameras at 30 frames a second: the recording load.
Workload recordingLoad(int seconds) {
    Workload w;
    w.name = "W4";
    w.title = "recording load";
    w.producers = 32;
    w.ratePerSecond = 30;
    w.messagesPerProducer = static_cast<std::int64_t>(w.ratePerSecond) * seconds;
    w.payloadBytes = 64 * KiB;
    w.consumers = 2;
    w.figure = Figure::Latency;
    return w;
}

}  // namespace

double Workload::scheduledSeconds() const {
    return paced() ? static_cast<double>(messagesPerProducer) / ratePerSecond : 0.0;
}

const std::vector<int>& fanOutDegrees() {
    static const std::vector<int> degrees{1, 2, 8, 32};
    return degrees;
}

std::vector<Workload> standardWorkloads() {
    std::vector<Workload> all{smallEvents(), videoFrames()};
    for (int k : fanOutDegrees()) all.push_back(fanOut(k));
    all.push_back(recordingLoad(10));
    return all;
}

std::vector<Workload> ratioWorkloads() {
    Workload w1 = smallEvents();
    w1.messagesPerProducer = 4000000;
    Workload w3 = fanOut(32);
    w3.messagesPerProducer = 400000;
    return {w1, w3};
}

std::optional<Workload> workloadNamed(const std::string& name) {
    for (const Workload& w : standardWorkloads()) {
        if (w.name == name) return w;
    }
    return std::nullopt;
}

Workload soakWorkload(int seconds) {
    Workload w = recordingLoad(seconds);
    w.name = "W4-soak";
    w.title = "recording load, " + std::to_string(seconds) + " s soak";
    return w;
}

Workload scaled(Workload workload, double factor) {
    const double count = std::round(static_cast<double>(workload.messagesPerProducer) * factor);
    workload.messagesPerProducer = std::max<std::int64_t>(2, static_cast<std::int64_t>(count));
    return workload;
}

}  // namespace bench
