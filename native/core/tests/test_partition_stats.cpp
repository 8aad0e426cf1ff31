#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "orrin/partition_stats.hpp"

namespace part = orrin::partition;

namespace {

std::vector<double> random_values(std::size_t n, unsigned seed, int distinct) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> d(0, distinct - 1);
    std::vector<double> v(n);
    for (double& x : v) x = d(gen) * 0.25 - 1.0;
    return v;
}

}  // namespace

TEST(PartitionStats, CompensatedSumKeepsWhatPlainAdditionLoses) {
    part::CompensatedSum s;
    s.add(1e16);
    for (int i = 0; i < 1000; ++i) s.add(1.0);
    s.add(-1e16);
    EXPECT_EQ(s.hi + s.lo, 1000.0);
}

class DistinctCap : public ::testing::TestWithParam<int> {};

// Capped distinct values of blocks, united and cut at the cap, count as the whole column does.
TEST_P(DistinctCap, UnionOfBlocksMatchesTheWholeColumn) {
    const std::size_t cap = 10;
    const auto x = random_values(999, 3, GetParam());
    std::set<double> all(x.begin(), x.end());
    std::set<double> united;
    for (std::size_t start = 0; start < x.size(); start += 250) {
        const std::size_t n = std::min<std::size_t>(250, x.size() - start);
        const auto s = part::summarize(orrin::strided(x.data() + start), n, cap);
        united.insert(s.distinct.begin(), s.distinct.end());
        EXPECT_LE(s.distinct.size(), cap);
        EXPECT_EQ(s.min, *std::min_element(x.begin() + start, x.begin() + start + n));
    }
    EXPECT_EQ(std::min(united.size(), cap), std::min(all.size(), cap));
}

INSTANTIATE_TEST_SUITE_P(Distinct, DistinctCap, ::testing::Values(1, 4, 9, 10, 11, 40));

TEST(PartitionStats, SummaryFlagsNaNAndTreatsSignedZerosAsOne) {
    const std::vector<double> x = {0.0, -0.0, NAN, 2.0};
    const auto s = part::summarize(orrin::strided(x.data()), x.size(), 10);
    EXPECT_TRUE(s.has_nan);
    EXPECT_EQ(s.distinct.size(), 2u);
    EXPECT_EQ(s.max, 2.0);
}

// Cells of two features: each row lands in the bin of its second value within the bin of its
// first; the maximum of each falls into the last bin.
TEST(PartitionStats, CellSumsOfTwoFeatures) {
    const std::vector<double> x0 = {0.0, 0.5, 1.0, 1.0, 0.2};
    const std::vector<double> x1 = {5.0, 6.0, 1.0, 3.0, 7.0};
    const std::vector<double> scores = {1, 2, 3, 4, 5};
    const std::vector<double> weights = {1, 1, 2, 0, 1};
    const std::vector<double> edges0 = {0.0, 0.5, 1.0};
    const std::vector<std::vector<double>> edges1 = {{5.0, 6.0, 7.0}, {1.0, 2.0, 3.0, 6.0}};
    const auto x1c = orrin::strided(x1.data());
    const auto s = part::cell_sums(orrin::strided(x0.data()), &x1c, x0.size(), edges0, edges1,
                                   scores.data(), weights.data());
    ASSERT_EQ(s.count.size(), 5u);
    EXPECT_EQ(s.count, (std::vector<std::uint64_t>{1, 1, 1, 0, 2}));
    EXPECT_EQ(s.scores[1].hi, 5.0);
    EXPECT_EQ(s.products[4].hi, 1.0 * 2 + 0.0 * 4);
    const std::vector<std::vector<double>> missing = {{5.0, 7.0}, {}};
    EXPECT_THROW(part::cell_sums(orrin::strided(x0.data()), &x1c, x0.size(), edges0, missing,
                                 scores.data(), nullptr),
                 std::invalid_argument);
}

// The second bound closes when the largest second value inside the first bound equals it.
TEST(PartitionStats, ClosingSumsDecideTheSecondBound) {
    const std::vector<double> x0 = {0.1, 0.2, 0.3, 0.9};
    const std::vector<double> x1 = {1.0, 2.0, 2.0, 9.0};
    const std::vector<double> scores = {1, 10, 100, 1000};
    const orrin::RegionMembership first({{0.0, 0.5, false}, {0.0, 1.0, true}}, {});
    const std::vector<orrin::Bound> second = {{1.0, 2.0, false}, {1.0, 2.0, false}};
    const auto s = part::region_sums_closing_second(first, second, orrin::strided(x0.data()),
                                                    orrin::strided(x1.data()), x0.size(),
                                                    scores.data(), nullptr);
    EXPECT_EQ(s.inside.count, (std::vector<std::uint64_t>{1, 1}));
    EXPECT_EQ(s.on.count, (std::vector<std::uint64_t>{2, 2}));
    EXPECT_EQ(s.on_bound, (std::vector<std::uint64_t>{2, 2}));
    EXPECT_EQ(s.beyond, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(s.on.scores[0].hi, 110.0);
}
