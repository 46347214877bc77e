#include "harness/statistics.h"

#include <gsl/gsl_cdf.h>
#include <gsl/gsl_statistics_double.h>

#include <algorithm>

namespace bench {

namespace {

constexpr double kConfidence = 0.95;

// The largest k such that the k-th smallest and the k-th largest of n
// values enclose the median with at least kConfidence: each tail may hold
// the median with at most half the rest, P(Binomial(n, 1/2) <= k - 1).
// 0 when even the smallest and largest are not enough.
std::size_t intervalRank(std::size_t n) {
    const double tail = (1.0 - kConfidence) / 2.0;
    const auto count = static_cast<unsigned>(n);
    unsigned k = 0;
    while (k + 1 <= count / 2 && gsl_cdf_binomial_P(k, 0.5, count) <= tail) ++k;
    return k;
}

}  // namespace

Spread spreadOf(std::vector<double> values) {
    Spread s;
    s.count = static_cast<int>(values.size());
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const double* sorted = values.data();
    const std::size_t n = values.size();
    s.median = gsl_stats_median_from_sorted_data(sorted, 1, n);
    s.lowerQuartile = gsl_stats_quantile_from_sorted_data(sorted, 1, n, 0.25);
    s.upperQuartile = gsl_stats_quantile_from_sorted_data(sorted, 1, n, 0.75);
    s.min = values.front();
    s.max = values.back();
    const std::size_t k = intervalRank(n);
    s.medianKnown = k > 0;
    if (s.medianKnown) {
        s.medianLow = values[k - 1];
        s.medianHigh = values[n - k];
    }
    return s;
}

}  // namespace bench
