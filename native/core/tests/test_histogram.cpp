#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "orrin/histogram.hpp"
#include "orrin/numeric.hpp"

namespace {

// Reference: the number of inner edges <= v, counted one by one.
std::uint32_t digitize(double v, const std::vector<double>& e) {
    std::uint32_t c = 0;
    for (std::size_t j = 1; j + 1 < e.size(); ++j) c += e[j] <= v ? 1 : 0;
    return c;
}

}  // namespace

TEST(HistogramEdges, LinspaceArithmetic) {
    const std::vector<double> e = orrin::histogram_edges(0.0, 1.0, 10);
    ASSERT_EQ(e.size(), 11u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(e[i], i * 0.1 + 0.0) << i;
    EXPECT_EQ(e[3], 0.30000000000000004);
    EXPECT_EQ(e[10], 1.0);
}

// numpy rounds i * step before adding the start; a fused multiply-add would not, and would
// move some edges by one unit in the last place. Built for a target with a fused
// multiply-add, this fails unless the build keeps the two operations apart.
TEST(HistogramEdges, ProductIsRoundedBeforeTheStartIsAdded) {
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> start(-10.0, 10.0);
    std::uniform_real_distribution<double> width(1e-3, 1e3);
    for (int trial = 0; trial < 200; ++trial) {
        const double lo = start(gen);
        const double hi = lo + width(gen);
        const std::size_t bins = 3 + static_cast<std::size_t>(trial % 61);
        const std::vector<double> e = orrin::histogram_edges(lo, hi, bins);
        const double step = (hi - lo) / static_cast<double>(bins);
        for (std::size_t i = 0; i < bins; ++i) {
            volatile double product = static_cast<double>(i) * step;  // rounded here
            const double edge = product + lo;
            ASSERT_EQ(e[i], edge) << lo << " " << hi << " " << bins << " " << i;
        }
    }
}

TEST(HistogramEdges, LastEdgeIsTheMaximumExactly) {
    const double lo = 0.1;
    const double hi = 0.7;
    const std::vector<double> e = orrin::histogram_edges(lo, hi, 3);
    EXPECT_EQ(e[3], hi);
    const double step = (hi - lo) / 3.0;
    EXPECT_EQ(e[2], 2.0 * step + lo);
}

TEST(HistogramEdges, ConstantColumnSpansHalfAroundTheValue) {
    const std::vector<double> e = orrin::histogram_edges(3.0, 3.0, 1);
    EXPECT_EQ(e, (std::vector<double>{2.5, 3.5}));
}

TEST(HistogramEdges, SubnormalRange) {
    // numpy: [0.0, 1e-323, 2e-323, 3e-323, 4e-323].
    const double tiny = 4e-323;
    const std::vector<double> e = orrin::histogram_edges(0.0, tiny, 4);
    EXPECT_EQ(e, (std::vector<double>{0.0, 1e-323, 2e-323, 3e-323, 4e-323}));
}

struct Refused {
    double lo, hi;
    std::size_t bins;
};

class HistogramRefusal : public ::testing::TestWithParam<Refused> {};

TEST_P(HistogramRefusal, EdgesThatDoNotIncreaseAreRefused) {
    const Refused r = GetParam();
    EXPECT_THROW(orrin::histogram_edges(r.lo, r.hi, r.bins), orrin::HistogramError);
}

INSTANTIATE_TEST_SUITE_P(Cases, HistogramRefusal,
                         ::testing::Values(Refused{0.0, 5e-324, 2}, Refused{-1.7e308, 1.7e308, 2},
                                           Refused{1e17, 1e17, 1}, Refused{1.0, 1.0 + 2e-16, 5}));

class AssignBins : public ::testing::TestWithParam<int> {};

TEST_P(AssignBins, AgreesWithDigitizeIncludingEdgeValues) {
    std::mt19937_64 gen(GetParam());
    std::uniform_int_distribution<int> size(1, 500);
    std::uniform_int_distribution<int> small(-4, 6);
    std::normal_distribution<double> normal(0.0, 1e3);
    const std::size_t n = size(gen);
    std::vector<double> x(n);
    for (auto& v : x) v = GetParam() % 2 ? small(gen) : normal(gen);
    const auto range = orrin::min_max(x.data(), n);
    for (std::size_t bins : {1u, 2u, 7u, 10u, 100u}) {
        std::vector<double> e;
        try {
            e = orrin::histogram_edges(range.first, range.second, bins);
        } catch (const orrin::HistogramError&) {
            continue;
        }
        // Values on every edge and one ulp either side, each at both positions of a pair.
        std::vector<double> probe(x);
        for (double edge : e) {
            for (double v :
                 {edge, std::nextafter(edge, -HUGE_VAL), std::nextafter(edge, HUGE_VAL)}) {
                probe.insert(probe.end(), {v, v, -0.0});
            }
        }
        std::vector<std::uint32_t> bin(probe.size());
        orrin::assign_bins(probe.data(), probe.size(), e, bin.data());
        for (std::size_t i = 0; i < probe.size(); ++i) {
            ASSERT_EQ(bin[i], digitize(probe[i], e)) << "value " << probe[i] << " bins " << bins;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, AssignBins, ::testing::Range(0, 16));

TEST(ScatterByBin, StableWithinEachBin) {
    const std::vector<double> x{2.5, 0.5, 2.7, 1.5, 0.1, 3.0, 2.6};
    const orrin::Histogram h = orrin::build_histogram(x.data(), x.size(), 3);
    EXPECT_EQ(h.offset, (std::vector<std::size_t>{0, 2, 3, 7}));
    EXPECT_EQ(orrin::rows_by_bin(h), (std::vector<std::int64_t>{1, 4, 3, 0, 2, 5, 6}));
    // Two columns: one contiguous, one read with a stride of 2.
    const std::vector<double> values{10, 11, 12, 13, 14, 15, 16};
    const std::vector<double> strided{0, -1, 1, -1, 2, -1, 3, -1, 4, -1, 5, -1, 6, -1};
    std::vector<double> out(values.size()), out2(values.size());
    orrin::scatter_by_bin(h, {{values.data(), 1}, {strided.data(), 2}, {}},
                          {out.data(), out2.data(), nullptr});
    EXPECT_EQ(out, (std::vector<double>{11, 14, 13, 10, 12, 15, 16}));
    EXPECT_EQ(out2, (std::vector<double>{1, 4, 3, 0, 2, 5, 6}));
    // The rows of the sorted positions, with no value column or with all three.
    std::vector<std::uint32_t> row_of(values.size(), 99);
    orrin::scatter_by_bin(h, {{}, {}, {}}, {nullptr, nullptr, nullptr}, row_of.data());
    EXPECT_EQ(row_of, (std::vector<std::uint32_t>{1, 4, 3, 0, 2, 5, 6}));
    std::vector<double> out3(values.size());
    row_of.assign(values.size(), 99);
    orrin::scatter_by_bin(h, {{values.data(), 1}, {strided.data(), 2}, {x.data(), 1}},
                          {out.data(), out2.data(), out3.data()}, row_of.data());
    EXPECT_EQ(row_of, (std::vector<std::uint32_t>{1, 4, 3, 0, 2, 5, 6}));
    EXPECT_EQ(out3, (std::vector<double>{0.5, 0.1, 1.5, 2.5, 2.7, 3.0, 2.6}));
}

struct DistinctCase {
    std::vector<double> x;
    std::size_t cap;
    std::size_t expected;
};

class DistinctCount : public ::testing::TestWithParam<DistinctCase> {};

TEST_P(DistinctCount, CountsUpToTheCap) {
    const DistinctCase c = GetParam();
    EXPECT_EQ(orrin::count_distinct_capped(c.x.data(), c.x.size(), c.cap), c.expected);
}

std::vector<double> twice(std::vector<double> v) {
    v.insert(v.end(), v.begin(), v.end());
    return v;
}

std::vector<double> range_values(int n) {
    std::vector<double> v;
    for (int i = 0; i < n; ++i) v.push_back(i % 2 ? i : -i);
    return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, DistinctCount,
                         ::testing::Values(DistinctCase{{0.0, -0.0, 1.0, 1.0}, 10, 2},
                                           DistinctCase{{3.0}, 10, 1},
                                           DistinctCase{{1.0, 2.0, 1.0, 3.0}, 2, 2},
                                           DistinctCase{range_values(300), 200, 200},
                                           DistinctCase{range_values(300), 1000, 300},
                                           DistinctCase{range_values(50), 64, 50},
                                           DistinctCase{twice(range_values(70)), 100, 70},
                                           DistinctCase{twice(range_values(70)), 65, 65}));

TEST(BuildHistogram, StridedColumnEqualsContiguousCopy) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    std::vector<double> matrix(3 * 400);
    for (auto& v : matrix) v = normal(gen);
    std::vector<double> column(400);
    for (std::size_t i = 0; i < 400; ++i) column[i] = matrix[3 * i + 1];
    const orrin::Histogram a = orrin::build_histogram(matrix.data() + 1, 400, 10, 3);
    const orrin::Histogram b = orrin::build_histogram(column.data(), 400, 10);
    EXPECT_EQ(a.edges, b.edges);
    EXPECT_EQ(a.offset, b.offset);
    EXPECT_EQ(orrin::rows_by_bin(a), orrin::rows_by_bin(b));
    const orrin::Range r = orrin::value_range(orrin::strided(matrix.data() + 1, 3), 400);
    const orrin::Histogram c = orrin::build_histogram(matrix.data() + 1, 400, 10, 3, r.lo, r.hi);
    EXPECT_EQ(c.edges, b.edges);
    EXPECT_EQ(orrin::rows_by_bin(c), orrin::rows_by_bin(b));
    matrix[3 * 200] = std::nan("");
    EXPECT_FALSE(orrin::value_range(orrin::strided(matrix.data(), 3), 400).finite);
    EXPECT_TRUE(orrin::value_range(orrin::strided(matrix.data() + 1, 3), 400).finite);
}

TEST(BuildHistogram, BinsPartitionRowsAndKeepRowOrder) {
    const std::vector<double> x{5.0, 0.0, 10.0, 1.0, 9.0, 5.0, 10.0};
    const orrin::Histogram h = orrin::build_histogram(x.data(), x.size(), 10);
    EXPECT_EQ(h.nbins(), 5u);  // five distinct values
    EXPECT_EQ(h.lo, 0.0);
    EXPECT_EQ(h.hi, 10.0);
    EXPECT_EQ(h.count(0), 2u);  // 0 and 1 in [0, 2)
    EXPECT_EQ(h.count(2), 2u);  // the two 5s
    EXPECT_EQ(h.count(4), 3u);  // 9 and the maximum (closed last bin)
    const std::vector<std::int64_t> rows = orrin::rows_by_bin(h);
    EXPECT_EQ(std::vector<std::int64_t>(rows.begin() + 4, rows.end()),
              (std::vector<std::int64_t>{2, 4, 6}));
}

TEST(GatherBinRanges, UnionsInRowOrder) {
    const std::vector<double> x{0.5, 3.5, 1.5, 2.5, 0.2, 3.9, 1.1, 0.0, 4.0};
    const std::vector<double> row{0, 1, 2, 3, 4, 5, 6, 7, 8};
    const orrin::Histogram h = orrin::build_histogram(x.data(), x.size(), 4);
    orrin::ScratchArray<double> out[2];
    const auto start = orrin::gather_bin_ranges(h, {{0, 1}, {3, 3}}, {{row.data(), 1}, {}}, out);
    EXPECT_EQ(start, (std::vector<std::size_t>{0, 5, 8}));
    EXPECT_EQ(std::vector<double>(out[0].get(), out[0].get() + 8),
              (std::vector<double>{0, 2, 4, 6, 7, 1, 5, 8}));
}

// Both widths of stored bin ids (up to 256 bins one byte, beyond four): the grouped rows
// and the gathered values agree with a per-row digitize reference.
class BinWidths : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BinWidths, GroupingAndGatherMatchDigitize) {
    const std::size_t bins = GetParam();
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    std::vector<double> x(3 * 5000);
    for (double& v : x) v = normal(rng);
    const orrin::Histogram h = orrin::build_histogram(x.data(), 5000, bins, 3);
    ASSERT_EQ(h.nbins(), bins);
    std::vector<std::vector<std::int64_t>> by_bin(bins);
    for (std::size_t i = 0; i < 5000; ++i) by_bin[digitize(x[3 * i], h.edges)].push_back(i);
    std::vector<std::int64_t> grouped;
    for (const auto& rows : by_bin) grouped.insert(grouped.end(), rows.begin(), rows.end());
    EXPECT_EQ(orrin::rows_by_bin(h), grouped);

    const std::vector<std::pair<std::size_t, std::size_t>> ranges{
        {0, 1}, {bins / 2, bins / 2}, {bins - 3, bins - 1}};
    std::vector<double> values(5000);
    for (std::size_t i = 0; i < 5000; ++i) values[i] = static_cast<double>(i) + 0.25;
    orrin::ScratchArray<double> out[2];
    const auto start =
        orrin::gather_bin_ranges(h, ranges, {{values.data(), 1}, {x.data(), 3}}, out);
    ASSERT_EQ(start.size(), ranges.size() + 1);
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        std::vector<std::int64_t> expected;
        for (std::size_t b = ranges[r].first; b <= ranges[r].second; ++b) {
            expected.insert(expected.end(), by_bin[b].begin(), by_bin[b].end());
        }
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(start[r + 1] - start[r], expected.size());
        for (std::size_t q = 0; q < expected.size(); ++q) {
            const auto i = static_cast<std::size_t>(expected[q]);
            EXPECT_EQ(out[0][start[r] + q], values[i]);
            EXPECT_EQ(out[1][start[r] + q], x[3 * i]);
        }
        std::vector<std::int64_t> rows(start.back());
        EXPECT_EQ(orrin::bin_range_rows(h, ranges, nullptr, rows.data()), start);
        EXPECT_EQ(std::vector<std::int64_t>(rows.begin() + start[r], rows.begin() + start[r + 1]),
                  expected);
    }
    // Positions that stand for other rows (a second histogram over the values sorted by the
    // first): the rows come back through row_of, ascending within each range.
    std::vector<double> sorted(5000);
    std::vector<std::uint32_t> row_of(5000);
    orrin::scatter_by_bin(h, {{x.data() + 1, 3}, {}, {}}, {sorted.data(), nullptr, nullptr},
                          row_of.data());
    const std::size_t b0 = bins / 2;
    const std::size_t m = h.count(b0);
    ASSERT_GT(m, 1u);
    const orrin::Histogram inner = orrin::build_histogram(sorted.data() + h.offset[b0], m, 4);
    std::vector<std::int64_t> rows(m);
    const auto inner_start =
        orrin::bin_range_rows(inner, {{1, 2}}, row_of.data() + h.offset[b0], rows.data());
    std::vector<std::int64_t> expected;
    for (std::int64_t i : by_bin[b0]) {
        const std::size_t b = digitize(x[3 * static_cast<std::size_t>(i) + 1], inner.edges);
        if (b == 1 || b == 2) expected.push_back(i);
    }
    ASSERT_EQ(inner_start.back(), expected.size());
    // With values, the same rows, and the value at each of their positions alongside.
    std::vector<std::int64_t> rows_too(m);
    std::vector<double> at(m, -1.0);
    const double* inner_x = sorted.data() + h.offset[b0];
    EXPECT_EQ(orrin::bin_range_rows(inner, {{1, 2}}, row_of.data() + h.offset[b0], rows_too.data(),
                                    inner_x, at.data()),
              inner_start);
    rows.resize(expected.size());
    EXPECT_EQ(rows, expected);
    for (std::size_t q = 0; q < expected.size(); ++q) {
        EXPECT_EQ(rows_too[q], expected[q]);
        EXPECT_EQ(at[q], x[3 * static_cast<std::size_t>(expected[q]) + 1]);
    }
}

