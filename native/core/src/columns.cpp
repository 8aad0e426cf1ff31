#include "orrin/columns.hpp"

#include <cmath>

namespace orrin {

namespace {

// Two doubles in one SSE register (or the target's equivalent). The comparisons below select
// per element exactly as the scalar `v < lo ? v : lo` does, NaN included.
typedef double Pair __attribute__((vector_size(16)));

double load(const char* p) {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Every column is compared in four lanes, lane k holding rows i with i % 4 == k and the rows
// after the last multiple of four going to lane 0; the lanes are then combined in order 0..3,
// a tie keeping the earlier lane. v - v is 0 for a finite v and NaN otherwise, so a lane's
// sum stays 0 exactly when its values are finite, and a NaN never wins a comparison.
struct Lanes {
    double lo[4];
    double hi[4];
    double probe[4];

    explicit Lanes(double first) {
        for (int k = 0; k < 4; ++k) {
            lo[k] = hi[k] = first;
            probe[k] = 0.0;
        }
    }
    void take(int k, double v) {
        probe[k] += v - v;
        lo[k] = v < lo[k] ? v : lo[k];
        hi[k] = v > hi[k] ? v : hi[k];
    }
    Range combined() const {
        double l = lo[0];
        double h = hi[0];
        for (int k = 1; k < 4; ++k) {
            l = lo[k] < l ? lo[k] : l;
            h = hi[k] > h ? hi[k] : h;
        }
        return {l, h, (probe[0] + probe[1]) + (probe[2] + probe[3]) == 0.0};
    }
};

void take(Pair v, Pair& lo, Pair& hi, Pair& probe) {
    probe += v - v;
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
}

}  // namespace

Range value_range(StridedColumn c, std::size_t n) {
    // Rows i, i + 1 fill lanes 0 and 1 of one register, rows i + 2, i + 3 lanes 2 and 3.
    const double first = c[0];
    Pair lo[2] = {{first, first}, {first, first}};
    Pair hi[2] = {lo[0], lo[1]};
    Pair probe[2] = {{0.0, 0.0}, {0.0, 0.0}};
    const std::ptrdiff_t s = c.stride;
    const char* p = c.data;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4, p += 4 * s) {
        if (i + StridedColumn::kAhead < n) c.prefetch(i + StridedColumn::kAhead);
        take(Pair{load(p), load(p + s)}, lo[0], hi[0], probe[0]);
        take(Pair{load(p + 2 * s), load(p + 3 * s)}, lo[1], hi[1], probe[1]);
    }
    Lanes lanes(first);
    for (int k = 0; k < 4; ++k) {
        lanes.lo[k] = lo[k / 2][k % 2];
        lanes.hi[k] = hi[k / 2][k % 2];
        lanes.probe[k] = probe[k / 2][k % 2];
    }
    for (; i < n; ++i) lanes.take(0, c[i]);
    return lanes.combined();
}

void value_ranges(StridedColumn a, StridedColumn b, std::size_t n, Range out[2]) {
    // Lane k of both columns shares one register: (a[i + k], b[i + k]).
    const Pair first = {a[0], b[0]};
    Pair lo[4] = {first, first, first, first};
    Pair hi[4] = {first, first, first, first};
    Pair probe[4] = {};
    const std::ptrdiff_t sa = a.stride;
    const std::ptrdiff_t sb = b.stride;
    const char* pa = a.data;
    const char* pb = b.data;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4, pa += 4 * sa, pb += 4 * sb) {
        if (i + StridedColumn::kAhead < n) {
            a.prefetch(i + StridedColumn::kAhead);
            b.prefetch(i + StridedColumn::kAhead);
        }
        for (int k = 0; k < 4; ++k) {
            take(Pair{load(pa + k * sa), load(pb + k * sb)}, lo[k], hi[k], probe[k]);
        }
    }
    const StridedColumn cols[2] = {a, b};
    for (int c = 0; c < 2; ++c) {
        Lanes lanes(first[c]);
        for (int k = 0; k < 4; ++k) {
            lanes.lo[k] = lo[k][c];
            lanes.hi[k] = hi[k][c];
            lanes.probe[k] = probe[k][c];
        }
        for (std::size_t j = i; j < n; ++j) lanes.take(0, cols[c][j]);
        out[c] = lanes.combined();
    }
}

std::size_t first_non_finite(StridedColumn c, std::size_t n) {
    // v - v is 0 for a finite v and NaN otherwise; blocks of rows are probed together and
    // only a block that fails is searched value by value.
    constexpr std::size_t kBlock = 64;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t end = start + kBlock < n ? start + kBlock : n;
        double probe = 0.0;
        for (std::size_t i = start; i < end; ++i) {
            const double v = c[i];
            probe += v - v;
        }
        if (probe == 0.0) continue;
        for (std::size_t i = start; i < end; ++i) {
            if (!std::isfinite(c[i])) return i;
        }
    }
    return n;
}

}  // namespace orrin

namespace orrin {

namespace {

// Copies one row of `cols` values of N bytes each.
template <std::size_t N>
void copy_row(const char* src, std::ptrdiff_t col_stride, std::size_t cols, char* dst) {
    for (std::size_t j = 0; j < cols; ++j) {
        std::memcpy(dst + j * N, src + static_cast<std::ptrdiff_t>(j) * col_stride, N);
    }
}

template <std::size_t N>
void gather_fixed(const StridedMatrix& src, const std::int64_t* pos, std::size_t m, char* dst) {
    // Random rows miss the cache one by one; asking for rows this far ahead overlaps the
    // misses.
    constexpr std::size_t kAhead = 16;
    const std::size_t row_bytes = src.cols * N;
    for (std::size_t i = 0; i < m; ++i) {
        if (i + kAhead < m) {
            const char* ahead = src.data + pos[i + kAhead] * src.row_stride;
            __builtin_prefetch(ahead);
            __builtin_prefetch(ahead + static_cast<std::ptrdiff_t>(src.cols - 1) * src.col_stride);
        }
        copy_row<N>(src.data + pos[i] * src.row_stride, src.col_stride, src.cols,
                    dst + i * row_bytes);
    }
}

}  // namespace

void gather_rows(const StridedMatrix& src, const std::int64_t* pos, std::size_t m, char* dst) {
    switch (src.itemsize) {
        case 1:
            return gather_fixed<1>(src, pos, m, dst);
        case 2:
            return gather_fixed<2>(src, pos, m, dst);
        case 4:
            return gather_fixed<4>(src, pos, m, dst);
        case 8:
            return gather_fixed<8>(src, pos, m, dst);
        case 16:
            return gather_fixed<16>(src, pos, m, dst);
        default:
            break;
    }
    const std::size_t row_bytes = src.cols * src.itemsize;
    for (std::size_t i = 0; i < m; ++i) {
        const char* row = src.data + pos[i] * src.row_stride;
        for (std::size_t j = 0; j < src.cols; ++j) {
            std::memcpy(dst + i * row_bytes + j * src.itemsize,
                        row + static_cast<std::ptrdiff_t>(j) * src.col_stride, src.itemsize);
        }
    }
}

}  // namespace orrin
