#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

#include "orrin/effect_counts.hpp"

namespace fx = orrin::effects;

namespace {

fx::LeafTerm term(double value, std::size_t f0, double lo0, double hi0) {
    fx::LeafTerm t;
    t.value = value;
    t.n_features = 1;
    t.feature[0] = f0;
    t.lo[0] = lo0;
    t.hi[0] = hi0;
    return t;
}

fx::LeafTerm term(double value, std::size_t f0, double lo0, double hi0, std::size_t f1, double lo1,
                  double hi1) {
    fx::LeafTerm t = term(value, f0, lo0, hi0);
    t.n_features = 2;
    t.feature[1] = f1;
    t.lo[1] = lo1;
    t.hi[1] = hi1;
    return t;
}

// Three features: mains on 0 and 2, pairs (0, 1) and (1, 2) on coarser sub grids.
fx::Ensemble ensemble() {
    fx::Ensemble e;
    e.num_feature = 3;
    e.base_margin = 0.25;
    e.terms = {term(1.5, 0, -HUGE_VAL, -0.3),
               term(-0.7, 0, 0.2, HUGE_VAL),
               term(0.9, 2, 0.1, 0.6),
               term(2.0, 0, -HUGE_VAL, 0.2, 1, -0.5, HUGE_VAL),
               term(-1.25, 0, 0.2, HUGE_VAL, 1, -HUGE_VAL, 0.4),
               term(0.3, 1, -HUGE_VAL, 0.0, 2, -0.2, HUGE_VAL)};
    return e;
}

struct Rows {
    std::vector<std::vector<std::uint32_t>> bins;  // per main effect
    std::size_t n;
};

Rows random_rows(const fx::EffectModel& model, std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    Rows rows{std::vector<std::vector<std::uint32_t>>(model.mains.size()), n};
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t k = 0; k < model.mains.size(); ++k) {
            const auto& s = model.mains[k].splits;
            rows.bins[k].push_back(
                static_cast<std::uint32_t>(fx::count_splits(s.data(), s.size(), u(gen), true)));
        }
    return rows;
}

std::vector<const std::uint32_t*> views(const Rows& rows, std::size_t offset) {
    std::vector<const std::uint32_t*> v;
    for (const auto& b : rows.bins) v.push_back(b.data() + offset);
    return v;
}

}  // namespace

class EffectCountsLaw : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

// Counts gathered in blocks of any size weigh the tables exactly as the rows do.
TEST_P(EffectCountsLaw, BlockCountsEqualRowWeighing) {
    const auto [purify, true_to_data] = GetParam();
    fx::PurifyOptions options;
    options.purify = purify;
    options.true_to_data = true_to_data;
    const fx::Ensemble e = ensemble();
    fx::EffectModel by_rows = fx::build_tables(e);
    ASSERT_EQ(by_rows.pairs.size(), 2u);
    const Rows rows = random_rows(by_rows, 1000, 7);
    fx::weigh_and_purify(by_rows, views(rows, 0), rows.n, options);

    fx::EffectModel by_counts = fx::build_tables(e);
    fx::EffectCounts total = fx::empty_counts(by_counts);
    for (std::size_t start : {0u, 1u, 334u, 999u}) {
        const std::size_t stop = start == 0 ? 1 : start == 1 ? 334 : start == 334 ? 999 : 1000;
        fx::EffectCounts block = fx::empty_counts(by_counts);
        fx::add_rows(by_counts, views(rows, start), stop - start, block);
        fx::add_counts(total, block);
    }
    ASSERT_EQ(total.n, 1000u);
    fx::weigh_and_purify_counts(by_counts, total, options);

    EXPECT_EQ(by_counts.intercept, by_rows.intercept);
    for (std::size_t k = 0; k < by_rows.mains.size(); ++k) {
        EXPECT_EQ(by_counts.mains[k].values, by_rows.mains[k].values);
        EXPECT_EQ(by_counts.mains[k].counts, by_rows.mains[k].counts);
        EXPECT_EQ(by_counts.mains[k].importance, by_rows.mains[k].importance);
    }
    for (std::size_t q = 0; q < by_rows.pairs.size(); ++q) {
        EXPECT_EQ(by_counts.pairs[q].values, by_rows.pairs[q].values);
        EXPECT_EQ(by_counts.pairs[q].importance, by_rows.pairs[q].importance);
    }
}

INSTANTIATE_TEST_SUITE_P(Options, EffectCountsLaw,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST(EffectCounts, MismatchedShapesAndEmptyCountsAreRejected) {
    fx::EffectModel model = fx::build_tables(ensemble());
    fx::EffectCounts counts = fx::empty_counts(model);
    EXPECT_THROW(fx::weigh_and_purify_counts(model, counts, {}), std::invalid_argument);
    fx::EffectCounts other = counts;
    other.mains.pop_back();
    EXPECT_THROW(fx::add_counts(counts, other), std::invalid_argument);
    counts.n = 3;
    counts.mains[0].push_back(3);
    EXPECT_THROW(fx::weigh_and_purify_counts(model, counts, {}), std::invalid_argument);
}
