#include <gtest/gtest.h>

#include <cstring>
#include <random>
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

class SquaredDifferences : public ::testing::TestWithParam<std::size_t> {};

// The fused pass writes the same squares and returns the same sum, bit for bit, as the
// squares followed by numpy_sum, for lengths around the block and split boundaries.
TEST_P(SquaredDifferences, EqualSquaresThenNumpySum) {
    const std::size_t n = GetParam();
    std::mt19937_64 gen(n);
    std::lognormal_distribution<double> spread(0.0, 3.0);
    std::vector<double> m(2 * n + 1), out(n + 1, -1.0), ref(n);
    for (auto& v : m) v = (gen() % 2 ? 1.0 : -1.0) * spread(gen);
    // b is a strided column of the row-major (n, 2) matrix, a a contiguous copy of column 0.
    std::vector<double> a(n);
    for (std::size_t i = 0; i < n; ++i) a[i] = m[2 * i];
    const orrin::StridedColumn col_a = orrin::strided(a.data());
    const orrin::StridedColumn col_b = orrin::strided(m.data() + 1, 2);
    for (std::size_t i = 0; i < n; ++i) {
        const double d = a[i] - m[2 * i + 1];
        ref[i] = d * d;
    }
    const double sum = orrin::squared_differences_sum(col_a, col_b, n, out.data());
    const double expected = orrin::numpy_sum(ref.data(), n);
    EXPECT_EQ(std::memcmp(&sum, &expected, sizeof sum), 0) << sum << " vs " << expected;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(out[i], ref[i]) << i;
    EXPECT_EQ(out[n], -1.0);  // nothing written past the end
}

INSTANTIATE_TEST_SUITE_P(Lengths, SquaredDifferences,
                         ::testing::Values(0, 1, 7, 8, 127, 128, 129, 136, 255, 256, 257, 1000,
                                           4099, 100003));