INSTANTIATE_TEST_SUITE_P(OneAndFourBytes, BinWidths, ::testing::Values(10, 256, 257, 1000));

TEST(GatherBinRanges, NoRangesAndMissingColumn) {
    const std::vector<double> x{0.5, 3.5, 1.5, 2.5};
    const orrin::Histogram h = orrin::build_histogram(x.data(), x.size(), 4);
    orrin::ScratchArray<double> out[2];
    EXPECT_EQ(orrin::gather_bin_ranges(h, {}, {{x.data(), 1}, {}}, out),
              (std::vector<std::size_t>{0}));
    const auto start = orrin::gather_bin_ranges(h, {{1, 2}}, {{x.data(), 1}, {}}, out);
    EXPECT_EQ(start, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(out[1], nullptr);
    EXPECT_EQ(out[0][0], 1.5);
    EXPECT_EQ(out[0][1], 2.5);
}

// The streamed per-bin sums equal numpy_sum over each bin's sorted values bit for bit, for
// bins small and large (leaf sizes around 8 and 128, several tree levels), with and without
// weights, signed zeros included.
class BinSums : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BinSums, EqualSumsOverSortedValues) {
    const std::size_t n = GetParam();
    std::mt19937_64 rng(n);
    std::normal_distribution<double> normal;
    std::vector<double> x(n), a(n), w(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = normal(rng);
        a[i] = i % 17 == 0 ? -0.0 : normal(rng) * 1e3;
        w[i] = std::abs(normal(rng));
    }
    const orrin::Histogram h = orrin::build_histogram(x.data(), n, 10);
    std::vector<double> products(n), sa(n), sw(n), sp(n);
    for (std::size_t i = 0; i < n; ++i) products[i] = a[i] * w[i];
    orrin::scatter_by_bin(h, {{a.data(), 1}, {w.data(), 1}, {products.data(), 1}},
                          {sa.data(), sw.data(), sp.data()});
    std::vector<double> sums, weight_sums;
    ASSERT_TRUE(orrin::bin_sums(h, a.data(), nullptr, sums, weight_sums));
    for (std::size_t j = 0; j < h.nbins(); ++j) {
        const double want = orrin::numpy_sum(sa.data() + h.offset[j], h.count(j));
        EXPECT_EQ(std::signbit(sums[j]), std::signbit(want));
        EXPECT_EQ(sums[j], want) << "bin " << j;
    }
    ASSERT_TRUE(orrin::bin_sums(h, a.data(), w.data(), sums, weight_sums));
    for (std::size_t j = 0; j < h.nbins(); ++j) {
        EXPECT_EQ(sums[j], orrin::numpy_sum(sp.data() + h.offset[j], h.count(j))) << j;
        EXPECT_EQ(weight_sums[j], orrin::numpy_sum(sw.data() + h.offset[j], h.count(j))) << j;
    }
}

