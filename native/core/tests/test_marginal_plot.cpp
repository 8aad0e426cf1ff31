#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "orrin/histogram.hpp"
#include "orrin/marginal_plot.hpp"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

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

// np.histogram's bin and scipy's binned_statistic bin, step by step as those libraries take
// them, for comparing the counting kernels against.
struct ReferencePanel {
    std::vector<double> density;
    std::vector<double> weak_share;
};

ReferencePanel reference_panel(const std::vector<double>& v, const std::vector<double>& e,
                               const std::vector<std::uint8_t>& weak) {
    const std::size_t bins = e.size() - 1;
    std::vector<double> counts(bins, 0.0), members(bins, 0.0), hits(bins, 0.0);
    for (std::size_t i = 0; i < v.size(); ++i) {
        const double x = v[i];
        auto idx = static_cast<std::ptrdiff_t>(((x - e.front()) / (e.back() - e.front())) *
                                               static_cast<double>(bins));
        if (idx == static_cast<std::ptrdiff_t>(bins)) --idx;
        if (x < e[idx]) --idx;
        if (idx != static_cast<std::ptrdiff_t>(bins) - 1 && x >= e[idx + 1]) ++idx;
        counts[idx] += 1.0;
        std::size_t j = std::upper_bound(e.begin(), e.end(), x) - e.begin() - 1;
        if (x >= e.back()) j = bins - 1;
        members[j] += 1.0;
        hits[j] += weak[i];
    }
    ReferencePanel r;
    for (std::size_t b = 0; b < bins; ++b) {
        r.density.push_back(counts[b] / (e[b + 1] - e[b]) / static_cast<double>(v.size()));
        r.weak_share.push_back(members[b] == 0.0 ? kNaN : hits[b] / members[b]);
    }
    return r;
}

void expect_same(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(b[i])) {
            EXPECT_TRUE(std::isnan(a[i])) << i;
        } else {
            EXPECT_EQ(a[i], b[i]) << i;
        }
    }
}

// Rows of a 3-column row-major matrix: values on and next to many edges, and random ones.
struct Rows {
    std::vector<double> x;  // columns 0 and 2 are read
    std::vector<double> scores;
    std::size_t n = 0;
    std::vector<double> column(std::size_t c) const {
        std::vector<double> out(n);
        for (std::size_t i = 0; i < n; ++i) out[i] = x[3 * i + c];
        return out;
    }
};

Rows edge_heavy_rows(double lo, double hi, std::size_t bins) {
    const std::vector<double> e = orrin::histogram_edges(lo, hi, bins);
    std::vector<double> a;
    for (double edge : e) {
        a.push_back(edge);
        a.push_back(std::nextafter(edge, -kInf));
        a.push_back(std::nextafter(edge, kInf));
    }
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> u(lo, hi);
    for (int i = 0; i < 3000; ++i) a.push_back(u(gen));
    std::vector<double> kept;
    for (double v : a) {
        if (v >= lo && v <= hi) kept.push_back(v);
    }
    Rows r;
    r.n = kept.size();
    for (std::size_t i = 0; i < r.n; ++i) {
        r.x.insert(r.x.end(), {kept[i], 0.0, kept[r.n - 1 - i] * 0.5});
        r.scores.push_back(static_cast<double>(i % 7));
    }
    return r;
}

struct FusedCase {
    double lo, hi;
    std::size_t bins;
};

class PlotMarginalData : public ::testing::TestWithParam<FusedCase> {};

TEST_P(PlotMarginalData, PanelsEqualNumpyAndScipyOnEdgeValues) {
    const FusedCase c = GetParam();
    const Rows r = edge_heavy_rows(c.lo, c.hi, c.bins);
    const orrin::ColumnView cols[2] = {{r.x.data(), 3}, {r.x.data() + 2, 3}};
    const orrin::CellScale scales[2] = {orrin::sample_scale(cols[0], r.n),
                                        orrin::sample_scale(cols[1], r.n)};
    const orrin::ColumnScan scan = orrin::scan_columns(cols, scales, 2, r.n);
    const orrin::WeakRule rule{{r.scores.data(), 1}, -1.0, -3.0};  // weak: score >= 3
    const orrin::MarginalData d =
        orrin::marginal_data(cols, scan, r.n, c.bins, &rule, 4, nullptr, nullptr);
    std::vector<std::uint8_t> weak;
    for (double s : r.scores) weak.push_back(-1.0 * s <= -3.0 ? 1 : 0);
    for (std::size_t k = 0; k < 2; ++k) {
        const std::vector<double> v = r.column(2 * k);
        const ReferencePanel ref = reference_panel(v, d.panels[k].edges, weak);
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        EXPECT_EQ(d.panels[k].edges, orrin::histogram_edges(*lo, *hi, c.bins));
        expect_same(d.panels[k].density, ref.density);
        expect_same(d.panels[k].weak_share, ref.weak_share);
    }
}

