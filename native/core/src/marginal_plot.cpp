#include "orrin/marginal_plot.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "orrin/histogram.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orrin {

std::vector<double> numpy_linspace(double start, double stop, std::size_t num) {
    std::vector<double> out(num);
    if (num == 0) return out;
    const double delta = stop - start;
    if (num == 1) {
        out[0] = 0.0 * delta + start;
        return out;
    }
    const double div = static_cast<double>(num - 1);
    const double step = delta / div;
    if (step == 0.0) {
        // numpy scales by the fraction first when the step underflows to zero.
        for (std::size_t i = 0; i < num; ++i) out[i] = static_cast<double>(i) / div * delta + start;
    } else {
        for (std::size_t i = 0; i < num; ++i) out[i] = static_cast<double>(i) * step + start;
    }
    out[num - 1] = stop;
    return out;
}

ScoreCurve score_curve(double xmin, double xmax, std::size_t grid,
                       const std::vector<CurveRule>& rules) {
    ScoreCurve curve;
    curve.x = numpy_linspace(xmin, xmax, grid);
    curve.y.assign(grid, 0.0);
    for (std::size_t k = 0; k < rules.size(); ++k) {
        const CurveRule& r = rules[k];
        if (std::isnan(r.lb) || std::isnan(r.ub) || r.lb > r.ub) {
            throw std::invalid_argument("rule_list entry " + std::to_string(k) +
                                        " needs bounds lb <= ub that are not NaN.");
        }
        const bool closed = r.ub == xmax;
        std::vector<double>& x = curve.x;
        std::vector<double>& y = curve.y;
        bool hit = false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (r.lb <= x[i] && (closed ? x[i] <= r.ub : x[i] < r.ub)) {
                y[i] = r.value;
                hit = true;
            }
        }
        if (hit) continue;
        // The interval falls between two grid points: insert ten points across it.
        std::size_t keep = 0;  // points up to and including the last one below lb
        for (std::size_t i = x.size(); i-- > 0;) {
            if (x[i] < r.lb) {
                keep = i + 1;
                break;
            }
        }
        std::size_t resume = x.size();  // first point at or above ub
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (x[i] >= r.ub) {
                resume = i;
                break;
            }
        }
        resume = std::max(resume, keep);
        const std::vector<double> inserted = numpy_linspace(r.lb, r.ub, 10);
        std::vector<double> nx;
        std::vector<double> ny;
        nx.reserve(keep + 10 + (x.size() - resume));
        ny.reserve(nx.capacity());
        nx.insert(nx.end(), x.begin(), x.begin() + static_cast<std::ptrdiff_t>(keep));
        ny.insert(ny.end(), y.begin(), y.begin() + static_cast<std::ptrdiff_t>(keep));
        nx.insert(nx.end(), inserted.begin(), inserted.end());
        ny.insert(ny.end(), 10, r.value);
        nx.insert(nx.end(), x.begin() + static_cast<std::ptrdiff_t>(resume), x.end());
        ny.insert(ny.end(), y.begin() + static_cast<std::ptrdiff_t>(resume), y.end());
        x.swap(nx);
        y.swap(ny);
    }
    return curve;
}

void nan_min_max(const std::vector<double>& v, double& lo, double& hi) {
    lo = std::numeric_limits<double>::quiet_NaN();
    hi = lo;
    for (double e : v) {
        if (std::isnan(e)) continue;
        if (std::isnan(lo) || e < lo) lo = e;
        if (std::isnan(hi) || e > hi) hi = e;
    }
}

