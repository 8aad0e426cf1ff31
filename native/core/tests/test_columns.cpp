#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "orrin/columns.hpp"
#include "orrin/histogram.hpp"

namespace {

using orrin::Range;
using orrin::StridedColumn;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void expect_same(const Range& got, const Range& want, std::size_t n) {
    EXPECT_EQ(got.finite, want.finite) << n;
    EXPECT_EQ(got.lo, want.lo) << n;
    EXPECT_EQ(got.hi, want.hi) << n;
    EXPECT_EQ(std::signbit(got.lo), std::signbit(want.lo)) << n;
    EXPECT_EQ(std::signbit(got.hi), std::signbit(want.hi)) << n;
}

TEST(ValueRange, FindsTheExtremesAndEveryNonFiniteValueAtAnyPosition) {
    for (std::size_t n = 1; n <= 13; ++n) {
        std::vector<double> a(n), b(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = -static_cast<double>((i * 7) % n);
            b[i] = static_cast<double>((i * 5) % n) - 100.0;
        }
        const auto [min_a, max_a] = std::minmax_element(a.begin(), a.end());
        const auto [min_b, max_b] = std::minmax_element(b.begin(), b.end());
        const Range r = orrin::value_range(orrin::strided(a.data()), n);
        ASSERT_TRUE(r.finite);
        EXPECT_EQ(r.lo, *min_a);
        EXPECT_EQ(r.hi, *max_a);
        EXPECT_EQ(orrin::min_max(a.data(), n), std::make_pair(*min_a, *max_a));
        Range pair[2];
        orrin::value_ranges(orrin::strided(a.data()), orrin::strided(b.data()), n, pair);
        EXPECT_TRUE(pair[0].finite && pair[1].finite);
        EXPECT_EQ(pair[0].lo, *min_a);
        EXPECT_EQ(pair[0].hi, *max_a);
        EXPECT_EQ(pair[1].lo, *min_b);
        EXPECT_EQ(pair[1].hi, *max_b);
        for (std::size_t pos = 0; pos < n; ++pos) {
            for (double bad : {kNan, kInf, -kInf}) {
                std::vector<double> c = b;
                c[pos] = bad;
                EXPECT_FALSE(orrin::value_range(orrin::strided(c.data()), n).finite)
                    << n << " " << pos;
                orrin::value_ranges(orrin::strided(a.data()), orrin::strided(c.data()), n, pair);
                EXPECT_TRUE(pair[0].finite);
                EXPECT_FALSE(pair[1].finite) << n << " " << pos;
                orrin::value_ranges(orrin::strided(c.data()), orrin::strided(a.data()), n, pair);
                EXPECT_FALSE(pair[0].finite) << n << " " << pos;
                EXPECT_TRUE(pair[1].finite);
                if (std::isinf(bad)) {  // an infinity is an extreme like any other value
                    const auto [min_c, max_c] = std::minmax_element(c.begin(), c.end());
                    EXPECT_EQ(pair[0].lo, *min_c);
                    EXPECT_EQ(pair[0].hi, *max_c);
                }
            }
        }
    }
}

TEST(ValueRange, PairAgreesWithSingleColumnsOnSignedZerosBitForBit) {
    // Rows of a three-column matrix read as strided columns; -0.0 and 0.0 tie, so which one
    // is kept shows whether both passes compare the same rows in the same lanes.
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> pick(0, 3);
    const double values[4] = {-0.0, 0.0, -1.5, 2.5};
    for (std::size_t n = 1; n <= 40; ++n) {
        for (int trial = 0; trial < 20; ++trial) {
            std::vector<double> m(3 * n);
            for (double& v : m) v = values[pick(gen)];
            if (trial % 2 == 0) {
                for (double& v : m) v = v == -1.5 || v == 2.5 ? -0.0 : v;  // zeros only
            }
            const StridedColumn a = orrin::strided(m.data(), 3);
            const StridedColumn b = orrin::strided(m.data() + 2, 3);
            Range pair[2];
            orrin::value_ranges(a, b, n, pair);
            expect_same(pair[0], orrin::value_range(a, n), n);
            expect_same(pair[1], orrin::value_range(b, n), n);
            const auto mm = orrin::min_max(m.data(), n, 3);
            EXPECT_EQ(std::signbit(mm.first), std::signbit(pair[0].lo)) << n;
            EXPECT_EQ(std::signbit(mm.second), std::signbit(pair[0].hi)) << n;
        }
    }
}

// A column read backwards or at a byte stride that is not a multiple of 8 (values not
// aligned) gives what a contiguous copy of the same values gives.
class ValueRangeLayout : public ::testing::TestWithParam<std::ptrdiff_t> {};

TEST_P(ValueRangeLayout, EqualsAContiguousCopy) {
    const std::ptrdiff_t stride = GetParam();
    const std::size_t step = static_cast<std::size_t>(std::abs(stride));
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal;
    for (std::size_t n : {1u, 3u, 4u, 5u, 130u, 1001u}) {
        std::vector<double> a(n), b(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = i % 9 == 4 ? -0.0 : normal(gen);
            b[i] = i % 7 == 2 ? 0.0 : normal(gen);
        }
        std::vector<char> buf(step * n + 1);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = stride > 0 ? i * step : (n - 1 - i) * step;
            std::memcpy(buf.data() + 1 + at, &a[i], sizeof(double));
            if (step >= 16) std::memcpy(buf.data() + 1 + at + 8, &b[i], sizeof(double));
        }
        const char* first = buf.data() + 1 + (stride > 0 ? 0 : (n - 1) * step);
        const StridedColumn ca{first, stride};
        expect_same(orrin::value_range(ca, n), orrin::value_range(orrin::strided(a.data()), n), n);
        if (step < 16) continue;
        Range got[2], want[2];
        orrin::value_ranges(ca, StridedColumn{first + 8, stride}, n, got);
        orrin::value_ranges(orrin::strided(a.data()), orrin::strided(b.data()), n, want);
        expect_same(got[0], want[0], n);
        expect_same(got[1], want[1], n);
    }
}

