#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "orrin/marginal_plot.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct LinspaceCase {
    double start, stop;
    std::size_t num;
};

class PlotLinspace : public ::testing::TestWithParam<LinspaceCase> {};

TEST_P(PlotLinspace, StartPlusIndexTimesStepEndingExactlyAtStop) {
    const LinspaceCase c = GetParam();
    const std::vector<double> v = orrin::numpy_linspace(c.start, c.stop, c.num);
    ASSERT_EQ(v.size(), c.num);
    const double step = (c.stop - c.start) / static_cast<double>(c.num - 1);
    for (std::size_t i = 0; i + 1 < c.num; ++i) {
        EXPECT_EQ(v[i], static_cast<double>(i) * step + c.start) << i;
    }
    EXPECT_EQ(v.back(), c.stop);
}

INSTANTIATE_TEST_SUITE_P(Ranges, PlotLinspace,
                         ::testing::Values(LinspaceCase{0.0, 1.0, 11},
                                           LinspaceCase{-3.3, 7.1, 1000}, LinspaceCase{0.1, 0.7, 2},
                                           LinspaceCase{5.0, -5.0, 7}));

TEST(PlotLinspaceConstant, RepeatsStart) {
    const std::vector<double> v = orrin::numpy_linspace(2.5, 2.5, 10);
    for (double e : v) EXPECT_EQ(e, 2.5);
}

TEST(PlotScoreCurve, RulesSetTheirGridPointsUpperBoundOpenUnlessMaximum) {
    const auto c = orrin::score_curve(0.0, 4.0, 5, {{0.0, 2.0, 1.5}, {2.0, 4.0, 3.0}});
    EXPECT_EQ(c.x, (std::vector<double>{0.0, 1.0, 2.0, 3.0, 4.0}));
    EXPECT_EQ(c.y, (std::vector<double>{1.5, 1.5, 3.0, 3.0, 3.0}));
    const auto open = orrin::score_curve(0.0, 4.0, 5, {{1.0, 3.0, 7.0}});
    EXPECT_EQ(open.y, (std::vector<double>{0.0, 7.0, 7.0, 0.0, 0.0}));
}

TEST(PlotScoreCurve, NarrowRuleInsertsTenPointsBetweenItsNeighbours) {
    const auto c = orrin::score_curve(0.0, 4.0, 5, {{1.2, 1.4, 9.0}, {1.25, 1.3, 5.0}});
    const std::vector<double> ten = orrin::numpy_linspace(1.2, 1.4, 10);
    ASSERT_EQ(c.x.size(), 15u);
    EXPECT_EQ(c.x[1], 1.0);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(c.x[2 + i], ten[i]);
    EXPECT_EQ(c.x[12], 2.0);
    // The second rule finds points of the refined grid and does not refine again.
    for (std::size_t i = 0; i < 10; ++i) {
        const bool inner = ten[i] >= 1.25 && ten[i] < 1.3;
        EXPECT_EQ(c.y[2 + i], inner ? 5.0 : 9.0) << i;
    }
}

TEST(PlotScoreCurve, RuleBeforeTheFirstPointGoesFirst) {
    const auto c = orrin::score_curve(0.0, 4.0, 5, {{0.0, 0.0, 2.0}});
    ASSERT_EQ(c.x.size(), 15u);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(c.x[i], 0.0);
        EXPECT_EQ(c.y[i], 2.0);
    }
    EXPECT_EQ(c.x[10], 0.0);
    EXPECT_EQ(c.y[10], 0.0);
}

TEST(PlotScoreCurve, RuleBeyondTheLastPointGoesLast) {
    const auto c = orrin::score_curve(0.0, 4.0, 5, {{5.0, 6.0, 2.0}});
    ASSERT_EQ(c.x.size(), 15u);
    EXPECT_EQ(c.x[5], 5.0);
    EXPECT_EQ(c.x.back(), 6.0);
}

class PlotBadRule : public ::testing::TestWithParam<orrin::CurveRule> {};