namespace {

typedef double Pair __attribute__((vector_size(16)));

// a < b ? a : b and a > b ? a : b per element, which SSE2's min and max compute in one step
// (compilers do not always see that).
Pair pair_min(Pair a, Pair b) {
#if defined(__SSE2__)
    return reinterpret_cast<Pair>(
        _mm_min_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
#else
    return a < b ? a : b;
#endif
}
Pair pair_max(Pair a, Pair b) {
#if defined(__SSE2__)
    return reinterpret_cast<Pair>(
        _mm_max_pd(reinterpret_cast<__m128d>(a), reinterpret_cast<__m128d>(b)));
#else
    return a > b ? a : b;
#endif
}

// The cell position of v: a value of [0, kCells - 1] before truncation.
double cell_position(const CellScale& scale, double v) { return (v - scale.base) * scale.scale; }

// Counts of one histogram panel, fed in blocks of rows.
//
// np.histogram: the scaled position ((x - first) / denom) * bins gives the bin, then one
// correction step against the edges themselves; the last bin includes the right edge.
// binned_statistic puts a value in the bin whose edges enclose it (the maximum in the last
// bin), which is the same bin unless the correction step fell short; such a value is
// searched for.
//
// Almost every value lies between the edges of the bin a guess from its position gives,
// which settles both at once. The guess multiplies by bins / denom instead of dividing: it
// is off numpy's position by far less than one, so numpy's bin is the guess or a neighbour,
// and from a neighbour numpy's correction step reaches the enclosing bin. Values outside the
// guessed bin take numpy's exact steps.
//
// Rows scanned before the edges were known come with their cell on a provisional scale
// (ColumnScan); a cell that lies inside one bin gives the bin without the value, and only
// rows in the other cells (around an edge, or outside the provisional range) read it.
class PanelCounter {
  public:
    PanelCounter(std::vector<double> edges, bool weak)
        : edges_(std::move(edges)),
          first_(edges_.front()),
          denom_(edges_.back() - edges_.front()),
          nb_(static_cast<double>(edges_.size() - 1)),
          scale_(nb_ / denom_),
          bins_(edges_.size() - 1),
          upper_(edges_.begin() + 1, edges_.end()),
          packed_(2 * bins_, 0),
          rows_(bins_, 0),
          weak_(weak ? bins_ : 0, 0),
          moved_(weak ? bins_ : 0, 0) {
        upper_.back() = std::numeric_limits<double>::infinity();
        // A range so narrow that bins / denom overflows keeps the exact division.
        if (!std::isfinite(scale_)) scale_ = 0.0;
    }

    // The bins of the cells of `scale`. A cell inside bin b gets cell_bin_ b; a cell holding
    // the one inner edge e_j gets cell_bin_ -1 and base j - 1 with edge e_j, so that a value
    // is in bin base + (v >= edge); a cell where only the value can tell gets -1 for both. A
    // bin is only named when numpy's first guess for either of its edges is at most one bin
    // off, so that numpy's correction step reaches the enclosing bin.
    void use_cells(const CellScale& scale) {
        cell_bin_.assign(kCells, -1);
        cell_base_.assign(kCells, -1);
        // An edge of +infinity is above every finite value: base + 0 for a cell inside a bin.
        cell_edge_.assign(kCells, std::numeric_limits<double>::infinity());
        if (scale.scale == 0.0 || bins_ + 1 > static_cast<std::size_t>(INT16_MAX)) return;
        // Cell positions never decrease with the value, so an edge whose position is below
        // a cell is below every value in it, and one at or above the cell's end is above.
        std::vector<double> at(bins_ + 1);
        for (std::size_t b = 0; b <= bins_; ++b) at[b] = cell_position(scale, edges_[b]);
        std::vector<std::uint8_t> agrees(bins_);
        for (std::size_t b = 0; b < bins_; ++b) {
            agrees[b] = numpy_guess(edges_[b]) + 1 >= b && numpy_guess(edges_[b + 1]) <= b + 1;
        }
        std::size_t b = 0;  // inner edges below the current cell
        for (std::size_t c = 1; c + 1 < kCells; ++c) {
            const auto lo = static_cast<double>(c);
            while (b + 1 < bins_ && at[b + 1] < lo) ++b;
            const std::size_t j = b + 1;  // the next inner edge, when j < bins
            if (j < bins_ && at[j] < lo + 1.0) {
                const bool alone = j + 1 == bins_ || at[j + 1] >= lo + 1.0;
                if (alone && agrees[j - 1] && agrees[j]) {
                    cell_base_[c] = static_cast<std::int16_t>(b);
                    cell_edge_[c] = edges_[j];
                }
                continue;
            }
            if (agrees[b]) cell_bin_[c] = cell_base_[c] = static_cast<std::int16_t>(b);
        }
    }

    // Whether the rows of cells that are not inside one bin are common (values on or next to
    // the edges, as integer-valued columns have): then reading every row's value costs less
    // than branching on each row's cell. Judged from about a thousand rows.
    bool crowded_edges(const std::uint16_t* cells, std::size_t step, std::size_t n) const {
        const std::size_t every = std::max<std::size_t>(n / 1024, 1);
        std::size_t seen = 0;
        std::size_t off = 0;
        for (std::size_t i = 0; i < n; i += every, ++seen) off += cell_bin_[cells[i * step]] < 0;
        return off * 32 > seen;
    }

    // Counts in packed_ hold rows in the low and weak rows in the high 32 bits, in two lanes
    // (even rows in the first `bins` counters, odd rows in the next, so that runs of one bin
    // do not wait on each other); the caller announces every block so that they are moved out
    // before they could overflow.
    void will_add(std::size_t len) {
        pending_ += len;
        if (pending_ >= kFlushRows) flush();
    }

    // What counting a row adds to its bin's packed counter: 1, plus 1 << 32 when it is weak.
    static std::uint64_t increment(bool weak) {
        return 1 + (static_cast<std::uint64_t>(weak) << 32);
    }

    // Counts one value with its increment in lane 0 or 1.
    void add_value(std::size_t lane, double x, std::uint64_t step) {
        const double top = nb_ - 1.0;
        const double p = scale_ != 0.0 ? (x - first_) * scale_ : numpy_position(x);
        const double below_top = top < p ? top : p;
        const auto idx = static_cast<std::size_t>(0.0 < below_top ? below_top : 0.0);
        if ((x >= edges_[idx]) & (x < upper_[idx])) {
            packed_[lane * bins_ + idx] += step;
        } else {
            add_off_guess(x, static_cast<std::uint8_t>(step >> 32));
        }
    }

    // Counts rows first_row.. first_row + len of `column` from their cells (`cells[k *
    // step]` for row first_row + k); `inc` holds each row's increment, or is null when no row
    // is weak.
    template <bool Crowded>
    void add_cells(const std::uint16_t* cells, std::size_t step, const ColumnView& column,
                   std::size_t first_row, const std::uint64_t* inc, std::size_t len) {
        const std::int16_t* bin = cell_bin_.data();
        const std::int16_t* base = cell_base_.data();
        const double* edge = cell_edge_.data();
        std::uint64_t* const lanes[2] = {packed_.data(), packed_.data() + bins_};
        const auto add = [&](std::size_t lane, std::size_t k) {
            const std::uint64_t one = inc != nullptr ? inc[k] : 1;
            const std::uint16_t c = cells[k * step];
            if (!Crowded && bin[c] >= 0) {
                lanes[lane][bin[c]] += one;
                return;
            }
            const double x = column.data[(first_row + k) * column.stride];
            const std::int16_t b = base[c];
            if (b >= 0) {
                lanes[lane][static_cast<std::size_t>(b) + (x >= edge[c])] += one;
            } else {
                add_value(lane, x, one);
            }
        };
        std::size_t k = 0;
        for (; k + 2 <= len; k += 2) {
            add(0, k);
            add(1, k + 1);
        }
        if (k < len) add(0, k);
    }

    HistogramPanel finish(std::size_t n) && {
        flush();
        const std::vector<double>& e = edges_;
        HistogramPanel panel;
        const double total = static_cast<double>(n);
        panel.centres.resize(bins_);
        panel.density.resize(bins_);
        for (std::size_t b = 0; b < bins_; ++b) {
            panel.centres[b] = (e[b] + e[b + 1]) / 2.0;
            panel.density[b] = static_cast<double>(rows_[b]) / (e[b + 1] - e[b]) / total;
        }
        if (!moved_.empty()) {
            panel.weak_share.resize(bins_);
            for (std::size_t b = 0; b < bins_; ++b) {
                const auto members = static_cast<std::int64_t>(rows_[b]) + moved_[b];
                panel.weak_share[b] =
                    members == 0 ? std::numeric_limits<double>::quiet_NaN()
                                 : static_cast<double>(weak_[b]) / static_cast<double>(members);
            }
        }
        panel.edges = std::move(edges_);
        return panel;
    }

  private:
    static constexpr std::size_t kFlushRows = std::size_t{1} << 31;

    void flush() {
        for (std::size_t b = 0; b < bins_; ++b) {
            for (std::size_t lane = b; lane < 2 * bins_; lane += bins_) {
                rows_[b] += packed_[lane] & 0xffffffffU;
                if (!weak_.empty()) weak_[b] += packed_[lane] >> 32;
                packed_[lane] = 0;
            }
        }
        pending_ = 0;
    }

    double numpy_position(double x) const { return ((x - first_) / denom_) * nb_; }

    // numpy's first guess: the truncated position, the right edge in the last bin.
    std::size_t numpy_guess(double x) const {
        auto scaled = static_cast<std::ptrdiff_t>(numpy_position(x));
        scaled = std::min(std::max(scaled, std::ptrdiff_t{0}), static_cast<std::ptrdiff_t>(bins_));
        auto idx = static_cast<std::size_t>(scaled);
        if (idx == bins_) --idx;
        return idx;
    }

    // numpy's bin: the first guess, then one correction step.
    std::size_t numpy_bin(double x) const {
        std::size_t idx = numpy_guess(x);
        const double* e = edges_.data();
        if (idx > 0 && x < e[idx]) --idx;
        if (idx + 1 != bins_ && x >= e[idx + 1]) ++idx;
        return idx;
    }

    void add_off_guess(double x, std::uint8_t weak) {
        const std::size_t idx = numpy_bin(x);
        ++rows_[idx];
        if (weak_.empty()) return;
        const double* e = edges_.data();
        if (e[idx] <= x && (idx + 1 == bins_ || x < e[idx + 1])) {
            weak_[idx] += weak;
            return;
        }
        --moved_[idx];
        auto j = static_cast<std::size_t>(std::upper_bound(edges_.begin(), edges_.end(), x) -
                                          edges_.begin());
        if (x >= edges_.back()) --j;
        if (j == 0 || j > bins_) return;
        --j;
        ++moved_[j];
        weak_[j] += weak;
    }

    std::vector<double> edges_;
    double first_;
    double denom_;
    double nb_;
    double scale_;  // bins / denom for the guess, 0 to guess by numpy's division
    std::size_t bins_;
    std::vector<double> upper_;          // upper edge per bin, infinite for the last one
    std::vector<std::uint64_t> packed_;  // guessed bins, two lanes each: rows | weak rows << 32
    std::size_t pending_ = 0;            // rows announced since packed_ was last moved out
    std::vector<std::uint64_t> rows_;
    std::vector<std::uint64_t> weak_;      // weak rows by scipy's assignment
    std::vector<std::int64_t> moved_;      // scipy's bins minus numpy's
    std::vector<std::int16_t> cell_bin_;   // bin of each provisional cell, -1 when not one bin
    std::vector<std::int16_t> cell_base_;  // bin of a cell's values as base + (v >= edge),
    std::vector<double> cell_edge_;        // base -1 when only the value can tell
};

// Largest x1 among the rows whose x0 lies in an interval with given endpoints. The sorted
// distinct endpoints split the line into pieces (each endpoint itself and the open gaps
// around it); fed every row once, it records the largest x1 per piece, and an interval
// query takes the maximum over the pieces it covers.
class IntervalMax {
  public:
    explicit IntervalMax(std::vector<double> endpoints) : ends_(std::move(endpoints)) {
        std::sort(ends_.begin(), ends_.end());
        ends_.erase(std::unique(ends_.begin(), ends_.end()), ends_.end());
        best_.assign(2 * ends_.size() + 1, 0.0);
        seen_.assign(best_.size(), 0);
    }

    void add(double x0, double x1) {
        const std::size_t p = piece(x0);
        if (!seen_[p] || x1 > best_[p]) best_[p] = x1;
        seen_[p] = 1;
    }

    // Max of x1 over rows with lb <= x0 < ub (x0 <= ub when `closed`); false when none.
    bool query(double lb, double ub, bool closed, double& out) const {
        if (std::isnan(lb) || std::isnan(ub)) return false;
        const std::size_t lo = piece(lb);
        const std::size_t up = piece(ub);
        const std::size_t hi_plus1 = closed ? up + 1 : up;
        bool any = false;
        for (std::size_t p = lo; p < hi_plus1; ++p) {
            if (!seen_[p]) continue;
            if (!any || best_[p] > out) out = best_[p];
            any = true;
        }
        return any;
    }

  private:
    // Piece 2j+1 is the endpoint ends_[j], piece 2j the gap below it.
    std::size_t piece(double v) const {
        const std::size_t j = lower_bound_index(v);
        return (j < ends_.size() && ends_[j] == v) ? 2 * j + 1 : 2 * j;
    }

    // Position of the first endpoint not below v; a branch-free search, since row values
    // land in unpredictable pieces.
    std::size_t lower_bound_index(double v) const {
        if (ends_.empty()) return 0;
        const double* base = ends_.data();
        std::size_t len = ends_.size();
        while (len > 1) {
            const std::size_t half = len / 2;
            // Arithmetic, not a conditional: compilers turn the latter into a branch.
            base += static_cast<std::size_t>(base[half] < v) * half;
            len -= half;
        }
        return static_cast<std::size_t>(base - ends_.data()) + (*base < v ? 1 : 0);
    }

    std::vector<double> ends_;
    std::vector<double> best_;
    std::vector<std::uint8_t> seen_;
};

// What the region map needs before the rows are read: the grids, and which regions have
// their second upper bound on the grid. Closing that bound changes the map only where a grid
// point equals it, so the rows are consulted (through `tops`) only for those regions.
struct MapPlan {
    std::vector<double> g0;
    std::vector<double> g1;
    double max0 = 0.0;
    std::vector<std::uint8_t> bound_on_grid;
    std::optional<IntervalMax> tops;
};

MapPlan plan_map(const Range& r0, const Range& r1, std::size_t grid,
                 const std::vector<RegionBox>& regions) {
    MapPlan plan;
    plan.g0 = numpy_linspace(r0.lo, r0.hi, grid);
    plan.g1 = numpy_linspace(r1.lo, r1.hi, grid);
    plan.max0 = r0.hi;
    plan.bound_on_grid.assign(regions.size(), 0);
    std::vector<double> endpoints;
    bool any = false;
    for (std::size_t k = 0; k < regions.size(); ++k) {
        const RegionBox& r = regions[k];
        if (std::find(plan.g1.begin(), plan.g1.end(), r.ub2) == plan.g1.end()) continue;
        plan.bound_on_grid[k] = 1;
        any = true;
        if (!std::isnan(r.lb1)) endpoints.push_back(r.lb1);
        if (!std::isnan(r.ub1)) endpoints.push_back(r.ub1);
    }
    if (any) plan.tops.emplace(std::move(endpoints));
    return plan;
}

std::vector<std::size_t> grid_positions(const std::vector<double>& g, double lb, double ub,
                                        bool closed) {
    std::vector<std::size_t> loc;
    for (std::size_t i = 0; i < g.size(); ++i) {
        if (lb <= g[i] && (closed ? g[i] <= ub : g[i] < ub)) loc.push_back(i);
    }
    return loc;
}

double mean_position(const std::vector<std::size_t>& loc) {
    std::uint64_t sum = 0;
    for (std::size_t p : loc) sum += p;
    return static_cast<double>(sum) / static_cast<double>(loc.size());
}

// Copies a row of n values to memory that is not read again here, bypassing the caches
// where SSE2 allows: the map is written once and only read when the figure is rendered.
void stream_row(double* dst, const double* src, std::size_t n) {
    std::size_t i = 0;
#if defined(__SSE2__)
    if (reinterpret_cast<std::uintptr_t>(dst) % sizeof(double) == 0) {
        if (n > 0 && reinterpret_cast<std::uintptr_t>(dst) % 16 != 0) {
            dst[0] = src[0];
            i = 1;
        }
        for (; i + 2 <= n; i += 2) _mm_stream_pd(dst + i, _mm_loadu_pd(src + i));
    }
#endif
    std::memcpy(dst + i, src + i, (n - i) * sizeof(double));
}

// Fills `cells` (grid x grid, all set here) with the drawn image and returns the labels:
// row r holds the (grid - 1 - r)-th grid point of x1 and column i the i-th of x0. Region k
// sets the cells of its grid positions to k % 5, later regions over earlier ones.
std::vector<RegionLabel> draw_map(const MapPlan& plan, const std::vector<RegionBox>& regions,
                                  double* cells) {
    const std::size_t grid = plan.g0.size();
    std::vector<std::vector<std::size_t>> loc1(regions.size());
    // The regions covering each x1 grid point, in list order, as offsets into `covering`.
    std::vector<std::size_t> first(grid + 1, 0);
    std::vector<std::vector<std::size_t>> loc2(regions.size());
    std::vector<RegionLabel> labels;
    for (std::size_t k = 0; k < regions.size(); ++k) {
        const RegionBox& r = regions[k];
        const bool closed1 = r.ub1 == plan.max0;
        double top = 0.0;
        const bool closed2 =
            plan.bound_on_grid[k] && plan.tops->query(r.lb1, r.ub1, closed1, top) && r.ub2 == top;
        loc1[k] = grid_positions(plan.g0, r.lb1, r.ub1, closed1);
        loc2[k] = grid_positions(plan.g1, r.lb2, r.ub2, closed2);
        if (loc1[k].empty()) loc2[k].clear();  // nothing to draw
        for (std::size_t j : loc2[k]) ++first[j + 1];
        if (!loc1[k].empty() && !loc2[k].empty()) {
            const double g = static_cast<double>(grid);
            const double locy = (mean_position(loc2[k]) - 0.015 * g) / g;
            const double locx = (mean_position(loc1[k]) - 0.01 * g) / g;
            labels.push_back({k, locx, locy});
        }
    }
    for (std::size_t j = 0; j < grid; ++j) first[j + 1] += first[j];
    std::vector<std::size_t> covering(first[grid]);
    {
        std::vector<std::size_t> next(first.begin(), first.end() - 1);
        for (std::size_t k = 0; k < regions.size(); ++k) {
            for (std::size_t j : loc2[k]) covering[next[j]++] = k;
        }
    }
    // Each image row is composed in `row` and then written out once; neighbouring rows are
    // usually covered by the same regions, and then the composed row is reused as it is.
    std::vector<double> row(grid, -1.0);
    const std::size_t* drawn = covering.data();  // regions composed into `row` now
    std::size_t drawn_count = 0;
    for (std::size_t r = 0; r < grid; ++r) {
        const std::size_t j = grid - 1 - r;
        const std::size_t* cover = covering.data() + first[j];
        const std::size_t count = first[j + 1] - first[j];
        if (count != drawn_count || !std::equal(cover, cover + count, drawn)) {
            std::fill(row.begin(), row.end(), -1.0);
            for (std::size_t c = 0; c < count; ++c) {
                const std::size_t k = cover[c];
                const double code = static_cast<double>(k % 5);
                const std::vector<std::size_t>& cols = loc1[k];
                // The grids increase, so a region's positions usually form one run.
                if (cols.back() - cols.front() + 1 == cols.size()) {
                    std::fill(row.begin() + static_cast<std::ptrdiff_t>(cols.front()),
                              row.begin() + static_cast<std::ptrdiff_t>(cols.back()) + 1, code);
                } else {
                    for (std::size_t i : cols) row[i] = code;
                }
            }
            drawn = cover;
            drawn_count = count;
        }
        stream_row(cells + r * grid, row.data(), grid);
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
    return labels;
}

std::vector<double> panel_edges(const ColumnView& c, const Range& r, std::size_t n,
                                std::size_t bins) {
    const std::size_t nbins = count_distinct_capped(c.data, n, bins, c.stride);
    return histogram_edges(r.lo, r.hi, nbins);
}

// Scans rows [0, n) of `count` columns: their ranges, lane by lane as value_range reads them
// (lane k takes the rows i with i % 4 == k, the rows after the last multiple of four go to
// lane 0), and each row's cells. The columns are read side by side in one vector of two
// (a single column fills both).
template <std::size_t Count>
void scan_rows(const ColumnView* columns, const CellScale* scales, std::size_t n,
               std::uint16_t* cells, Range* out) {
    typedef Pair Vec;
    const ColumnView& second = columns[Count - 1];
    const auto load = [&](std::size_t i) {
        return Vec{columns[0].data[i * columns[0].stride], second.data[i * second.stride]};
    };
    const Vec base = {scales[0].base, scales[Count - 1].base};
    const Vec scale = {scales[0].scale, scales[Count - 1].scale};
    const Vec top = {static_cast<double>(kCells - 1), static_cast<double>(kCells - 1)};
    const Vec zero = {0.0, 0.0};
    const Vec first = load(0);
    Vec lo[4] = {first, first, first, first};
    Vec hi[4] = {first, first, first, first};
    Vec probe[4] = {zero, zero, zero, zero};
    const auto take = [&](std::size_t lane, std::size_t i) {
        const Vec v = load(i);
        probe[lane] += v - v;
        lo[lane] = pair_min(v, lo[lane]);
        hi[lane] = pair_max(v, hi[lane]);
        const Vec q = pair_max(pair_min(top, (v - base) * scale), zero);
        for (std::size_t c = 0; c < Count; ++c)
            cells[i * Count + c] = static_cast<std::uint16_t>(static_cast<int>(q[c]));
    };
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        if (i + StridedColumn::kAhead < n) {
            for (std::size_t c = 0; c < Count; ++c)
                __builtin_prefetch(columns[c].data +
                                   (i + StridedColumn::kAhead) * columns[c].stride);
        }
        for (std::size_t lane = 0; lane < 4; ++lane) take(lane, i + lane);
    }
    for (; i < n; ++i) take(0, i);
    for (std::size_t c = 0; c < Count; ++c) {
        double l = lo[0][c];
        double h = hi[0][c];
        for (std::size_t k = 1; k < 4; ++k) {
            l = lo[k][c] < l ? lo[k][c] : l;
            h = hi[k][c] > h ? hi[k][c] : h;
        }
        out[c] = {l, h, (probe[0][c] + probe[1][c]) + (probe[2][c] + probe[3][c]) == 0.0};
    }
}

// The counting pass behind marginal_data, in blocks of rows: the weak flags of a block, then
// the counts of each column from its cells.
template <bool Weak, std::size_t Count>
void count_rows(const ColumnView* columns, const std::uint16_t* cells, std::size_t n,
                const WeakRule* weak, PanelCounter* panels) {
    constexpr std::size_t kBlock = 256;
    std::uint64_t inc[kBlock];
    bool crowded[Count];
    for (std::size_t c = 0; c < Count; ++c)
        crowded[c] = panels[c].crowded_edges(cells + c, Count, n);
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t len = std::min(kBlock, n - start);
        if constexpr (Weak) {
            const double* s = weak->scores.data + start * weak->scores.stride;
            const std::size_t ss = weak->scores.stride;
            const double sign = weak->sign;
            const double limit = weak->limit;
            std::size_t k = 0;
            if (ss == 1) {
                // Two rows at a time: a true comparison is all ones, masked to the weak bit.
                typedef std::int64_t Mask __attribute__((vector_size(16)));
                const Pair vsign = {sign, sign};
                const Pair vlimit = {limit, limit};
                const Mask weak_bit = {std::int64_t{1} << 32, std::int64_t{1} << 32};
                for (; k + 2 <= len; k += 2) {
                    Pair v;
                    std::memcpy(&v, s + k, sizeof v);
                    const Mask m = ((vsign * v <= vlimit) & weak_bit) + 1;
                    std::memcpy(inc + k, &m, sizeof m);
                }
            }
            for (; k < len; ++k) inc[k] = PanelCounter::increment(sign * s[k * ss] <= limit);
        }
        for (std::size_t c = 0; c < Count; ++c) {
            panels[c].will_add(len);
            const std::uint16_t* block = cells + start * Count + c;
            const std::uint64_t* rows_inc = Weak ? inc : nullptr;
            if (crowded[c]) {
                panels[c].add_cells<true>(block, Count, columns[c], start, rows_inc, len);
            } else {
                panels[c].add_cells<false>(block, Count, columns[c], start, rows_inc, len);
            }
        }
    }
}

}  // namespace

