#include "orrin/marginal_plot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "orrin/histogram.hpp"

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

    // Copies len values read with `stride` to `xs` and the guessed bins to `pos` (whole
    // numbers in [0, bins - 1]). No branches, so the loop runs on vector registers.
    void scale_block(const double* x, std::size_t stride, std::size_t len, double* xs,
                     double* pos) const {
        const double first = first_;
        const double top = nb_ - 1.0;
        const auto clamp = [top](double p) {
            const double below_top = top < p ? top : p;
            return 0.0 < below_top ? below_top : 0.0;
        };
        if (scale_ != 0.0) {
            const double scale = scale_;
            for (std::size_t k = 0; k < len; ++k) {
                const double v = x[k * stride];
                xs[k] = v;
                pos[k] = clamp((v - first) * scale);
            }
        } else {
            for (std::size_t k = 0; k < len; ++k) {
                const double v = x[k * stride];
                xs[k] = v;
                pos[k] = clamp(numpy_position(v));
            }
        }
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

    // Counts len values with their guessed bins; `inc` holds each row's increment, or is null
    // when no row is weak.
    void add_block(const double* xs, const double* pos, const std::uint64_t* inc, std::size_t len) {
        const double* lower = edges_.data();
        const double* upper = upper_.data();
        std::uint64_t* const lanes[2] = {packed_.data(), packed_.data() + bins_};
        const auto add = [&](std::uint64_t* lane, std::size_t k) {
            const double x = xs[k];
            const auto idx = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(pos[k]));
            const std::uint64_t step = inc != nullptr ? inc[k] : 1;
            if ((x >= lower[idx]) & (x < upper[idx])) {
                lane[idx] += step;
            } else {
                add_off_guess(x, static_cast<std::uint8_t>(step >> 32));
            }
        };
        std::size_t k = 0;
        for (; k + 2 <= len; k += 2) {
            add(lanes[0], k);
            add(lanes[1], k + 1);
        }
        if (k < len) add(lanes[0], k);
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

    // numpy's bin: the truncated position, then one correction step.
    std::size_t numpy_bin(double x) const {
        auto scaled = static_cast<std::ptrdiff_t>(numpy_position(x));
        scaled = std::min(std::max(scaled, std::ptrdiff_t{0}), static_cast<std::ptrdiff_t>(bins_));
        auto idx = static_cast<std::size_t>(scaled);
        if (idx == bins_) --idx;
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
    std::vector<std::uint64_t> weak_;  // weak rows by scipy's assignment
    std::vector<std::int64_t> moved_;  // scipy's bins minus numpy's
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

// Fills `cells` (grid x grid, all set here) and returns the labels. With `upright` false,
// row i holds the i-th grid point of x0; with it true, the layout of the drawn image: row r
// holds the (grid - 1 - r)-th grid point of x1 and column i the i-th of x0.
std::vector<RegionLabel> draw_map(const MapPlan& plan, const std::vector<RegionBox>& regions,
                                  double* cells, bool upright) {
    const std::size_t grid = plan.g0.size();
    std::fill(cells, cells + grid * grid, -1.0);
    std::vector<RegionLabel> labels;
    for (std::size_t k = 0; k < regions.size(); ++k) {
        const RegionBox& r = regions[k];
        const bool closed1 = r.ub1 == plan.max0;
        double top = 0.0;
        const bool closed2 =
            plan.bound_on_grid[k] && plan.tops->query(r.lb1, r.ub1, closed1, top) && r.ub2 == top;
        const std::vector<std::size_t> loc1 = grid_positions(plan.g0, r.lb1, r.ub1, closed1);
        const std::vector<std::size_t> loc2 = grid_positions(plan.g1, r.lb2, r.ub2, closed2);
        const double code = static_cast<double>(k % 5);
        if (upright) {
            // The grids increase, so a region's positions usually form one run.
            const bool run = !loc1.empty() && loc1.back() - loc1.front() + 1 == loc1.size();
            for (std::size_t j : loc2) {
                double* row = cells + (grid - 1 - j) * grid;
                if (run) {
                    std::fill(row + loc1.front(), row + loc1.back() + 1, code);
                } else {
                    for (std::size_t i : loc1) row[i] = code;
                }
            }
        } else {
            for (std::size_t i : loc1) {
                double* row = cells + i * grid;
                for (std::size_t j : loc2) row[j] = code;
            }
        }
        if (!loc1.empty() && !loc2.empty()) {
            const double g = static_cast<double>(grid);
            const double locy = (mean_position(loc2) - 0.015 * g) / g;
            const double locx = (mean_position(loc1) - 0.01 * g) / g;
            labels.push_back({k, locx, locy});
        }
    }
    return labels;
}

std::vector<double> panel_edges(const ColumnView& c, const Range& r, std::size_t n,
                                std::size_t bins) {
    const std::size_t nbins = count_distinct_capped(c.data, n, bins, c.stride);
    return histogram_edges(r.lo, r.hi, nbins);
}

// Asks for the cache lines of rows [from, to) of a column ahead of their use, so that
// memory is read while the counts of the current rows are taken.
void prefetch_rows(const ColumnView& c, std::size_t from, std::size_t to) {
    if (from >= to) return;
    constexpr std::size_t kLine = 64 / sizeof(double);
    if (c.stride <= kLine) {
        const double* end = c.data + (to - 1) * c.stride + 1;
        for (const double* p = c.data + from * c.stride; p < end; p += kLine) {
            __builtin_prefetch(p);
        }
    } else {
        for (std::size_t i = from; i < to; ++i) __builtin_prefetch(c.data + i * c.stride);
    }
}

// The single pass over the rows behind marginal_data, in blocks: first the scaled positions
// and weak flags of a block (plain arithmetic), then the bin corrections and counts.
template <bool Weak, std::size_t Count>
void count_rows(const ColumnView* columns, std::size_t n, const WeakRule* weak,
                PanelCounter* panels, IntervalMax* tops) {
    constexpr std::size_t kBlock = 256;
    constexpr std::size_t kAhead = 2;
    double xs[Count][kBlock];
    double pos[Count][kBlock];
    std::uint64_t inc[kBlock];
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t len = std::min(kBlock, n - start);
        for (std::size_t c = 0; c < Count; ++c) {
            const ColumnView& col = columns[c];
            panels[c].will_add(len);
            panels[c].scale_block(col.data + start * col.stride, col.stride, len, xs[c], pos[c]);
        }
        if constexpr (Weak) {
            const double* s = weak->scores.data + start * weak->scores.stride;
            const std::size_t ss = weak->scores.stride;
            const double sign = weak->sign;
            const double limit = weak->limit;
            for (std::size_t k = 0; k < len; ++k) {
                inc[k] = PanelCounter::increment(sign * s[k * ss] <= limit);
            }
        }
        const std::size_t ahead = std::min(n, start + kAhead * kBlock);
        const std::size_t ahead_end = std::min(n, ahead + kBlock);
        for (std::size_t c = 0; c < Count; ++c) prefetch_rows(columns[c], ahead, ahead_end);
        if constexpr (Weak) prefetch_rows(weak->scores, ahead, ahead_end);
        for (std::size_t c = 0; c < Count; ++c) {
            panels[c].add_block(xs[c], pos[c], Weak ? inc : nullptr, len);
        }
        if constexpr (Count == 2) {
            if (tops != nullptr) {
                for (std::size_t k = 0; k < len; ++k) tops->add(xs[0][k], xs[1][k]);
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
    double pos = 0.0;
    double x = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        panel.will_add(1);
        panel.scale_block(v + i, 1, 1, &x, &pos);
        const std::uint64_t inc = PanelCounter::increment(weak != nullptr && weak[i] != 0);
        panel.add_block(&x, &pos, weak != nullptr ? &inc : nullptr, 1);
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
    RegionMap map;
    map.img.resize(grid * grid);
    map.labels = draw_map(plan, regions, map.img.data(), false);
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

MarginalData marginal_data(const ColumnView* columns, const Range* ranges, std::size_t count,
                           std::size_t n, std::size_t bins, const WeakRule* weak, std::size_t grid,
                           const std::vector<RegionBox>* regions, double* image) {
    if (n == 0 || bins == 0 || count == 0 || count > 2) {
        throw std::invalid_argument("marginal data needs rows, bins >= 1 and one or two columns.");
    }
    std::vector<PanelCounter> panels;
    panels.reserve(count);
    for (std::size_t c = 0; c < count; ++c) {
        panels.emplace_back(panel_edges(columns[c], ranges[c], n, bins), weak != nullptr);
    }
    std::optional<MapPlan> plan;
    if (count == 2 && regions != nullptr && image != nullptr)
        plan = plan_map(ranges[0], ranges[1], grid, *regions);
    IntervalMax* tops = plan && plan->tops ? &*plan->tops : nullptr;
    if (count == 1) {
        if (weak)
            count_rows<true, 1>(columns, n, weak, panels.data(), nullptr);
        else
            count_rows<false, 1>(columns, n, weak, panels.data(), nullptr);
    } else {
        if (weak)
            count_rows<true, 2>(columns, n, weak, panels.data(), tops);
        else
            count_rows<false, 2>(columns, n, weak, panels.data(), tops);
    }
    MarginalData data;
    for (PanelCounter& p : panels) data.panels.push_back(std::move(p).finish(n));
    if (plan) data.labels = draw_map(*plan, *regions, image, true);
    return data;
}

}  // namespace orrin
