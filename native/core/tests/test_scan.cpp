#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "orrin/histogram.hpp"
#include "orrin/numeric.hpp"
#include "orrin/scan.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reference 1-D pass: bins scored by the mean of their rows' scores (gathered in row order),
// weak bins merged into runs, runs with fewer than min_samples rows dropped.
std::vector<std::pair<double, double>> reference_regions(const std::vector<double>& x,
                                                         const std::vector<double>& s,
                                                         std::size_t bins, double limit,
                                                         double min_samples) {
    const orrin::Histogram h = orrin::build_histogram(x.data(), x.size(), bins);
    const std::size_t k = h.nbins();
    std::vector<std::vector<double>> members(k);
    for (std::size_t i = 0; i < x.size(); ++i) {
        std::size_t j = 0;
        while (j + 1 < k && x[i] >= h.edges[j + 1]) ++j;
        members[j].push_back(s[i]);
    }
    std::vector<std::pair<double, double>> out;
    std::size_t j = 0;
    while (j < k) {
        auto weak = [&](std::size_t b) {
            return !members[b].empty() &&
                   orrin::numpy_mean(members[b].data(), members[b].size()) >= limit;
        };
        if (!weak(j)) {
            ++j;
            continue;
        }
        std::size_t last = j;
        std::size_t count = members[j].size();
        while (last + 1 < k && weak(last + 1)) count += members[++last].size();
        if (static_cast<double>(count) >= min_samples) {
            out.emplace_back(h.edges[j], h.edges[last + 1]);
        }
        j = last + 1;
    }
    return out;
}

}  // namespace

TEST(ScanSingle, RegionsAreMergedRunsOfWeakBinsWithEnoughRows) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t n = 200 + 37 * static_cast<std::size_t>(trial);
        std::vector<double> x(n), s(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = u(gen);
            s[i] = u(gen) + (x[i] > 0.3 && x[i] < 0.6 ? 0.5 : 0.0);
        }
        const orrin::Histogram h = orrin::build_histogram(x.data(), n, 10);
        orrin::WeakRule rule;
        rule.limit = 0.6;
        rule.min_samples = 30;
        orrin::FitScores fit;
        fit.scores = s.data();
        const std::vector<orrin::ScanRegion> got = orrin::single_feature_regions(h, fit, rule);
        const auto want = reference_regions(x, s, 10, 0.6, 30);
        ASSERT_EQ(got.size(), want.size()) << trial;
        for (std::size_t r = 0; r < got.size(); ++r) {
            EXPECT_EQ(got[r].lb1, want[r].first);
            EXPECT_EQ(got[r].ub1, want[r].second);
            EXPECT_TRUE(std::isnan(got[r].lb2));
        }
    }
}

TEST(ScanPair, SecondFeatureIsBinnedInsideEveryFirstFeatureBin) {
    // The weak cell is x0 in the top half and x1 in its own top fifth of that bin.
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const std::size_t n = 4000;
    std::vector<double> x0(n), x1(n), s(n);
    for (std::size_t i = 0; i < n; ++i) {
        x0[i] = u(gen);
        x1[i] = u(gen);
        s[i] = x0[i] >= 0.5 && x1[i] >= 0.8 ? 1.0 : 0.0;
    }
    const orrin::Histogram h0 = orrin::build_histogram(x0.data(), n, 2);
    orrin::FitScores fit;
    fit.scores = s.data();
    orrin::WeakRule rule;
    rule.limit = 0.5;
    rule.min_samples = 1;
    orrin::FirstFeatureOrder order(h0, fit);
    const std::vector<orrin::ScanRegion> got = order.pair_regions(x1.data(), 1, 5, rule);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].lb1, h0.edges[1]);
    EXPECT_EQ(got[0].ub1, h0.hi);
    // The bin's own second-feature edges, not the global ones.
    double lo = 1.0, hi = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (x0[i] < h0.edges[1]) continue;
        lo = std::min(lo, x1[i]);
        hi = std::max(hi, x1[i]);
    }
    const std::vector<double> e = orrin::histogram_edges(lo, hi, 5);
    EXPECT_EQ(got[0].lb2, e[4]);
    EXPECT_EQ(got[0].ub2, hi);
    // The same order serves another second feature.
    const std::vector<orrin::ScanRegion> again = order.pair_regions(x0.data(), 1, 5, rule);
    EXPECT_TRUE(again.empty());
}

TEST(ScanSets, CountsScoresGapOrderAndExcess) {
    const std::vector<double> x = {0.0, 0.5, 1.0, 1.0, 0.2, 0.7};
    const std::vector<double> s = {1.0, 2.0, 3.0, 5.0, 1.0, 4.0};
    const std::vector<orrin::ScanRegion> regions = {
        {0.5, 1.0, kNaN, kNaN}, {0.0, 0.5, kNaN, kNaN}, {2.0, 3.0, kNaN, kNaN}};
    // The upper bound 1.0 is the maximum, so it is closed.
    const orrin::SetScores got = orrin::score_regions_on_set(
        regions, false, orrin::strided(x.data()), orrin::strided(x.data()), x.size(), 1.0, s.data(),
        nullptr, nullptr);
    EXPECT_EQ(got.counts, (std::vector<std::size_t>{4, 2, 0}));
    EXPECT_EQ(got.scores[0], (2.0 + 3.0 + 5.0 + 4.0) / 4.0);
    EXPECT_EQ(got.scores[1], 1.0);
    EXPECT_TRUE(std::isnan(got.scores[2]));
    EXPECT_EQ(orrin::gap_order({1.0, kNaN, 3.0, 1.0}), (std::vector<std::size_t>{2, 0, 3, 1}));
    const double overall = 2.0;
    const double excess = orrin::region_excess(got, {1, 0, 2}, x.size(), -1.0, overall);
    EXPECT_EQ(excess, 2.0 / 6.0 * -1.0 * (overall - 1.0) + 4.0 / 6.0 * -1.0 * (overall - 3.5));
}

TEST(ScanSets, ZeroWeightsScoreNaNAndAddNothing) {
    const std::vector<double> x = {0.0, 0.1, 0.9};
    const std::vector<double> s = {1.0, 2.0, 3.0};
    const std::vector<double> w = {0.0, 0.0, 1.0};
    const std::vector<orrin::ScanRegion> regions = {{0.0, 0.5, kNaN, kNaN}};
    const orrin::SetScores got =
        orrin::score_regions_on_set(regions, false, orrin::strided(x.data()),
                                    orrin::strided(x.data()), 3, 0.9, s.data(), w.data(), nullptr);
    EXPECT_EQ(got.counts[0], 2u);
    EXPECT_TRUE(std::isnan(got.scores[0]));
    EXPECT_EQ(orrin::region_excess(got, {0}, 3, -1.0, 1.0), 0.0);
}
