// The contenders and how one run of one of them is made.
//
// "tessard" is the real server executable with the benchmark plugins in
// its plugins directory; the peers run in a child process of the harness
// (the harness itself, started with --peer), so that each run starts from
// a fresh heap and its peak memory is its own. Every run gets its own
// directory with its own HOME and TMPDIR, removed again unless the run
// failed (then it is kept for a look at the server's output).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/fault.h"
#include "common/workload.h"
#include "harness/judge.h"

namespace bench {

struct BenchPaths {
    std::string server;   // the tessard executable
    std::string plugins;  // where bench_producer.so and bench_consumer.so were built
    std::string self;     // this harness, for the peers' processes
    std::string scratch;  // run directories go here
};

// The built server and plugins, this executable, and `scratch`.
BenchPaths builtPaths(const std::string& scratch);

const std::vector<std::string>& contenderNames();
bool isContender(const std::string& name);
// Whether `fault` can be made in `contender` (a copy only hubs we drive
// can be made to skip).
bool faultApplies(const std::string& contender, Fault fault);

// Called about every `everyNs` while the server runs a workload, with its
// PID and the nanoseconds since the producers were started.
struct ServerSampler {
    std::int64_t everyNs = 0;
    std::function<void(pid_t, std::int64_t)> sample;
};

RunOutcome runContender(const std::string& contender, const Workload& workload, Fault fault,
                        const BenchPaths& paths);
RunOutcome runTessard(const Workload& workload, Fault fault, const BenchPaths& paths,
                      const ServerSampler* sampler = nullptr);
RunOutcome runPeer(const std::string& contender, const Workload& workload, Fault fault,
                   const BenchPaths& paths);

}  // namespace bench