INSTANTIATE_TEST_SUITE_P(RowCounts, BinSums,
                         ::testing::Values(1, 7, 60, 400, 1290, 5000, 40000, 300001));

TEST(BinSums, RefusesMoreThan256Bins) {
    std::vector<double> x(1000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i);
    const orrin::Histogram h = orrin::build_histogram(x.data(), x.size(), 300);
    std::vector<double> sums, weight_sums;
    EXPECT_FALSE(orrin::bin_sums(h, x.data(), nullptr, sums, weight_sums));
}

TEST(MergeWeakBins, TouchingBinsFormRuns) {
    std::vector<double> e;
    for (int i = 0; i <= 10; ++i) e.push_back(i);
    const auto runs = orrin::merge_weak_bins(e, {2, 3, 5, 9});
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].lb, 2.0);
    EXPECT_EQ(runs[0].ub, 4.0);
    EXPECT_EQ(runs[0].first_bin, 2u);
    EXPECT_EQ(runs[0].last_bin, 3u);
    EXPECT_EQ(runs[1].first_bin, 5u);
    EXPECT_EQ(runs[2].ub, 10.0);
}

TEST(BinsWithin, RangeOfBinsInsideBounds) {
    const std::vector<double> e{0.0, 1.0, 2.0, 3.0, 4.0};
    std::size_t first = 99;
    std::size_t last = 99;
    ASSERT_TRUE(orrin::bins_within(e, 1.0, 3.0, first, last));
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(last, 2u);
    ASSERT_TRUE(orrin::bins_within(e, 0.0, 4.0, first, last));
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(last, 3u);
    EXPECT_FALSE(orrin::bins_within(e, 1.5, 2.5, first, last));
    // A constant column's clipped region [v, v] holds no bin record.
    EXPECT_FALSE(orrin::bins_within({2.5, 3.5}, 3.0, 3.0, first, last));
}

