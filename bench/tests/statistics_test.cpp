// What the report says about the rounds: the statistics of a series and
// the pairing of runs into per-round ratios.

#include <gtest/gtest.h>

#include "harness/round_ratios.h"
#include "harness/statistics.h"

namespace bench {
namespace {

// Catches quartiles taken by nearest rank instead of interpolation, an
// interval whose order statistics are off by one, and one claimed where
// too few values leave it undefined.
TEST(StatisticsTest, QuartilesInterpolateAndTheMediansIntervalFollowsTheBinomial) {
    std::vector<double> fifteen;
    for (int i = 15; i >= 1; --i) fifteen.push_back(i);  // unsorted on purpose
    const Spread s = spreadOf(fifteen);
    EXPECT_EQ(s.count, 15);
    EXPECT_DOUBLE_EQ(s.median, 8);
    EXPECT_DOUBLE_EQ(s.lowerQuartile, 4.5);
    EXPECT_DOUBLE_EQ(s.upperQuartile, 11.5);
    EXPECT_DOUBLE_EQ(s.min, 1);
    EXPECT_DOUBLE_EQ(s.max, 15);
    // P(Binomial(15, 1/2) <= 3) = 0.018 and <= 4 = 0.059: the 4th and 12th values.
    ASSERT_TRUE(s.medianKnown);
    EXPECT_DOUBLE_EQ(s.medianLow, 4);
    EXPECT_DOUBLE_EQ(s.medianHigh, 12);

    const Spread four = spreadOf({4, 1, 3, 2});
    EXPECT_DOUBLE_EQ(four.median, 2.5);
    EXPECT_FALSE(four.medianKnown);  // 2 * (1/2)^4 > 5 %: not even the extremes suffice
    EXPECT_DOUBLE_EQ(spreadOf({6, 1, 2, 3, 4, 5}).medianLow, 1);  // 2 * (1/2)^6 < 5 %
}

RunOutcome ran(double throughput, bool passed = true) {
    RunOutcome o;
    o.passed = passed;
    o.throughput = throughput;
    return o;
}

// Catches a ratio to the strongest peer taken against a fixed peer or
// against the weaker one, and rounds paired across a failed run.
TEST(StatisticsTest, RatiosPairRoundsAndTakeTheStrongestPeerOfEachRound) {
    const auto figure = [](const RunOutcome& o) { return o.throughput; };
    const Runs subject{ran(12), ran(12), ran(12), ran(0, false)};
    const Runs first{ran(4), ran(2), ran(6, false), ran(3)};
    const Runs second{ran(3), ran(6), ran(2), ran(3)};
    EXPECT_EQ(roundRatios(subject, first, figure), (std::vector<double>{3, 6}));
    EXPECT_EQ(roundRatios(subject, second, figure), (std::vector<double>{4, 2, 6}));
    EXPECT_EQ(strongestPeerRatios(subject, {&first, &second}, figure), (std::vector<double>{3, 2}));
}

}  // namespace
}  // namespace bench
