#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "orrin/regions.hpp"

namespace {

using orrin::Bound;
using orrin::RegionMembership;
using orrin::StridedColumn;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

StridedColumn column(const std::vector<double>& v) {
    return StridedColumn{reinterpret_cast<const char*>(v.data()), sizeof(double)};
}

// Rows of each region by testing every row against every region.
std::vector<std::vector<std::int64_t>> brute_force(const std::vector<double>& c0,
                                                   const std::vector<double>* c1,
                                                   const std::vector<Bound>& first,
                                                   const std::vector<Bound>& second) {
    std::vector<std::vector<std::int64_t>> out(first.size());
    for (std::size_t r = 0; r < first.size(); ++r) {
        for (std::size_t i = 0; i < c0.size(); ++i) {
            if (!first[r].contains(c0[i])) continue;
            if (c1 != nullptr && !second[r].contains((*c1)[i])) continue;
            out[r].push_back(static_cast<std::int64_t>(i));
        }
    }
    return out;
}

std::vector<std::vector<std::int64_t>> grouped(const orrin::RegionRows& rr) {
    std::vector<std::vector<std::int64_t>> out;
    for (std::size_t r = 0; r + 1 < rr.offsets.size(); ++r) {
        out.emplace_back(rr.rows.begin() + rr.offsets[r], rr.rows.begin() + rr.offsets[r + 1]);
    }
    return out;
}

TEST(RegionMembership, StridedAndReversedColumnsAreRead) {
    // Row-major 3 x 2 matrix; the second column read forwards and backwards.
    const std::vector<double> m{0.0, 10.0, 1.0, 11.0, 2.0, 12.0};
    const StridedColumn forward{reinterpret_cast<const char*>(m.data() + 1), 2 * sizeof(double)};
    const StridedColumn backward{reinterpret_cast<const char*>(m.data() + 5),
                                 -2 * static_cast<std::ptrdiff_t>(sizeof(double))};
    const RegionMembership regions({{11.0, 12.0, true}}, {});
    EXPECT_EQ(grouped(regions.members(forward, nullptr, 3))[0], (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(grouped(regions.members(backward, nullptr, 3))[0], (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(orrin::column_max(forward, 3), 12.0);
}

TEST(ColumnMax, NanPropagatesLikeNumpy) {
    const std::vector<double> x{1.0, kNan, 3.0};
    EXPECT_TRUE(std::isnan(orrin::column_max(column(x), x.size())));
}

TEST(RegionMembership, SecondBoundClosesAtTheLargestValueInsideTheFirstCondition) {
    // Inside [0, 1) on the first feature the largest second value is 5; the 9 lies outside.
    const std::vector<double> c0{0.0, 0.5, 0.5, 2.0};
    const std::vector<double> c1{1.0, 5.0, 3.0, 9.0};
    RegionMembership regions({{0.0, 1.0, false}, {0.0, 1.0, false}},
                             {{1.0, 5.0, false}, {1.0, 4.0, false}});
    regions.members_closing_second(column(c0), column(c1), c0.size());
    EXPECT_TRUE(regions.second()[0].closed);
    EXPECT_FALSE(regions.second()[1].closed);
    const StridedColumn second = column(c1);
    const auto groups = grouped(regions.members(column(c0), &second, c0.size()));
    EXPECT_EQ(groups[0], (std::vector<std::int64_t>{0, 1, 2}));
    EXPECT_EQ(groups[1], (std::vector<std::int64_t>{0, 2}));
}

struct RandomCase {
    unsigned seed;
    bool two_features;
    int regions;
    int distinct_values;
    bool disjoint;   // adjacent first-feature bounds, as the strategies produce them
    int rows = 500;  // more than a chunk of the grouping pass spans several chunks
};

// members_closing_second on fresh regions gives the closure and the rows that closing
// first (expected in `second`) gives.
// `second` with each upper bound closed exactly when it equals the largest second value
// among the rows inside the region's first bound, none of them NaN.
std::vector<Bound> closed_by_brute_force(const std::vector<Bound>& first, std::vector<Bound> second,
                                         const std::vector<double>& c0,
                                         const std::vector<double>& c1) {
    for (std::size_t r = 0; r < first.size(); ++r) {
        bool seen = false, has_nan = false;
        double best = 0.0;
        for (std::size_t i = 0; i < c0.size(); ++i) {
            if (!first[r].contains(c0[i])) continue;
            if (std::isnan(c1[i]))
                has_nan = true;
            else if (!seen || c1[i] > best)
                best = c1[i];
            seen = true;
        }
        second[r].closed = seen && !has_nan && best == second[r].ub;
    }
    return second;
}

void expect_closing_in_one_call(const std::vector<Bound>& first, std::vector<Bound> second,
                                const std::vector<double>& c0, const std::vector<double>& c1) {
    std::vector<Bound> open = second;
    for (Bound& b : open) b.closed = false;
    RegionMembership regions(first, open);
    const orrin::RegionRows got = regions.members_closing_second(column(c0), column(c1), c0.size());
    for (std::size_t r = 0; r < second.size(); ++r) {
        EXPECT_EQ(regions.second()[r].closed, second[r].closed) << "region " << r;
    }
    EXPECT_EQ(grouped(got), brute_force(c0, &c1, first, second));
}

TEST(RegionMembership, RowsOnAClosedSecondBoundJoinInOneCall) {
    // Region 0 ([0, 1) x [0, 2)): its largest second value is 2, so its bound closes and
    // rows 1 and 3 join. Region 1 ([1, 2] x [0, 2)): row 5 lies on 2 but row 4 holds 3, so
    // the bound stays open.
    const std::vector<double> c0{0.5, 0.2, 0.7, 0.9, 1.5, 1.6, 1.0, 5.0};
    const std::vector<double> c1{1.0, 2.0, 0.5, 2.0, 3.0, 2.0, 0.0, 2.0};
    const std::vector<Bound> first{{0.0, 1.0, false}, {1.0, 2.0, true}};
    const std::vector<Bound> second{{0.0, 2.0, true}, {0.0, 2.0, false}};
    expect_closing_in_one_call(first, second, c0, c1);
    EXPECT_EQ(brute_force(c0, &c1, first, second),
              (std::vector<std::vector<std::int64_t>>{{0, 1, 2, 3}, {6}}));
}

class RegionMembershipRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(RegionMembershipRandom, MatchesTestingEveryRowAgainstEveryRegion) {
    const RandomCase param = GetParam();
    std::mt19937 gen(param.seed);
    std::uniform_int_distribution<int> value(0, param.distinct_values);
    std::uniform_int_distribution<int> coin(0, 9);
    auto draw = [&] {
        const int k = coin(gen);
        if (k == 0) return kNan;
        return value(gen) * 0.5;
    };
    auto draw_bound = [&] {
        double lb = value(gen) * 0.5;
        double ub = value(gen) * 0.5;
        const int k = coin(gen);
        if (k == 0) lb = -kInf;
        if (k == 1) ub = kInf;
        if (k == 2) ub = lb;
        return Bound{lb, ub, coin(gen) < 5};
    };
    std::vector<double> c0(param.rows), c1(param.rows);
    for (std::size_t i = 0; i < c0.size(); ++i) {
        c0[i] = draw();
        c1[i] = draw();
    }
    std::vector<Bound> first, second;
    double edge = 0.0;
    for (int r = 0; r < param.regions; ++r) {
        Bound b = draw_bound();
        if (param.disjoint) {
            const double width = 0.5 * (1 + coin(gen) % 3);
            b = Bound{edge, edge + width, r + 1 == param.regions};
            edge += width;
        }
        first.push_back(b);
        if (param.two_features) second.push_back(draw_bound());
    }
    RegionMembership regions(first, second);
    const StridedColumn col1 = column(c1);
    const StridedColumn* second_col = param.two_features ? &col1 : nullptr;
    EXPECT_EQ(grouped(regions.members(column(c0), second_col, c0.size())),
              brute_force(c0, param.two_features ? &c1 : nullptr, first, second));

    if (param.two_features) {
        regions.members_closing_second(column(c0), col1, c0.size());
        second = closed_by_brute_force(first, second, c0, c1);
        for (std::size_t r = 0; r < first.size(); ++r) {
            EXPECT_EQ(regions.second()[r].closed, second[r].closed) << "region " << r;
        }
        EXPECT_EQ(grouped(regions.members(column(c0), second_col, c0.size())),
                  brute_force(c0, &c1, first, second));
        expect_closing_in_one_call(first, second, c0, c1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegionMembershipRandom,
    ::testing::Values(RandomCase{1, false, 1, 5, false}, RandomCase{2, false, 7, 10, false},
                      RandomCase{3, false, 40, 60, false}, RandomCase{4, true, 1, 5, false},
                      RandomCase{5, true, 9, 12, false}, RandomCase{6, true, 30, 40, false},
                      RandomCase{7, false, 0, 5, false}, RandomCase{8, false, 6, 20, true},
                      RandomCase{9, true, 6, 20, true}, RandomCase{10, false, 40, 60, true},
                      RandomCase{11, true, 1, 3, true}, RandomCase{12, false, 5, 20, true, 9001},
                      RandomCase{13, true, 5, 20, true, 9001},
                      RandomCase{14, true, 5, 20, false, 9001}));

}  // namespace

namespace {

// Continuous values, the bounds themselves and their floating-point neighbours, NaN and
// infinities, against regions whose bounds are spread evenly, clustered, or clustered with
// one far outlier (so that the bounds are located by every method).
struct LocateCase {
    unsigned seed;
    int regions;
    int layout;  // 0 even, 1 clustered, 2 clustered plus an outlier
    bool two_features;
};

class RegionLocate : public ::testing::TestWithParam<LocateCase> {};

TEST_P(RegionLocate, MatchesTestingEveryRowAgainstEveryRegion) {
    const LocateCase param = GetParam();
    std::mt19937 gen(param.seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> edges;
    for (int r = 0; r <= param.regions; ++r) {
        double e = param.layout == 0 ? -3.0 + 6.0 * unit(gen) : 1e-3 * unit(gen);
        edges.push_back(e);
    }
    if (param.layout == 2) edges.back() = 1e6;
    std::sort(edges.begin(), edges.end());
    std::vector<Bound> first, second;
    for (int r = 0; r < param.regions; ++r) {
        first.push_back({edges[r], edges[r + 1], r + 1 == param.regions});
        if (param.two_features) second.push_back({-0.5, 0.5 + unit(gen), false});
    }
    std::vector<double> c0, c1;
    auto add = [&](double v) {
        c0.push_back(v);
        // A quarter of the rows lie on some region's second upper bound.
        const double u = unit(gen);
        const std::size_t r = static_cast<std::size_t>(u * 4.0 * param.regions);
        c1.push_back(param.two_features && r < second.size() ? second[r].ub : 2.0 * u - 1.0);
    };
    for (double e : edges) {
        add(e);
        add(std::nextafter(e, -kInf));
        add(std::nextafter(e, kInf));
    }
    for (int i = 0; i < 2000; ++i) add(edges.front() + (edges.back() - edges.front()) * unit(gen));
    for (int i = 0; i < 200; ++i) add(-4.0 + 8.0 * unit(gen));
    for (double v : {kNan, kInf, -kInf, 1e300, -1e300}) add(v);
    RegionMembership regions(first, second);
    const StridedColumn col1 = column(c1);
    const StridedColumn* second_col = param.two_features ? &col1 : nullptr;
    EXPECT_EQ(grouped(regions.members(column(c0), second_col, c0.size())),
              brute_force(c0, param.two_features ? &c1 : nullptr, first, second));
    if (param.two_features) {
        expect_closing_in_one_call(first, closed_by_brute_force(first, second, c0, c1), c0, c1);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegionLocate,
                         ::testing::Values(LocateCase{21, 2, 0, false}, LocateCase{22, 9, 0, true},
                                           LocateCase{23, 40, 0, false},
                                           LocateCase{24, 300, 0, true},
                                           LocateCase{25, 50, 1, false},
                                           LocateCase{26, 50, 2, true},
                                           LocateCase{27, 5, 2, false}));

}  // namespace

namespace {

struct FiniteCase {
    std::size_t rows;
    std::size_t at;  // the row given a bad value
    double bad;      // NaN or an infinity
    bool in_second;  // in c1 rather than c0
};

class FiniteCheck : public ::testing::TestWithParam<FiniteCase> {};

}  // namespace

// The finiteness check sees every row, not only those near a region, in both passes, at
// the vector loop's rows and at its scalar tail; the rows found are those without the check.
TEST_P(FiniteCheck, EveryRowOfBothColumnsIsChecked) {
    const FiniteCase p = GetParam();
    std::mt19937_64 rng(p.rows + p.at);
    std::uniform_real_distribution<double> u(-2.0, 2.0);
    std::vector<double> c0(p.rows), c1(p.rows);
    for (std::size_t i = 0; i < p.rows; ++i) {
        c0[i] = u(rng);
        c1[i] = u(rng);
    }
    const std::vector<Bound> first{{0.0, 0.5, false}, {1.0, 1.5, true}};
    const std::vector<Bound> second{{-1.0, 1.0, false}, {0.0, 2.0, false}};
    const StridedColumn second_col = column(c1);
    orrin::ColumnsFinite clean;
    RegionMembership plain(first, second);
    plain.members_closing_second(column(c0), second_col, p.rows, &clean);
    EXPECT_TRUE(clean.first && clean.second);

    (p.in_second ? c1 : c0)[p.at] = p.bad;
    const auto expected =
        grouped(RegionMembership(first, second).members(column(c0), &second_col, p.rows));
    orrin::ColumnsFinite two;
    RegionMembership regions(first, second);
    EXPECT_EQ(grouped(regions.members(column(c0), &second_col, p.rows, &two)), expected);
    EXPECT_EQ(two.first, p.in_second);
    EXPECT_EQ(two.second, !p.in_second);
    orrin::ColumnsFinite closing;
    regions.members_closing_second(column(c0), second_col, p.rows, &closing);
    EXPECT_EQ(closing.first, two.first);
    EXPECT_EQ(closing.second, two.second);
    // One feature: only the first column is read.
    orrin::ColumnsFinite one;
    RegionMembership(first, {}).members(column(c0), nullptr, p.rows, &one);
    EXPECT_EQ(one.first, p.in_second);
    EXPECT_TRUE(one.second);
}

INSTANTIATE_TEST_SUITE_P(
    RegionMembership, FiniteCheck,
    ::testing::Values(FiniteCase{1, 0, kNan, false}, FiniteCase{7, 6, kInf, true},
                      FiniteCase{5000, 4321, -kInf, false}, FiniteCase{5000, 4999, kNan, true},
                      FiniteCase{9000, 17, kInf, false}, FiniteCase{9000, 8191, -kInf, true}));
