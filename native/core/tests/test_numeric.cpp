#include <gtest/gtest.h>

#include <vector>

#include "orrin/numeric.hpp"

TEST(PairwiseSum, SmallRunsAddInOrder) {
    const std::vector<double> a{1.0, 2.0, 3.0};
    EXPECT_EQ(orrin::numpy_sum(a.data(), a.size()), 6.0);
}

TEST(PairwiseSum, BlocksUseEightAccumulators) {
    // 1e16 + 1 + ... loses the ones in sequential order; eight partial sums keep some.
    std::vector<double> a(16, 1.0);
    a[0] = 1e16;
    double sequential = 0.0;
    for (double v : a) sequential += v;
    const double pairwise = orrin::numpy_sum(a.data(), a.size());
    EXPECT_NE(sequential, pairwise);
    const double r0 = 1e16 + 1.0;
    EXPECT_EQ(pairwise, ((r0 + 2.0) + (2.0 + 2.0)) + ((2.0 + 2.0) + (2.0 + 2.0)));
}

TEST(WeightedMean, ZeroWeightsAreRefused) {
    const std::vector<double> a{1.0, 2.0};
    const std::vector<double> w{0.0, 0.0};
    std::vector<double> scratch(2);
    double out = -1.0;
    EXPECT_FALSE(orrin::numpy_weighted_mean(a.data(), w.data(), 2, scratch.data(), out));
    EXPECT_EQ(out, -1.0);
}
