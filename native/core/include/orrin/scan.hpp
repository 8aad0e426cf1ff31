// A scan of every feature and every pair of features for weak regions, with the histogram
// passes of the weak-region diagnoser: the same bins, bin scores, weak rule, merging of weak
// runs and size limit, so that each candidate's regions are exactly those of a diagnoser
// fitted on that candidate alone.
//
// Every feature is binned once on the fitting set (one byte per row and feature). A pair's
// pass sorts the rows by the bins of its first feature; the sorted rows, scores and weights
// are kept for all pairs that share that first feature, so a pair costs one scatter of its
// second column and the second-feature passes inside the first-feature bins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "orrin/histogram.hpp"
#include "orrin/memory.hpp"
#include "orrin/regions.hpp"

namespace orrin {

// out[k * m + i] := the value at row rows[i], column cols[k] of a float64 matrix whose
// element (r, c) lies at base + r * row_stride + c * col_stride bytes: the scanned columns of
// one split side by side, gathered in one pass over the split's rows.
void gather_columns(const char* base, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                    const std::int64_t* rows, std::size_t m, const std::size_t* cols, std::size_t p,
                    double* out);

// What makes a region weak: `sign * score <= sign * limit` (a NaN score never is). An
// additive metric's weak bins are merged into runs, and a run is kept when it holds at least
// `min_samples` rows; a non-additive metric's weak bins are the regions themselves.
struct WeakRule {
    double sign = -1.0;
    double limit = 0.0;
    double min_samples = 0.0;
    bool additive = true;

    bool weak(double score) const { return sign * score <= sign * limit; }
};

// The score of a non-additive metric over rows of the fitting set (ascending, none with
// weights summing to zero); the caller computes it.
using RowsScore = std::function<double(const std::int64_t* rows, std::size_t m)>;

// A weak region: [lb1, ub1] on the first feature and, for a pair, [lb2, ub2] on the second.
// Whether an upper bound is closed is decided where the region is counted.
struct ScanRegion {
    double lb1;
    double ub1;
    double lb2;
    double ub2;
};

// The fitting set's per-sample scores (additive metrics) and weights (null for none).
struct FitScores {
    const double* scores = nullptr;
    const double* weights = nullptr;
    const RowsScore* score_rows = nullptr;  // non-additive metrics
};

// np.average of the scores of every bin in row order (with the weights when given; NaN for
// a bin whose weights sum to zero, and for an empty bin).
std::vector<double> bin_averages(const Histogram& h, const double* scores, const double* w);

// The weak regions of one feature, binned as h (a histogram of the whole fitting set).
std::vector<ScanRegion> single_feature_regions(const Histogram& h, const FitScores& fit,
                                               const WeakRule& rule);

// The fitting set's rows sorted by the bins of a first feature, with their scores and
// weights, for the pairs that start with that feature.
class FirstFeatureOrder {
  public:
    FirstFeatureOrder(const Histogram& h, const FitScores& fit);

    // The weak regions of the pair (this feature, x1), x1 read as x1[i * stride]; the second
    // feature is cut into at most max_bins bins inside every first-feature bin. Throws
    // HistogramError where a bin's second values cannot be binned.
    std::vector<ScanRegion> pair_regions(const double* x1, std::size_t stride, std::size_t max_bins,
                                         const WeakRule& rule);

  private:
    const Histogram& h_;
    FitScores fit_;
    ScratchArray<std::uint32_t> row_of_;
    ScratchArray<double> scores_;
    ScratchArray<double> weights_;
    ScratchArray<double> x1_;
};

// Counts and scores of regions on one set of rows, counted as the diagnoser's fit driver
// counts them: the first upper bound is closed exactly when it equals `first_max` (the test
// set's maximum of the first feature), the second exactly when it equals the largest second
// value among the set's rows inside the first bounds.
struct SetScores {
    std::vector<std::size_t> counts;
    std::vector<double> scores;  // NaN for an empty region or weights summing to zero
};
// `scores`/`weights` are the set's per-sample scores and weights; with `score_rows` (a
// non-additive metric) the scores come from it instead.
SetScores score_regions_on_set(const std::vector<ScanRegion>& regions, bool pair, StridedColumn c0,
                               StridedColumn c1, std::size_t n, double first_max,
                               const double* scores, const double* weights,
                               const RowsScore* score_rows);

// Positions of the regions sorted by gap (test score minus training score), largest first,
// NaN gaps last, ties in their order: the order of the diagnoser's weak-region table.
std::vector<std::size_t> gap_order(const std::vector<double>& gaps);

// The share of the set's error that the weak regions carry beyond the average: the sum, in
// the given order of the regions, of (count / n) * sign * (overall - score), a region with
// no row or a NaN score adding nothing.
double region_excess(const SetScores& s, const std::vector<std::size_t>& order, std::size_t n,
                     double sign, double overall);

}  // namespace orrin
