// The Markdown report of a harness run: figures per workload and contender
// (median and range over the rounds), the per-round ratio of tessard to
// each peer, peak resident memory, failures with their counts, the machine,
// and the bare server's footprint.
#pragma once

#include <string>

#include "harness/machine.h"
#include "harness/rounds.h"
#include "harness/server_memory.h"

namespace bench {

// `baseline` may be null when it was not measured.
std::string resultsMarkdown(const BenchResults& results, const MachineInfo& machine,
                            const ServerBaseline* baseline);

// Every run's figures, one line per run, tab-separated.
std::string roundsTsv(const BenchResults& results);

}  // namespace bench