HistogramPanel histogram_panel(const double* v, std::size_t n, std::size_t bins,
                               const std::uint8_t* weak) {
    if (n == 0 || bins == 0) throw std::invalid_argument("histogram needs data and bins >= 1.");
    const auto [lo, hi] = min_max(v, n);
    PanelCounter panel(histogram_edges(lo, hi, bins), weak != nullptr);
    for (std::size_t i = 0; i < n; ++i) {
        panel.will_add(1);
        panel.add_value(0, v[i], PanelCounter::increment(weak != nullptr && weak[i] != 0));
    }
    return std::move(panel).finish(n);
}

RegionMap region_map(const double* x0, const double* x1, std::size_t n, std::size_t grid,
                     const std::vector<RegionBox>& regions) {
    if (n == 0) throw std::invalid_argument("region map needs at least one row.");
    const ColumnView columns[2] = {{x0, 1}, {x1, 1}};
    const std::vector<Range> ranges = column_ranges(columns, 2, n);
    MapPlan plan = plan_map(ranges[0], ranges[1], grid, regions);
    if (plan.tops) {
        for (std::size_t i = 0; i < n; ++i) plan.tops->add(x0[i], x1[i]);
    }
    // The drawn image, turned back: row i holds the i-th grid point of x0.
    std::vector<double> image(grid * grid);
    RegionMap map;
    map.labels = draw_map(plan, regions, image.data());
    map.img.resize(grid * grid);
    for (std::size_t r = 0; r < grid; ++r) {
        for (std::size_t i = 0; i < grid; ++i)
            map.img[i * grid + (grid - 1 - r)] = image[r * grid + i];
    }
    return map;
}

