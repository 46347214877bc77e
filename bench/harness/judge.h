// Judging one run from its reports: did every consumer get every message,
// intact and in order, and what figure did the run reach?
//
// This is the one place that decides pass or fail, for every contender
// alike. A run that lost, reordered, tore or refused a single message is a
// failure, and its figure is not reported; the failure names the counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/reports.h"
#include "common/workload.h"

namespace bench {

struct LatencySummary {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
};

struct RunOutcome {
    bool passed = false;
    std::string failure;     // what went wrong, with counts; empty when passed
    std::int64_t elapsedNs = 0;  // first send to last delivery
    double throughput = 0;   // messages/s or payload GB/s, by the workload's figure
    LatencySummary latency;  // latency workloads
    std::vector<double> latenciesUs;  // every message, at its last consumer
    std::int64_t peakRssKiB = 0;  // the contender's process at its peak
};

// Reports of a run; a missing report (a contender that wrote none) is a
// failure in itself.
struct RunReports {
    std::vector<std::optional<ProducerReport>> producers;
    std::vector<std::optional<ConsumerReport>> consumers;
};

RunOutcome judge(const Workload& workload, const RunReports& reports);

// The reports a run left in `directory`, one slot for each producer and
// consumer of the workload.
RunReports readReports(const Workload& workload, const std::string& directory);

// A failed run, for a contender that could not even produce reports.
RunOutcome failedRun(const std::string& why);

// The value at `quantile` (0..1) of sorted `values`, nearest rank.
double quantileOf(const std::vector<double>& sorted, double quantile);

}  // namespace bench
