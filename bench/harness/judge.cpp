#include "harness/judge.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace bench {

namespace {

void checkProducers(const Workload& w, const RunReports& r, std::ostringstream& faults) {
    for (std::size_t i = 0; i < r.producers.size(); ++i) {
        const auto& p = r.producers[i];
        if (!p) {
            faults << "producer " << i << " wrote no report; ";
        } else if (p->sent != w.messagesPerProducer || p->refused != 0) {
            faults << "producer " << i << " sent " << p->sent << " of " << w.messagesPerProducer
                   << " (" << p->refused << " refused); ";
        }
    }
}

void checkConsumers(const Workload& w, const RunReports& r, std::ostringstream& faults) {
    for (std::size_t i = 0; i < r.consumers.size(); ++i) {
        const auto& c = r.consumers[i];
        if (!c) {
            faults << "consumer " << i << " wrote no report; ";
            continue;
        }
        const bool clean = c->inOrder == w.totalMessages() && c->received == w.totalMessages() &&
                           c->lost == 0 && c->reordered == 0 && c->corrupt == 0 &&
                           c->wrongLength == 0;
        if (clean) continue;
        faults << "consumer " << i << " received " << c->received << " of " << w.totalMessages()
               << " (lost " << c->lost << ", reordered " << c->reordered << ", corrupt "
               << c->corrupt << ", wrong length " << c->wrongLength << "); ";
    }
}

std::int64_t elapsedOf(const RunReports& r) {
    std::int64_t first = INT64_MAX;
    std::int64_t last = 0;
    for (const auto& p : r.producers) first = std::min(first, p->firstSendNs);
    for (const auto& c : r.consumers) last = std::max(last, c->lastDeliveryNs);
    return last - first;
}

// Latency of each message at its last consumer: the latest delivery less
// the send. The checks above guarantee every message was delivered.
std::vector<double> latenciesOf(const Workload& w, const RunReports& r) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(w.totalMessages()));
    for (int p = 0; p < w.producers; ++p) {
        for (std::int64_t s = 0; s < w.messagesPerProducer; ++s) {
            std::int64_t latest = 0;
            for (const auto& c : r.consumers) {
                latest = std::max(latest, c->deliveryTimes[p * w.messagesPerProducer + s]);
            }
            us.push_back(static_cast<double>(latest - r.producers[p]->sendTimes[s]) / 1000.0);
        }
    }
    std::sort(us.begin(), us.end());
    return us;
}

bool timesComplete(const Workload& w, const RunReports& r) {
    const auto total = static_cast<std::size_t>(w.totalMessages());
    for (const auto& p : r.producers) {
        if (p->sendTimes.size() != static_cast<std::size_t>(w.messagesPerProducer)) return false;
    }
    for (const auto& c : r.consumers) {
        if (c->deliveryTimes.size() != total) return false;
    }
    return true;
}

void setFigures(const Workload& w, const RunReports& r, RunOutcome& out) {
    out.elapsedNs = elapsedOf(r);
    const double seconds = static_cast<double>(out.elapsedNs) / 1e9;
    const double messages = static_cast<double>(w.totalMessages());
    out.throughput = w.figure == Figure::GigabytesPerSecond
                         ? messages * static_cast<double>(w.payloadBytes) / 1e9 / seconds
                         : messages / seconds;
    if (!w.recordsLatency()) return;
    out.latenciesUs = latenciesOf(w, r);
    out.latency = {quantileOf(out.latenciesUs, 0.50), quantileOf(out.latenciesUs, 0.99),
                   out.latenciesUs.back()};
}

}  // namespace

RunOutcome judge(const Workload& w, const RunReports& r) {
    std::ostringstream faults;
    if (r.producers.size() != static_cast<std::size_t>(w.producers) ||
        r.consumers.size() != static_cast<std::size_t>(w.consumers)) {
        return failedRun("the reports do not match the workload");
    }
    checkProducers(w, r, faults);
    checkConsumers(w, r, faults);
    if (faults.str().empty() && w.recordsLatency() && !timesComplete(w, r)) {
        faults << "latency times missing; ";
    }
    if (!faults.str().empty()) {
        std::string why = faults.str();
        return failedRun(why.substr(0, why.size() - 2));
    }
    RunOutcome out;
    out.passed = true;
    setFigures(w, r, out);
    return out;
}

RunReports readReports(const Workload& w, const std::string& directory) {
    RunReports r;
    for (int i = 0; i < w.producers; ++i) {
        r.producers.push_back(readProducerReport(producerReportPath(directory, i)));
    }
    for (int i = 0; i < w.consumers; ++i) {
        r.consumers.push_back(readConsumerReport(consumerReportPath(directory, i)));
    }
    return r;
}

RunOutcome failedRun(const std::string& why) {
    RunOutcome out;
    out.passed = false;
    out.failure = why;
    return out;
}

double quantileOf(const std::vector<double>& sorted, double quantile) {
    if (sorted.empty()) return 0;
    const auto rank = static_cast<std::size_t>(std::ceil(quantile * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

}  // namespace bench
