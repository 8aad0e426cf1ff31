// Per-partition statistics of the histogram slicing: what one block of rows contributes to the
// column ranges, the distinct-value counts, the per-bin counts and sums and the region sums of
// a fit whose rows are spread over many partitions. Each result adds to the results of the
// other partitions (counts exactly; sums as compensated pairs whose parts a caller adds
// exactly), so the combined statistics do not depend on how the rows were partitioned.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "orrin/columns.hpp"
#include "orrin/regions.hpp"

namespace orrin::partition {

// A sum carried as hi + lo (Neumaier's compensation): the rounding error of every addition
// goes to lo, so the pair holds the exact sum of the added values up to about one rounding of
// the total, whatever their number.
struct CompensatedSum {
    double hi = 0.0;
    double lo = 0.0;
    void add(double v) {
        const double t = hi + v;
        if (std::fabs(hi) >= std::fabs(v)) {
            lo += (hi - t) + v;
        } else {
            lo += (v - t) + hi;
        }
        hi = t;
    }
};

// Rows, range and up to `cap` distinct values (ascending; -0.0 and 0.0 are one value) of a
// column. The distinct values of several partitions, united and cut at `cap`, give the number
// of distinct values of all their rows, capped at `cap`.
struct ColumnSummary {
    std::size_t n = 0;
    double min = std::numeric_limits<double>::quiet_NaN();
    double max = std::numeric_limits<double>::quiet_NaN();
    bool has_nan = false;
    std::vector<double> distinct;
};

ColumnSummary summarize(StridedColumn x, std::size_t n, std::size_t cap);

// The bin of v on ascending edges: the number of inner edges <= v (np.digitize of
// edges[1:-1]), so the maximum falls into the last bin.
std::size_t bin_of(const std::vector<double>& edges, double v);

// Summaries of x1 over the rows of each bin of x0 on edges0.
std::vector<ColumnSummary> summarize_groups(StridedColumn x0, StridedColumn x1, std::size_t n,
                                            const std::vector<double>& edges0, std::size_t cap);

// Rows, score sums, weight sums and sums of weight * score of every cell. One feature: the
// cells are the bins of x0 on edges0. Two features: the cells of bin g of x0 are the bins of x1
// on edges1[g], numbered from offset[g] = sum of the earlier groups' bins; a group without
// edges has no cells and must have no rows.
struct CellSums {
    std::vector<std::uint64_t> count;
    std::vector<CompensatedSum> scores, weights, products;
};

CellSums cell_sums(StridedColumn x0, const StridedColumn* x1, std::size_t n,
                   const std::vector<double>& edges0,
                   const std::vector<std::vector<double>>& edges1, const double* scores,
                   const double* weights);

// Rows and sums of the scores (and weights) of every region, from one membership pass.
struct RegionSums {
    std::vector<std::uint64_t> count;
    std::vector<CompensatedSum> scores, weights, products;
};
RegionSums region_sums(const RegionMembership& regions, StridedColumn c0, const StridedColumn* c1,
                       std::size_t n, const double* scores, const double* weights);

// Two-feature regions whose second upper bound closes on the rows themselves: closed exactly
// when the largest second value among the rows inside the region's first-feature bound equals
// it (none above it, none NaN). `first` holds the regions' first-feature bounds, `second`
// their second-feature bounds (open). Per region: the sums of the rows strictly inside, the
// sums of the rows on the upper bound (at or above the lower one), the rows whose second value
// equals the upper bound, and the rows above it or NaN. Added over partitions, they decide the
// closure as one pass over all rows would: closed = on_bound > 0 and beyond == 0.
struct ClosingSums {
    RegionSums inside, on;
    std::vector<std::uint64_t> on_bound, beyond;
};
ClosingSums region_sums_closing_second(const RegionMembership& first,
                                       const std::vector<Bound>& second, StridedColumn c0,
                                       StridedColumn c1, std::size_t n, const double* scores,
                                       const double* weights);

}  // namespace orrin::partition