std::vector<Range> column_ranges(const ColumnView* columns, std::size_t count, std::size_t n) {
    std::vector<Range> out(count);
    for (std::size_t c = 0; c < count; c += 2) {
        const StridedColumn u = strided(columns[c].data, columns[c].stride);
        if (c + 1 == count) {
            out[c] = value_range(u, n);
        } else {
            value_ranges(u, strided(columns[c + 1].data, columns[c + 1].stride), n, &out[c]);
        }
    }
    return out;
}

CellScale sample_scale(const ColumnView& column, std::size_t n) {
    constexpr std::size_t kSample = 1024;
    const std::size_t step = std::max<std::size_t>(n / kSample, 1);
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (std::size_t i = 0; i < n; i += step) {
        const double v = column.data[i * column.stride];
        if (v - v != 0.0) continue;  // not finite
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (!(lo <= hi)) return {0.0, 0.0};
    // A margin on either side, so that a range somewhat wider than the sample's still maps
    // inside the inner cells.
    const double margin = (hi > lo ? hi - lo : std::max(std::fabs(lo), 1.0)) / 16.0;
    const double base = lo - margin;
    const double scale = static_cast<double>(kCells - 2) / ((hi + margin) - base);
    if (!std::isfinite(base) || !std::isfinite(scale)) return {0.0, 0.0};
    return {base, scale};
}

ColumnScan scan_columns(const ColumnView* columns, const CellScale* scales, std::size_t count,
                        std::size_t n) {
    if (n == 0 || count == 0 || count > 2) {
        throw std::invalid_argument("a column scan needs rows and one or two columns.");
    }
    ColumnScan scan;
    scan.count = count;
    scan.scales.assign(scales, scales + count);
    scan.ranges.resize(count);
    scan.cells = reused_array<std::uint16_t>(n * count);
    if (count == 1) {
        scan_rows<1>(columns, scales, n, scan.cells.get(), scan.ranges.data());
    } else {
        scan_rows<2>(columns, scales, n, scan.cells.get(), scan.ranges.data());
    }
    return scan;
}

MarginalData marginal_data(const ColumnView* columns, const ColumnScan& scan, std::size_t n,
                           std::size_t bins, const WeakRule* weak, std::size_t grid,
                           const std::vector<RegionBox>* regions, double* image) {
    const std::size_t count = scan.count;
    if (n == 0 || bins == 0 || count == 0 || count > 2) {
        throw std::invalid_argument("marginal data needs rows, bins >= 1 and one or two columns.");
    }
    const std::vector<Range>& ranges = scan.ranges;
    std::vector<PanelCounter> panels;
    panels.reserve(count);
    for (std::size_t c = 0; c < count; ++c) {
        panels.emplace_back(panel_edges(columns[c], ranges[c], n, bins), weak != nullptr);
        panels.back().use_cells(scan.scales[c]);
    }
    const std::uint16_t* cells = scan.cells.get();
    if (count == 1) {
        if (weak)
            count_rows<true, 1>(columns, cells, n, weak, panels.data());
        else
            count_rows<false, 1>(columns, cells, n, weak, panels.data());
    } else {
        if (weak)
            count_rows<true, 2>(columns, cells, n, weak, panels.data());
        else
            count_rows<false, 2>(columns, cells, n, weak, panels.data());
    }
    MarginalData data;
    for (PanelCounter& p : panels) data.panels.push_back(std::move(p).finish(n));
    if (count == 2 && regions != nullptr && image != nullptr) {
        MapPlan plan = plan_map(ranges[0], ranges[1], grid, *regions);
        if (plan.tops) {
            // Only regions whose second upper bound lies on the grid need the rows again.
            for (std::size_t i = 0; i < n; ++i) {
                plan.tops->add(columns[0].data[i * columns[0].stride],
                               columns[1].data[i * columns[1].stride]);
            }
        }
        data.labels = draw_map(plan, *regions, image);
    }
    return data;
}

}  // namespace orrin
