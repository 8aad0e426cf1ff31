// Columns of float64 values read in place, and the range pass over them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orrin {

// One column of float64 values, `stride` bytes apart (negative strides allowed).
struct StridedColumn {
    const char* data = nullptr;
    std::ptrdiff_t stride = sizeof(double);

    double operator[](std::size_t i) const {
        double v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof v);
        return v;
    }
    // Asks for value i ahead of its use. A strided column defeats the hardware prefetcher
    // often enough that passes which do work per value wait on memory without it.
    void prefetch(std::size_t i) const {
        __builtin_prefetch(data + static_cast<std::ptrdiff_t>(i) * stride);
    }
    // Rows ahead that passes prefetch: 12 KiB for rows of three values. Nearer, a pass over
    // a row-major matrix still waits on memory.
    static constexpr std::size_t kAhead = 512;
};

// x[0], x[stride], ... as a StridedColumn (`stride` counted in values).
inline StridedColumn strided(const double* x, std::size_t stride = 1) {
    return {reinterpret_cast<const char*>(x), static_cast<std::ptrdiff_t>(stride * sizeof(double))};
}

// Smallest and largest value of a column and whether every value is finite. A NaN never wins
// a comparison, but one in the first row is where every comparison starts, so the extremes are
// only meaningful when `finite` is true.
struct Range {
    double lo;
    double hi;
    bool finite;
};

// The range of c[0..n) (n > 0), in one pass without early exit.
//
// Only the sign of a zero extreme depends on the order in which values are compared (-0.0
// and 0.0 compare equal); every function here compares them in the same order, so they all
// give the same extremes for the same column, bit for bit.
Range value_range(StridedColumn c, std::size_t n);

// value_range of two columns of the same n rows, read side by side (columns of one matrix
// share cache lines, so the pair costs about one read of the rows).
void value_ranges(StridedColumn a, StridedColumn b, std::size_t n, Range out[2]);

// A matrix of `cols` values of `itemsize` bytes per row, laid out by two byte strides.
struct StridedMatrix {
    const char* data = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    std::size_t cols = 0;
    std::size_t itemsize = 0;
};

// Copies rows pos[0..m) of `src` (each in [0, rows of src)) to dst, C-contiguous: row i of the
// result is row pos[i] of the source, value by value, bytes unchanged. Random positions make
// this a chain of cache misses, so rows are prefetched ahead.
void gather_rows(const StridedMatrix& src, const std::int64_t* pos, std::size_t m, char* dst);

// Position of the first NaN or infinite value among c[0..n), or n when all are finite.
std::size_t first_non_finite(StridedColumn c, std::size_t n);

}  // namespace orrin
