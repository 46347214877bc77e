// The median and range of a figure over the rounds of a run.
#pragma once

#include <vector>

namespace bench {

struct Spread {
    int count = 0;
    double median = 0;
    double min = 0;
    double max = 0;
};

// For an even count the median is the mean of the middle two.
Spread spreadOf(std::vector<double> values);

}  // namespace bench