TEST_P(PlotBadRule, IsRefused) {
    EXPECT_THROW(orrin::score_curve(0.0, 4.0, 5, {{0.0, 1.0, 1.0}, GetParam()}),
                 std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Bounds, PlotBadRule,
                         ::testing::Values(orrin::CurveRule{2.0, 1.0, 0.0},
                                           orrin::CurveRule{kNaN, 1.0, 0.0},
                                           orrin::CurveRule{0.0, kNaN, 0.0}));

TEST(PlotHistogramPanel, CountsDensityAndCentres) {
    // Edges 0, 1, 2, 3, 4; inner edge values go right, the maximum into the last bin.
    const std::vector<double> v{0.0, 1.0, 1.0, 2.5, 4.0, 4.0, 3.0, 0.5};
    const auto p = orrin::histogram_panel(v.data(), v.size(), 4, nullptr);
    EXPECT_EQ(p.edges, (std::vector<double>{0.0, 1.0, 2.0, 3.0, 4.0}));
    EXPECT_EQ(p.centres, (std::vector<double>{0.5, 1.5, 2.5, 3.5}));
    EXPECT_EQ(p.density, (std::vector<double>{2.0 / 8, 2.0 / 8, 1.0 / 8, 3.0 / 8}));
    EXPECT_TRUE(p.weak_share.empty());
}

TEST(PlotHistogramPanel, WeakShareIsTheMeanFlagPerBinAndNaNWhenEmpty) {
    const std::vector<double> v{0.0, 0.2, 0.4, 3.0, 3.9, 4.0};
    const std::vector<std::uint8_t> weak{1, 0, 0, 1, 1, 0};
    const auto p = orrin::histogram_panel(v.data(), v.size(), 4, weak.data());
    ASSERT_EQ(p.weak_share.size(), 4u);
    EXPECT_EQ(p.weak_share[0], 1.0 / 3.0);
    EXPECT_TRUE(std::isnan(p.weak_share[1]));
    EXPECT_TRUE(std::isnan(p.weak_share[2]));
    EXPECT_EQ(p.weak_share[3], 2.0 / 3.0);
}

TEST(PlotHistogramPanel, TooManyBinsForTheRangeIsRefused) {
    const std::vector<double> v{1e16, 1e16 + 2.0};
    EXPECT_THROW(orrin::histogram_panel(v.data(), v.size(), 10, nullptr), std::invalid_argument);
}

// Rows (x0, x1) on a 0..4 square so that the grids are the integers 0..4.
struct MapFixture {
    std::vector<double> x0{0.0, 1.0, 2.0, 3.0, 4.0};
    std::vector<double> x1{0.0, 2.0, 1.0, 4.0, 3.0};
    orrin::RegionMap run(const std::vector<orrin::RegionBox>& boxes) const {
        return orrin::region_map(x0.data(), x1.data(), x0.size(), 5, boxes);
    }
    static double at(const orrin::RegionMap& m, std::size_t i, std::size_t j) {
        return m.img[i * 5 + j];
    }
};

TEST(PlotRegionMap, SecondBoundClosesAtTheLargestValueOfTheFirstIntervalRows) {
    const MapFixture f;
    // Rows with 0 <= x0 < 2 have x1 in {0, 2}: ub2 = 2 is their maximum, so closed.
    const auto m = f.run({{0.0, 2.0, 0.0, 2.0}});
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t j = 0; j < 5; ++j) {
            EXPECT_EQ(MapFixture::at(m, i, j), (i < 2 && j <= 2) ? 0.0 : -1.0) << i << j;
        }
    }
}

TEST(PlotRegionMap, FirstBoundClosesAtTheColumnMaximum) {
    const MapFixture f;
    const auto m = f.run({{3.0, 4.0, 0.0, 1.0}});
    EXPECT_EQ(MapFixture::at(m, 4, 0), 0.0);
    EXPECT_EQ(MapFixture::at(m, 3, 0), 0.0);
    EXPECT_EQ(MapFixture::at(m, 3, 1), -1.0);  // rows 3, 4 reach x1 = 4 > 1: open
}

TEST(PlotRegionMap, IntervalWithoutRowsLeavesSecondBoundOpen) {
    const std::vector<double> x0{0.0, 0.5, 4.0};
    const std::vector<double> x1{0.0, 1.0, 4.0};
    const auto m = orrin::region_map(x0.data(), x1.data(), 3, 5, {{2.0, 3.0, 0.0, 4.0}});
    EXPECT_EQ(MapFixture::at(m, 2, 3), 0.0);
    EXPECT_EQ(MapFixture::at(m, 2, 4), -1.0);
}

TEST(PlotRegionMap, LabelsAtTheMeanGridPositionAndOnlyWithCellsInBothDirections) {
    const MapFixture f;
    const auto m = f.run({{1.0, 3.0, 2.0, 3.0}, {1.5, 1.7, 0.0, 4.0}, {kNaN, 2.0, 0.0, 1.0}});
    ASSERT_EQ(m.labels.size(), 1u);
    EXPECT_EQ(m.labels[0].region, 0u);
    EXPECT_EQ(m.labels[0].locx, (1.5 - 0.01 * 5) / 5);
    EXPECT_EQ(m.labels[0].locy, (2.0 - 0.015 * 5) / 5);
}

}  // namespace
