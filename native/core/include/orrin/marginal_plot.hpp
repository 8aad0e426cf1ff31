// Drawing data of the marginal weak-region plot: the one-feature score curve, the
// histogram panels with their weak-share overlay, and the two-feature region map.
//
// Every number here reproduces what numpy/scipy compute for float64 data (`np.linspace`,
// `np.histogram(..., density=True)`, `scipy.stats.binned_statistic(..., "mean")`), so the
// drawn data equal a reference computed with those libraries bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orrin/columns.hpp"
#include "orrin/memory.hpp"

namespace orrin {

// `np.linspace(start, stop, num)` for float64 (num >= 1).
std::vector<double> numpy_linspace(double start, double stop, std::size_t num);

// One region rule of the score curve: the interval [lb, ub) (closed when ub is the
// feature's maximum) carries `value`.
struct CurveRule {
    double lb;
    double ub;
    double value;
};

struct ScoreCurve {
    std::vector<double> x;
    std::vector<double> y;
};

// The step curve over `grid` points from `xmin` to `xmax`, rules applied in order. A rule
// whose interval holds no grid point inserts ten points from its lb to its ub (all carrying
// its value) between the last point below lb and the first point at or above ub; later rules
// see the refined grid. With no point below lb the ten points go first, with no point at or
// above ub they go last. Throws std::invalid_argument (naming the rule's position) for a rule
// with a NaN bound or lb > ub.
ScoreCurve score_curve(double xmin, double xmax, std::size_t grid,
                       const std::vector<CurveRule>& rules);

// Smallest and largest value, ignoring NaN; both NaN when every value is NaN.
void nan_min_max(const std::vector<double>& v, double& lo, double& hi);

struct HistogramPanel {
    std::vector<double> edges;       // bins + 1 edges, as np.histogram returns them
    std::vector<double> centres;     // mean of neighbouring edges
    std::vector<double> density;     // np.histogram(..., density=True)
    std::vector<double> weak_share;  // mean of the weak flags per bin (NaN for an empty bin)
};

// Histogram of v (n > 0, finite values) with `bins` equal-width bins. When `weak` is not null,
// also the per-bin mean of weak[i] with scipy's binned_statistic assignment (values on an
// inner edge go to the right bin, the maximum to the last bin). Throws HistogramError (a
// std::invalid_argument) with numpy's message when the range is too narrow for that many bins.
HistogramPanel histogram_panel(const double* v, std::size_t n, std::size_t bins,
                               const std::uint8_t* weak);

// A two-feature weak region: [lb1, ub1) x [lb2, ub2), upper bounds closed as the map decides.
struct RegionBox {
    double lb1;
    double ub1;
    double lb2;
    double ub2;
};

struct RegionLabel {
    std::size_t region;  // position of the region in the input list
    double locx;         // axes-fraction position of its number
    double locy;
};

struct RegionMap {
    std::vector<double> img;  // grid x grid, row i = i-th grid point of x0; -1 where empty
    std::vector<RegionLabel> labels;
};

// Region map over `grid` points per axis spanning the ranges of x0 and x1 (n > 0 rows, finite).
// Region k fills its block with k % 5; later regions overwrite earlier ones. The first upper
// bound is closed when it equals max(x0); the second when it equals the largest x1 among the
// rows that meet the region's first-feature condition (open when no row does). A region
// with grid points in both directions gets a label at the mean of its grid positions.
RegionMap region_map(const double* x0, const double* x1, std::size_t n, std::size_t grid,
                     const std::vector<RegionBox>& regions);

// A column read in place: element i is data[i * stride].
struct ColumnView {
    const double* data;
    std::size_t stride;
};

// The ranges of `count` columns of n > 0 rows, read two at a time.
std::vector<Range> column_ranges(const ColumnView* columns, std::size_t count, std::size_t n);

// Row i is weak when sign * scores[i] <= limit.
struct WeakRule {
    ColumnView scores;
    double sign;
    double limit;
};

struct MarginalData {
    std::vector<HistogramPanel> panels;  // one per column
    std::vector<RegionLabel> labels;     // region numbers of the map, when drawn
};

// A provisional scale for histogram counts taken before the exact range is known: the cell
// of a value v is (v - base) * scale, clamped to [0, kCells - 1] and truncated. Cells
// 0 and kCells - 1 also take every value outside the scale's range.
struct CellScale {
    double base;
    double scale;  // 0: every value in cell 0
};
constexpr std::size_t kCells = std::size_t{1} << 14;

// A scale over the range of a sample of about a thousand rows of the column's n rows, with a
// margin (finite values only; scale 0 when the sample holds none).
CellScale sample_scale(const ColumnView& column, std::size_t n);

// One pass over one or two columns of n > 0 rows: their ranges (the same as column_ranges,
// bit for bit) and each row's cell on the given scales, for marginal_data.
struct ColumnScan {
    std::size_t count = 0;
    std::vector<Range> ranges;
    std::vector<CellScale> scales;
    ReusedArray<std::uint16_t> cells;  // row i's cells at [i * count, (i + 1) * count)
};
ColumnScan scan_columns(const ColumnView* columns, const CellScale* scales, std::size_t count,
                        std::size_t n);

// The histogram panels of the one or two finite columns of `scan` (n > 0 rows; with the weak
// share when `weak` is not null) and, for two columns with `regions` and `image` not null,
// their region map: the same values as histogram_panel with at most `bins` bins (one per
// distinct value when fewer) and region_map. The counts come from the scan's cells: only rows
// in cells that do not lie inside one bin (around an edge, or outside the scale's range)
// read their value again, so any scale gives the same result. The map goes to `image` (grid x grid
// values) as it is drawn: row r holds the (grid - 1 - r)-th grid point of the second column, column
// i the i-th of the first. Throws HistogramError as histogram_panel does, for the first column
// first.
MarginalData marginal_data(const ColumnView* columns, const ColumnScan& scan, std::size_t n,
                           std::size_t bins, const WeakRule* weak, std::size_t grid,
                           const std::vector<RegionBox>* regions, double* image);

}  // namespace orrin
