// The plots of a harness run, drawn by gnuplot: W3's messages/s against the
// number of consumers (one line per contender) and W4's latency
// distribution (one curve per contender, all passed rounds pooled). The
// data and scripts stay beside the PNGs, so a plot can be redrawn by hand.
#pragma once

#include <string>
#include <vector>

#include "harness/rounds.h"

namespace bench {

// Writes the data and scripts into `directory` and runs gnuplot on each.
// Returns the PNG files made; `note` says why one could not be.
std::vector<std::string> writePlots(const BenchResults& results, const std::string& directory,
                                    std::string& note);

}  // namespace bench
