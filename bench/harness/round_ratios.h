// Ratios taken round by round: the server's figure over a peer's from the
// same round, so that what the machine was doing in that round weighs on
// both alike. Only rounds in which both runs passed give a ratio.
#pragma once

#include <functional>
#include <vector>

#include "harness/judge.h"

namespace bench {

using Runs = std::vector<RunOutcome>;  // one per round, in round order
using FigureOf = std::function<double(const RunOutcome&)>;

// subject ÷ peer for every round in which both passed.
std::vector<double> roundRatios(const Runs& subject, const Runs& peer, const FigureOf& figure);

// subject ÷ the highest figure among `peers` in each round in which the
// subject and every peer passed: the ratio to the strongest peer of that
// round, whichever it was.
std::vector<double> strongestPeerRatios(const Runs& subject, const std::vector<const Runs*>& peers,
                                        const FigureOf& figure);

}  // namespace bench
