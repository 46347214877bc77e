// What the ratio rounds conclude, in a sentence or two of Markdown: whether
// the server reaches its goal against ZeroMQ, or how this build compares
// with another one.
#pragma once

#include <string>

#include "harness/rounds.h"

namespace bench {

// Whether, on each workload, the median of the server's per-round ratios
// to the strongest peer of the round reaches the goal of 3×.
std::string goalMarkdown(const BenchResults& ratios);

// For each workload of a comparison ("tessard" against "tessard-other"):
// the median ratio and its interval, whether the interval holds 1, and
// whether the median loses 5 % or more.
std::string buildComparisonMarkdown(const BenchResults& ratios);

}  // namespace bench