INSTANTIATE_TEST_SUITE_P(Ranges, PlotMarginalData,
                         ::testing::Values(FusedCase{0.0, 1.0, 10}, FusedCase{0.0, 1.0, 997},
                                           FusedCase{-3.3, 7.1, 64},
                                           FusedCase{1e15, 1e15 + 300, 50},
                                           FusedCase{-1e-300, 1e-300, 16}));

// The provisional scale only decides which rows are read again: a scale that covers a sliver
// of the range, lies beside it, is far finer than the bins or is missing must all give the
// sampled scale's panels.
TEST(PlotMarginalData, AnyProvisionalScaleGivesTheSamePanels) {
    for (const FusedCase& c :
         {FusedCase{-3.3, 7.1, 64}, FusedCase{0.0, 1.0, 10}, FusedCase{1e15, 1e15 + 300, 50}}) {
        const Rows r = edge_heavy_rows(c.lo, c.hi, c.bins);
        const orrin::ColumnView cols[2] = {{r.x.data(), 3}, {r.x.data() + 2, 3}};
        const orrin::WeakRule rule{{r.scores.data(), 1}, -1.0, -3.0};
        const auto panels = [&](orrin::CellScale a, orrin::CellScale b) {
            const orrin::CellScale scales[2] = {a, b};
            return orrin::marginal_data(cols, orrin::scan_columns(cols, scales, 2, r.n), r.n,
                                        c.bins, &rule, 4, nullptr, nullptr)
                .panels;
        };
        const double span = c.hi - c.lo;
        const auto expected =
            panels(orrin::sample_scale(cols[0], r.n), orrin::sample_scale(cols[1], r.n));
        const std::vector<orrin::CellScale> odd{
            {0.0, 0.0},                                               // every row unsettled
            {c.lo + 0.4 * span, 1000.0 / span},                       // a sliver of the range
            {c.hi + span, 1.0 / span},                                // beside the range
            {c.lo, 1e6 * static_cast<double>(orrin::kCells) / span},  // far finer than bins
            {c.lo - span, 2.0 / span}};                               // all rows in a few cells
        for (const orrin::CellScale& s : odd) {
            const auto got = panels(s, s);
            for (std::size_t k = 0; k < 2; ++k) {
                EXPECT_EQ(got[k].edges, expected[k].edges);
                expect_same(got[k].density, expected[k].density);
                expect_same(got[k].weak_share, expected[k].weak_share);
            }
        }
    }
}

// Integer-valued columns put most values on an edge, where a cell alone cannot place them.
TEST(PlotMarginalData, IntegerColumnsOnTheEdgesEqualNumpyAndScipy) {
    std::mt19937_64 gen(9);
    for (std::size_t bins : {10u, 5u, 3u}) {
        Rows r;
        r.n = 4000;
        for (std::size_t i = 0; i < r.n; ++i) {
            r.x.insert(r.x.end(), {static_cast<double>(gen() % 11), 0.0,
                                   static_cast<double>(gen() % 4) - 2.0});
            r.scores.push_back(static_cast<double>(gen() % 7));
        }
        const orrin::ColumnView cols[2] = {{r.x.data(), 3}, {r.x.data() + 2, 3}};
        const orrin::CellScale scales[2] = {orrin::sample_scale(cols[0], r.n),
                                            orrin::sample_scale(cols[1], r.n)};
        const orrin::WeakRule rule{{r.scores.data(), 1}, -1.0, -3.0};
        const orrin::MarginalData d = orrin::marginal_data(
            cols, orrin::scan_columns(cols, scales, 2, r.n), r.n, bins, &rule, 4, nullptr, nullptr);
        std::vector<std::uint8_t> weak;
        for (double s : r.scores) weak.push_back(-1.0 * s <= -3.0 ? 1 : 0);
        for (std::size_t k = 0; k < 2; ++k) {
            const ReferencePanel ref = reference_panel(r.column(2 * k), d.panels[k].edges, weak);
            expect_same(d.panels[k].density, ref.density);
            expect_same(d.panels[k].weak_share, ref.weak_share);
        }
    }
}

