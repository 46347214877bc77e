// The Markdown report of a harness run, in parts the run puts together:
// - the ratio rounds: the server's per-round ratio to each ZeroMQ set-up
//   and to the strongest of them on W1 and W3 at K = 32 (or to another
//   build of the server), with median, quartiles, range and the median's
//   95 % interval, and the figures behind them;
// - the survey: figures per workload and contender (median and range over
//   the rounds), the per-round ratio of the server to each peer and to the
//   strongest hub, peak resident memory;
// - failures with their counts, the machine and its load.
#pragma once

#include <string>

#include "harness/machine.h"
#include "harness/rounds.h"

namespace bench {

// The ratio of the first contender of `results` to each of the others and
// to the strongest of the hubs among them, round by round.
std::string ratioRoundsMarkdown(const BenchResults& results);

// Every workload's figures, ratios and memory.
std::string surveyMarkdown(const BenchResults& results);

// Every failed run of `results`, or a line saying there was none.
std::string failuresMarkdown(const BenchResults& results);

std::string machineMarkdown(const MachineInfo& machine);

// Every run's figures, one line per run, tab-separated.
std::string roundsTsv(const BenchResults& results);

}  // namespace bench
