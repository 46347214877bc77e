// Rounds: every selected workload run by every selected contender, round
// after round, in the same harness run.
//
// Within a round the contenders take turns on each workload, and the order
// of their turns shifts by one each round, so that none always runs first
// (on a warm or a cold machine).
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "harness/contenders.h"

namespace bench {

struct Selection {
    std::vector<Workload> workloads;
    std::vector<std::string> contenders;
    int rounds = 5;
    Fault fault = Fault::None;
};

struct BenchResults {
    Selection selection;
    // outcomes[workload name][contender], one per round in round order.
    std::map<std::string, std::map<std::string, std::vector<RunOutcome>>> outcomes;
    // The 1-minute load average as each round began: how much else the
    // machine was doing while the round was measured.
    std::vector<double> loadPerRound;
};

BenchResults runRounds(const Selection& selection, const BenchPaths& paths, std::ostream& log);

// One line about one run, for the progress log.
std::string describe(const Workload& workload, const RunOutcome& outcome);

}  // namespace bench
