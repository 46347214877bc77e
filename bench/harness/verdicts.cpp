#include "harness/verdicts.h"

#include <cstdio>

#include "harness/contenders.h"
#include "harness/round_ratios.h"
#include "harness/statistics.h"

namespace bench {

namespace {

// The goal the server's message path is held to.
constexpr double kGoalRatio = 3.0;
// What a change of the server may lose of its speed.
constexpr double kAllowedLoss = 0.05;

double throughputOf(const RunOutcome& o) { return o.throughput; }

const Runs& runsNamed(const BenchResults& r, const std::string& workload, const std::string& contender) {
    return r.outcomes.at(workload).at(contender);
}

const char* sideOf(const Spread& s) {
    if (s.medianHigh < 1) return "this build is slower";
    if (s.medianLow > 1) return "this build is faster";
    return "no difference beyond the noise of these rounds";
}

const char* lossOf(const Spread& s) {
    if (s.median >= 1) return "the median loses nothing";
    if (s.median >= 1 - kAllowedLoss) return "the median loses less than 5 %";
    return "the median loses 5 % or more";
}

}  // namespace

std::string goalMarkdown(const BenchResults& ratios) {
    std::string md = "Goal: the median of the per-round ratios to the strongest peer at least 3× on "
                     "each workload. This run:";
    for (const Workload& w : ratios.selection.workloads) {
        std::vector<const Runs*> peers;
        for (const std::string& p : hubPeersOf(ratios.selection.contenders)) {
            peers.push_back(&runsNamed(ratios, w.name, p));
        }
        const Spread s = spreadOf(strongestPeerRatios(runsNamed(ratios, w.name, "tessard"), peers, throughputOf));
        const char* reached = s.count == 0 ? "no round passed" : s.median >= kGoalRatio ? "met" : "not met";
        char line[96];
        std::snprintf(line, sizeof line, " %s %.2f× (%s);", w.name.c_str(), s.median, reached);
        md += line;
    }
    md.back() = '.';
    return md + "\n";
}

std::string buildComparisonMarkdown(const BenchResults& ratios) {
    std::string md;
    for (const Workload& w : ratios.selection.workloads) {
        const Spread s = spreadOf(roundRatios(runsNamed(ratios, w.name, "tessard"),
                                              runsNamed(ratios, w.name, "tessard-other"), throughputOf));
        md += "- " + w.name + ": ";
        if (!s.medianKnown) {
            md += "too few rounds passed to bound the median.\n";
            continue;
        }
        char line[200];
        std::snprintf(line, sizeof line, "this build ÷ the other %.3f×, 95 %% interval %.3f–%.3f: %s; %s.\n",
                      s.median, s.medianLow, s.medianHigh, sideOf(s), lossOf(s));
        md += line;
    }
    return md;
}

}  // namespace bench
