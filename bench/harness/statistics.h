// What the rounds of a run say about one figure or one ratio: its median,
// quartiles and range, and how far the median itself can be trusted.
//
// The quantiles and the binomial distribution come from GSL. Quartiles
// interpolate linearly between the sorted values (GSL's and R's default);
// for an even count the median is the mean of the middle two.
#pragma once

#include <vector>

namespace bench {

struct Spread {
    int count = 0;
    double median = 0;
    double lowerQuartile = 0;
    double upperQuartile = 0;
    double min = 0;
    double max = 0;
    // The distribution-free 95 % confidence interval of the median: two
    // sorted values chosen by the binomial distribution, so that it assumes
    // nothing about how the figures are spread. Without it (fewer than six
    // values) `medianKnown` is false.
    bool medianKnown = false;
    double medianLow = 0;
    double medianHigh = 0;
};

Spread spreadOf(std::vector<double> values);

}  // namespace bench