TEST(PlotColumnScan, RangesEqualTheRangePassBitForBit) {
    // Signed zeros tie, so the lane order decides which sign is kept; odd lengths put the
    // last rows in lane 0.
    std::mt19937_64 gen(3);
    for (std::size_t n : {1u, 3u, 4u, 7u, 13u, 1001u}) {
        std::vector<double> x(2 * n);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = gen() % 2 ? 0.0 : -0.0;
        x[gen() % x.size()] = 1.5;
        const orrin::ColumnView cols[2] = {{x.data(), 2}, {x.data() + 1, 2}};
        const std::vector<orrin::Range> want = orrin::column_ranges(cols, 2, n);
        const orrin::CellScale scales[2] = {{0.0, 1.0}, {0.0, 1.0}};
        for (std::size_t count : {1u, 2u}) {
            const orrin::ColumnScan scan = orrin::scan_columns(cols, scales, count, n);
            for (std::size_t c = 0; c < count; ++c) {
                EXPECT_EQ(std::signbit(scan.ranges[c].lo), std::signbit(want[c].lo)) << n;
                EXPECT_EQ(std::signbit(scan.ranges[c].hi), std::signbit(want[c].hi)) << n;
                EXPECT_EQ(scan.ranges[c].lo, want[c].lo);
                EXPECT_EQ(scan.ranges[c].hi, want[c].hi);
                EXPECT_TRUE(scan.ranges[c].finite);
            }
        }
    }
    const std::vector<double> bad{1.0, kNaN, 2.0, 3.0, kInf, 4.0};
    const orrin::ColumnView cols[2] = {{bad.data(), 1}, {bad.data() + 3, 1}};
    const orrin::CellScale scales[2] = {orrin::sample_scale(cols[0], 3),
                                        orrin::sample_scale(cols[1], 3)};
    const orrin::ColumnScan scan = orrin::scan_columns(cols, scales, 2, 3);
    EXPECT_FALSE(scan.ranges[0].finite);
    EXPECT_FALSE(scan.ranges[1].finite);
}

TEST(PlotMarginalData, MapIsTheUprightImageOfTheRegionMap) {
    const std::vector<double> x0{0.0, 1.0, 2.0, 3.0, 4.0};
    const std::vector<double> x1{0.0, 2.0, 1.0, 4.0, 3.0};
    const std::vector<orrin::RegionBox> boxes{{0.0, 2.0, 0.0, 2.0}, {3.0, 4.0, 0.0, 1.0}};
    const orrin::RegionMap ref = orrin::region_map(x0.data(), x1.data(), 5, 5, boxes);
    const orrin::ColumnView cols[2] = {{x0.data(), 1}, {x1.data(), 1}};
    const orrin::CellScale scales[2] = {orrin::sample_scale(cols[0], 5),
                                        orrin::sample_scale(cols[1], 5)};
    std::vector<double> image(25, 99.0);
    const orrin::MarginalData d = orrin::marginal_data(
        cols, orrin::scan_columns(cols, scales, 2, 5), 5, 3, nullptr, 5, &boxes, image.data());
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t j = 0; j < 5; ++j) EXPECT_EQ(image[(4 - j) * 5 + i], ref.img[i * 5 + j]);
    }
    ASSERT_EQ(d.labels.size(), ref.labels.size());
    EXPECT_EQ(d.labels[0].locx, ref.labels[0].locx);
    EXPECT_TRUE(d.panels[0].weak_share.empty());
}

TEST(PlotColumnRanges, RangesAndFinitenessPerColumn) {
    const std::vector<double> x{3.0, -1.0, 5.0, kNaN, -2.0, 7.0, 4.0, kInf, 0.5};
    const orrin::ColumnView cols[3] = {{x.data(), 3}, {x.data() + 1, 3}, {x.data() + 2, 3}};
    const std::vector<orrin::Range> r = orrin::column_ranges(cols, 3, 3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_FALSE(r[0].finite);  // NaN: ignored by the range, refused by the flag
    EXPECT_EQ(r[0].lo, 3.0);
    EXPECT_EQ(r[0].hi, 4.0);
    EXPECT_FALSE(r[1].finite);
    EXPECT_EQ(r[1].lo, -2.0);
    EXPECT_TRUE(r[2].finite);  // the odd column out, read on its own
    EXPECT_EQ(r[2].lo, 0.5);
    EXPECT_EQ(r[2].hi, 7.0);
}

}  // namespace
