#include "harness/round_ratios.h"

#include <algorithm>

namespace bench {

std::vector<double> roundRatios(const Runs& subject, const Runs& peer, const FigureOf& figure) {
    return strongestPeerRatios(subject, {&peer}, figure);
}

std::vector<double> strongestPeerRatios(const Runs& subject, const std::vector<const Runs*>& peers,
                                        const FigureOf& figure) {
    std::vector<double> ratios;
    if (peers.empty()) return ratios;
    for (std::size_t round = 0; round < subject.size(); ++round) {
        if (!subject[round].passed) continue;
        double strongest = 0;
        bool complete = true;
        for (const Runs* peer : peers) {
            complete = complete && round < peer->size() && (*peer)[round].passed;
            if (complete) strongest = std::max(strongest, figure((*peer)[round]));
        }
        if (complete && strongest > 0) ratios.push_back(figure(subject[round]) / strongest);
    }
    return ratios;
}

}  // namespace bench
