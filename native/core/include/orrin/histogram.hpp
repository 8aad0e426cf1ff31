// Equal-width histogram binning with numpy's arithmetic, and the region bookkeeping built on
// it: bin assignment, rows grouped by bin in row order, merging runs of weak bins.
//
// The edges are those of `np.histogram(x, bins=k)`: `np.linspace(min, max, k + 1)` computed
// as `start + i * step` with the last edge set to the maximum exactly (or `start + (i / k) *
// delta` when the step underflows to zero), a constant column spanning its value +- 0.5.
// numpy refuses edges that do not strictly increase, so every accepted set of edges has all
// inner edges below the maximum. A region [edges[a], edges[b]) whose upper bound is closed
// exactly when it equals the maximum then holds exactly the rows of bins a .. b-1, where the
// bin of a value is `np.digitize(value, edges[1:-1])` (the number of inner edges <= value).
// That is what lets a single assignment pass answer every membership question of a pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "orrin/columns.hpp"
#include "orrin/memory.hpp"

namespace orrin {

// `np.histogram` refused the data (numpy's message, raised as ValueError by the bindings).
class HistogramError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// The columns read by the kernels are x[0], x[stride], ..., x[(n - 1) * stride], so a
// column of a row-major matrix is read in place.

// min(number of distinct values of x, cap); -0.0 and 0.0 count as one value. NaN must not
// occur (the callers reject it).
std::size_t count_distinct_capped(const double* x, std::size_t n, std::size_t cap,
                                  std::size_t stride = 1);

// Smallest and largest value of x (n > 0, no NaN).
std::pair<double, double> min_max(const double* x, std::size_t n, std::size_t stride = 1);

// The edges of `np.histogram` over the data range [lo, hi] with `nbins` bins (nbins > 0).
// Throws HistogramError with numpy's message when the edges do not strictly increase.
std::vector<double> histogram_edges(double lo, double hi, std::size_t nbins);

// bin[i] := np.digitize(x[i], edges[1:-1], right=False) for strictly increasing edges; when
// `counts` is given (edges.size() - 1 entries, zeroed) it receives the rows per bin.
void assign_bins(const double* x, std::size_t n, const std::vector<double>& edges,
                 std::uint32_t* bin, std::size_t* counts = nullptr, std::size_t stride = 1);

// The counts of the population stability index over `nbuckets` equal-width buckets of the
// reference's range: bucket j of a value is the number of inner edges at or below it, the
// edges those of np.linspace(ref.min(), ref.max(), nbuckets + 1) (+-0.5 around a constant
// reference). `ref_counts` and `weak_counts` get nbuckets entries each. Returns false, with
// the counts unspecified, when a value is not finite or the edges do not strictly increase:
// the caller then counts another way.
bool uniform_bucket_counts(const double* ref, std::size_t n_ref, const double* weak,
                           std::size_t n_weak, std::size_t nbuckets, std::size_t* ref_counts,
                           std::size_t* weak_counts);

// One column cut into equal-width bins.
struct Histogram {
    double lo = 0.0;  // x.min()
    double hi = 0.0;  // x.max()
    std::vector<double> edges;
    std::size_t rows = 0;
    // Bin of every row: one byte per row when there are at most 256 bins, else four.
    ScratchArray<std::uint8_t> bin8;
    ScratchArray<std::uint32_t> bin32;
    std::vector<std::size_t> offset;  // rows of bin j, in bin order: offset[j] .. offset[j+1]
    std::size_t nbins() const { return edges.size() - 1; }
    std::size_t count(std::size_t j) const { return offset[j + 1] - offset[j]; }
};
// Bins x into min(distinct values, max_bins) bins (n > 0, max_bins > 0, x finite).
Histogram build_histogram(const double* x, std::size_t n, std::size_t max_bins,
                          std::size_t stride = 1);
// The same with the column's known minimum and maximum.
Histogram build_histogram(const double* x, std::size_t n, std::size_t max_bins, std::size_t stride,
                          double lo, double hi);

// Stable counting sort by bin: out[offset[bin[i]] + (rank of i in its bin)] = values[i], so
// every bin's values are contiguous and in row order.
// A strided input column; null data is skipped.
struct Source {
    const double* data = nullptr;
    std::size_t stride = 1;
};
// Up to three columns at once. With `row_of` (h.rows entries, below 2^32 rows), also
// row_of[position] = row, ascending within every bin.
void scatter_by_bin(const Histogram& h, const Source (&values)[3], double* const (&out)[3],
                    std::uint32_t* row_of = nullptr);

// numpy_sum of every bin's values in row order, in one pass over the rows without sorting
// them: the same pairwise summation as over the bin's contiguous values. With weights w,
// sums[j] is the sum of the products a * w and weight_sums[j] that of the weights. Needs
// at most 256 bins (false otherwise, nothing written).
bool bin_sums(const Histogram& h, const double* a, const double* w, std::vector<double>& sums,
              std::vector<double>& weight_sums);

// Row positions in the order of scatter_by_bin.
std::vector<std::int64_t> rows_by_bin(const Histogram& h);

// Rows i with lb <= x[i] < ub (x[i] <= ub when `closed`), ascending.
std::vector<std::int64_t> interval_members(const double* x, std::size_t n, double lb, double ub,
                                           bool closed);

// For disjoint inclusive bin ranges, the values of each range's rows in ascending row order,
// gathered in one pass over the rows; range r occupies out[start[r]] .. out[start[r + 1]]
// for the returned starts. Each out[c] is allocated for every non-null values[c].
std::vector<std::size_t> gather_bin_ranges(
    const Histogram& h, const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
    const Source (&values)[2], ScratchArray<double> (&out)[2]);

// The rows of each disjoint inclusive bin range, range after range and ascending within
// each, written to `out` (room for all of them); returns the starts as gather_bin_ranges
// does. Position i of the binned values is row row_of[i], or row i when row_of is null;
// row_of must ascend within every bin, as scatter_by_bin leaves it. With `values`, the
// value at each of those positions goes to value_out, in the same order, in the same pass.
std::vector<std::size_t> bin_range_rows(
    const Histogram& h, const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
    const std::uint32_t* row_of, std::int64_t* out, const double* values = nullptr,
    double* value_out = nullptr);

// Rows in the bins first .. last (inclusive).
std::size_t rows_in_bins(const Histogram& h, std::size_t first, std::size_t last);

// A run of touching weak bins: the interval [lb, ub] and the bins first .. last it covers.
struct MergedRun {
    double lb;
    double ub;
    std::size_t first_bin;
    std::size_t last_bin;
};
// Merges the weak bins (ascending bin indices) in order of their lower edges: a bin whose
// lower edge is <= the upper bound of the current run extends the run.
std::vector<MergedRun> merge_weak_bins(const std::vector<double>& edges,
                                       const std::vector<std::size_t>& weak_bins);

// The bins j with edges[j] >= lb and edges[j + 1] <= ub form the range [first, last]; false
// when there is none.
bool bins_within(const std::vector<double>& edges, double lb, double ub, std::size_t& first,
                 std::size_t& last);

// `scipy.stats.percentileofscore` for `count` of `n` values below the score: count * (100/n).
double percentile_rank(std::size_t count, std::size_t n);

}  // namespace orrin
