#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "orrin/numeric.hpp"
#include "orrin/xgb2_prep.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct WeightCase {
    std::vector<double> weights;
    std::vector<std::int64_t> kept;
    std::vector<double> normalized;
};

class KeepPositiveWeights : public ::testing::TestWithParam<WeightCase> {};

TEST_P(KeepPositiveWeights, DropsRowsAndRescalesToTheKeptCount) {
    const WeightCase& c = GetParam();
    std::vector<std::int64_t> kept;
    std::vector<double> normalized;
    ASSERT_EQ(orrin::keep_positive_weights(c.weights.data(), c.weights.size(), kept, normalized),
              orrin::WeightStatus::ok);
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(normalized, c.normalized);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeepPositiveWeights,
    ::testing::Values(WeightCase{{0.0, 1.0, 2.0, 3.0}, {1, 2, 3}, {0.5, 1.0, 1.5}},
                      WeightCase{{1.0, 1.0, 1.0}, {0, 1, 2}, {1.0, 1.0, 1.0}},
                      WeightCase{{-1.0, kNaN, 4.0, 0.0, 4.0}, {2, 4}, {1.0, 1.0}},
                      WeightCase{{2.0}, {0}, {1.0}}));

class InvalidWeights : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(InvalidWeights, AreRefused) {
    const std::vector<double>& w = GetParam();
    std::vector<std::int64_t> kept;
    std::vector<double> normalized{7.0};
    EXPECT_EQ(orrin::keep_positive_weights(w.data(), w.size(), kept, normalized),
              orrin::WeightStatus::invalid);
    EXPECT_TRUE(normalized.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, InvalidWeights,
                         ::testing::Values(std::vector<double>{0.0, 0.0},
                                           std::vector<double>{-1.0, kNaN}, std::vector<double>{},
                                           std::vector<double>{1.0, kInf},
                                           std::vector<double>{1e308, 1e308}));

TEST(KeepPositiveWeightsSum, IsNumpysPairwiseSumOfTheKeptWeights) {
    std::vector<double> w;
    for (int i = 0; i < 1000; ++i) {
        w.push_back(i % 7 == 0 ? 0.0 : 0.1 * (i % 13) + 1e-3 * i);
    }
    std::vector<double> kept_values;
    for (double v : w) {
        if (v > 0.0) kept_values.push_back(v);
    }
    const double total = orrin::numpy_sum(kept_values.data(), kept_values.size());
    std::vector<std::int64_t> kept;
    std::vector<double> normalized;
    ASSERT_EQ(orrin::keep_positive_weights(w.data(), w.size(), kept, normalized),
              orrin::WeightStatus::ok);
    ASSERT_EQ(normalized.size(), kept_values.size());
    const double count = static_cast<double>(kept_values.size());
    for (std::size_t i = 0; i < kept_values.size(); ++i) {
        EXPECT_EQ(normalized[i], count * kept_values[i] / total);
    }
}

TEST(DistinctSortedSplits, SortsAndDeduplicatesPerSlot) {
    const std::vector<std::int32_t> slots{0, 1, -1, 0, 0, 1, 2, 5, 1};
    const std::vector<double> thresholds{3.0, 1.0, 9.0, -2.0, 3.0, kNaN, 0.5, 4.0, 1.0};
    const auto splits =
        orrin::distinct_sorted_splits(slots.data(), thresholds.data(), slots.size(), 4);
    ASSERT_EQ(splits.size(), 4u);
    EXPECT_EQ(splits[0], (std::vector<double>{-2.0, 3.0}));
    EXPECT_EQ(splits[1], (std::vector<double>{1.0}));
    EXPECT_EQ(splits[2], (std::vector<double>{0.5}));
    EXPECT_TRUE(splits[3].empty());
}

TEST(DistinctSortedSplits, NoNodesGiveEmptyLists) {
    const auto splits = orrin::distinct_sorted_splits(nullptr, nullptr, 0, 3);
    ASSERT_EQ(splits.size(), 3u);
    for (const auto& s : splits) EXPECT_TRUE(s.empty());
}

}  // namespace
