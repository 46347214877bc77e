// The contenders and how one run of one of them is made.
//
// "tessard" is the real server executable with the benchmark plugins in
// its plugins directory; "tessard-other" is the server of another build
// tree with the same plugins, for comparing two builds. The peers run in a child process of the harness
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
    std::string otherServer;  // another build's, for "tessard-other"; may be empty
    std::string plugins;  // where bench_producer.so and bench_consumer.so were built
    std::string self;     // this harness, for the peers' processes
    std::string scratch;  // run directories go here
};

// The built server and plugins, this executable, and `scratch`.
BenchPaths builtPaths(const std::string& scratch);

// Every contender a full run has, the server first.
const std::vector<std::string>& contenderNames();
bool isContender(const std::string& name);
// The contender a name stands for: a known one, or an older name of one
// ("zmq-poll" is now "zmq-unbounded"); empty for an unknown name.
std::string contenderNamed(const std::string& name);
// The contenders of the ratio rounds: the server and ZeroMQ at its best
// (bounded) and as it was first set up (unbounded).
const std::vector<std::string>& ratioContenders();
// The peers, of those in `contenders`, against which the server's ratio to
// the strongest is taken: every hub, not the floor (a bound, not a hub),
// nor another build of the server.
std::vector<std::string> hubPeersOf(const std::vector<std::string>& contenders);
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
