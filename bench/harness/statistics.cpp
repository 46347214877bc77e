#include "harness/statistics.h"

#include <algorithm>

namespace bench {

Spread spreadOf(std::vector<double> values) {
    Spread s;
    s.count = static_cast<int>(values.size());
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    s.median = values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

}  // namespace bench