TEST(IntervalMembers, ClosedOnlyWhenAsked) {
    const std::vector<double> x{1.0, 2.0, 3.0, 2.0};
    EXPECT_EQ(orrin::interval_members(x.data(), 4, 2.0, 3.0, false),
              (std::vector<std::int64_t>{1, 3}));
    EXPECT_EQ(orrin::interval_members(x.data(), 4, 2.0, 3.0, true),
              (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(PercentileRank, MultipliesByHundredOverN) {
    EXPECT_EQ(orrin::percentile_rank(1, 3), 1.0 * (100.0 / 3.0));
    EXPECT_EQ(orrin::percentile_rank(3, 3), 3.0 * (100.0 / 3.0));
    EXPECT_EQ(orrin::percentile_rank(0, 7), 0.0);
}

namespace {

// uniform_bucket_counts against the definition: np.linspace edges over the reference's range,
// a value's bucket the number of inner edges at or below it.
TEST(UniformBucketCounts, CountsByTheInnerEdges) {
    std::mt19937 rng(3);
    std::normal_distribution<double> normal;
    for (std::size_t n : {1u, 2u, 7u, 1000u}) {
        std::vector<double> ref(n), weak(n / 2 + 3);
        for (double& v : ref) v = normal(rng);
        for (double& v : weak) v = 2.0 * normal(rng);  // reaching beyond the reference's range
        weak[0] = *std::min_element(ref.begin(), ref.end());
        std::vector<std::size_t> rc(10), wc(10);
        ASSERT_TRUE(orrin::uniform_bucket_counts(ref.data(), n, weak.data(), weak.size(), 10,
                                                 rc.data(), wc.data()));
        const auto [lo, hi] = std::minmax_element(ref.begin(), ref.end());
        const std::vector<double> e = orrin::histogram_edges(*lo, *hi, 10);
        const auto expect = [&](const std::vector<double>& values) {
            std::vector<std::size_t> counts(10, 0);
            for (double v : values) {
                ++counts[static_cast<std::size_t>(std::upper_bound(e.begin() + 1, e.end() - 1, v) -
                                                  (e.begin() + 1))];
            }
            return counts;
        };
        EXPECT_EQ(rc, expect(ref)) << n;
        EXPECT_EQ(wc, expect(weak)) << n;
    }
}

TEST(UniformBucketCounts, DeclinesWhatItCannotCount) {
    const double nan = std::nan("");
    const std::vector<double> ref{1.0, 2.0, nan}, finite{1.0, 2.0};
    std::vector<std::size_t> rc(10), wc(10);
    EXPECT_FALSE(
        orrin::uniform_bucket_counts(ref.data(), 3, finite.data(), 2, 10, rc.data(), wc.data()));
    EXPECT_FALSE(
        orrin::uniform_bucket_counts(finite.data(), 2, ref.data(), 3, 10, rc.data(), wc.data()));
    EXPECT_FALSE(
        orrin::uniform_bucket_counts(finite.data(), 0, finite.data(), 2, 10, rc.data(), wc.data()));
    // A constant reference spans +-0.5 around its value, as the index's buckets do.
    const std::vector<double> constant{3.0, 3.0};
    ASSERT_TRUE(orrin::uniform_bucket_counts(constant.data(), 2, finite.data(), 2, 10, rc.data(),
                                             wc.data()));
    EXPECT_EQ(rc[5], 2u);
    EXPECT_EQ(wc[0], 2u);
}

}  // namespace
