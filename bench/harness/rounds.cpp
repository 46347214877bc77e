#include "harness/rounds.h"

#include <cstdio>

#include "harness/machine.h"

namespace bench {

std::string describe(const Workload& workload, const RunOutcome& o) {
    if (!o.passed) return "FAILED: " + o.failure;
    char line[160];
    if (workload.figure == Figure::Latency) {
        std::snprintf(line, sizeof line, "p50 %.0f us, p99 %.0f us, max %.0f us", o.latency.p50Us,
                      o.latency.p99Us, o.latency.maxUs);
    } else if (workload.figure == Figure::GigabytesPerSecond) {
        std::snprintf(line, sizeof line, "%.3f GB/s", o.throughput);
    } else {
        std::snprintf(line, sizeof line, "%.0f messages/s", o.throughput);
    }
    return std::string(line) + ", peak RSS " + std::to_string(o.peakRssKiB / 1024) + " MiB";
}

BenchResults runRounds(const Selection& selection, const BenchPaths& paths, std::ostream& log) {
    BenchResults results{selection, {}, {}};
    const std::size_t turns = selection.contenders.size();
    for (int round = 0; round < selection.rounds; ++round) {
        results.loadPerRound.push_back(oneMinuteLoad());
        for (const Workload& workload : selection.workloads) {
            for (std::size_t turn = 0; turn < turns; ++turn) {
                const std::string& contender =
                    selection.contenders[(turn + static_cast<std::size_t>(round)) % turns];
                RunOutcome outcome = runContender(contender, workload, selection.fault, paths);
                log << "round " << round + 1 << '/' << selection.rounds << ' ' << workload.name
                    << ' ' << contender << ": " << describe(workload, outcome) << std::endl;
                results.outcomes[workload.name][contender].push_back(std::move(outcome));
            }
        }
    }
    return results;
}

}  // namespace bench
