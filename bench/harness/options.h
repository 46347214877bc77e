// The harness's command line.
//
//   tessard_bench [--rounds N] [--ratio-rounds N] [--workloads W1,W2,W3,W4]
//                 [--contenders a,b] [--scale F] [--fault NAME] [--out DIR]
//                 [--baseline]
//   tessard_bench --quick [--ratio-rounds N]
//   tessard_bench --compare-build DIR [--ratio-rounds N] [--scale F]
//   tessard_bench --soak [--seconds N] [--sample-every N] [--out DIR]
//   tessard_bench --idle [--seconds N]
//   tessard_bench --peer NAME --config FILE     (the harness's own child)
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/fault.h"
#include "common/workload.h"

namespace bench {

struct Options {
    enum class Mode { Rounds, Soak, Idle, Peer, Help };
    Mode mode = Mode::Rounds;
    int rounds = 5;          // rounds of the survey (every workload); 0: none
    int ratioRounds = 0;     // rounds of ratioWorkloads(); 0: none
    std::string compareBuild;  // another build tree whose server is compared with this one
    std::vector<Workload> workloads;
    std::vector<std::string> contenders;
    double scale = 1.0;
    Fault fault = Fault::None;
    std::string out;        // empty: the default for the mode
    bool baseline = false;  // also measure the bare server
    int seconds = 0;        // soak or idle length; 0: the default
    int sampleSeconds = 5;
    std::string peer;
    std::string config;

    // All workloads and contenders, five rounds or more, unscaled, no fault,
    // and twelve ratio rounds or more: the run whose results are published.
    bool full() const;
    // The survey has every workload and contender, unscaled, without a fault.
    bool fullSurvey() const;
};

std::optional<Options> parseOptions(int argc, char** argv, std::string& error);
std::string usage();

}  // namespace bench
