// The harness's command line.
//
//   tessard_bench [--rounds N] [--workloads W1,W2,W3,W4] [--contenders a,b]
//                 [--scale F] [--fault NAME] [--out DIR] [--baseline]
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
    int rounds = 5;
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

    // All workloads and contenders, five rounds or more, unscaled, no fault:
    // the run whose results are published.
    bool full() const;
};

std::optional<Options> parseOptions(int argc, char** argv, std::string& error);
std::string usage();

}  // namespace bench