INSTANTIATE_TEST_SUITE_P(Strides, ValueRangeLayout, ::testing::Values(8, 12, 24, -8, -20, -24));

// gather_rows copies the rows at the given positions, value by value, for every value size
// and layout: row-major and column-major, reversed columns, repeated and unordered rows.
class GatherRows : public ::testing::TestWithParam<std::size_t> {};

TEST_P(GatherRows, CopiesTheRowsAtThePositions) {
    const std::size_t itemsize = GetParam();
    const std::size_t rows = 37, cols = 3;
    std::vector<unsigned char> values(rows * cols * itemsize);
    std::mt19937 rng(7);
    for (auto& v : values) v = static_cast<unsigned char>(rng());
    const std::vector<std::int64_t> pos = {36, 0, 5,  5,  17, 36, 1,  2,  3,  30, 29, 0,
                                           8,  9, 10, 11, 12, 13, 14, 15, 16, 20, 21};
    // The source value (r, c) of each layout, by its address.
    struct Layout {
        std::ptrdiff_t row_stride, col_stride, first;
    };
    const auto is = static_cast<std::ptrdiff_t>(itemsize);
    const auto nr = static_cast<std::ptrdiff_t>(rows), nc = static_cast<std::ptrdiff_t>(cols);
    for (const Layout& l :
         {Layout{nc * is, is, 0}, Layout{is, nr * is, 0}, Layout{nc * is, -is, (nc - 1) * is}}) {
        orrin::StridedMatrix src{reinterpret_cast<const char*>(values.data()) + l.first,
                                 l.row_stride, l.col_stride, cols, itemsize};
        std::vector<char> out(pos.size() * cols * itemsize);
        orrin::gather_rows(src, pos.data(), pos.size(), out.data());
        for (std::size_t i = 0; i < pos.size(); ++i) {
            for (std::size_t j = 0; j < cols; ++j) {
                const char* want = src.data + pos[i] * l.row_stride +
                                   static_cast<std::ptrdiff_t>(j) * l.col_stride;
                EXPECT_EQ(std::memcmp(out.data() + (i * cols + j) * itemsize, want, itemsize), 0)
                    << "row " << i << " column " << j << " itemsize " << itemsize;
            }
        }
    }
}

TEST(FirstNonFinite, FindsTheFirstNanOrInfinityAtAnyPositionAndStride) {
    for (std::size_t n : {0u, 1u, 63u, 64u, 65u, 200u}) {
        std::vector<double> a(2 * n + 1, 1e308);
        const StridedColumn every_other{reinterpret_cast<const char*>(a.data()), 16};
        EXPECT_EQ(orrin::first_non_finite(every_other, n), n);
        for (std::size_t bad = 0; bad < n; bad += 7) {
            for (double v : {kNan, kInf, -kInf}) {
                std::vector<double> b = a;
                b[2 * bad] = v;
                if (bad + 3 < n) b[2 * (bad + 3)] = kNan;
                b[1] = kNan;  // between the strided values: never read
                const StridedColumn c{reinterpret_cast<const char*>(b.data()), 16};
                EXPECT_EQ(orrin::first_non_finite(c, n), bad) << n << " " << v;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ValueSizes, GatherRows, ::testing::Values(1, 2, 4, 8, 16, 3, 24));

}  // namespace
