#include "orrin/marginal_plot.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

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

HistogramPanel histogram_panel(const double* v, std::size_t n, std::size_t bins,
                               const std::uint8_t* weak) {
    if (n == 0 || bins == 0) throw std::invalid_argument("histogram needs data and bins >= 1.");
    const auto [lo, hi] = min_max(v, n);
    HistogramPanel panel;
    panel.edges = histogram_edges(lo, hi, bins);
    const double first = panel.edges.front();
    const double denom = panel.edges.back() - first;
    const std::vector<double>& e = panel.edges;

    // np.histogram: the scaled position gives the bin, then one correction step against
    // the edges themselves; the last bin includes the right edge. binned_statistic puts a
    // value in the bin whose edges enclose it (the maximum in the last bin), which is the
    // same bin unless the correction step fell short; such a value is searched for.
    std::vector<std::uint64_t> counts(bins, 0);
    std::vector<std::uint64_t> hits(bins, 0);
    std::vector<std::int64_t> moved(weak ? bins : 0, 0);  // scipy's bins minus numpy's
    const double nb = static_cast<double>(bins);
    const std::size_t last_bin = bins - 1;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = v[i];
        auto scaled = static_cast<std::ptrdiff_t>(((x - first) / denom) * nb);
        scaled = std::min(std::max(scaled, std::ptrdiff_t{0}), static_cast<std::ptrdiff_t>(bins));
        auto idx = static_cast<std::size_t>(scaled);
        if (idx == bins) --idx;
        if (idx > 0 && x < e[idx]) --idx;
        if (idx != last_bin && x >= e[idx + 1]) ++idx;
        ++counts[idx];
        if (weak == nullptr) continue;
        std::size_t j = idx;
        if (!(e[j] <= x && (j == last_bin || x < e[j + 1]))) {
            --moved[idx];
            j = static_cast<std::size_t>(std::upper_bound(e.begin(), e.end(), x) - e.begin());
            if (x >= e.back()) --j;
            if (j == 0 || j > bins) continue;
            --j;
            ++moved[j];
        }
        hits[j] += weak[i] ? 1 : 0;
    }
    const double total = static_cast<double>(n);
    panel.centres.resize(bins);
    panel.density.resize(bins);
    for (std::size_t b = 0; b < bins; ++b) {
        panel.centres[b] = (e[b] + e[b + 1]) / 2.0;
        panel.density[b] = static_cast<double>(counts[b]) / (e[b + 1] - e[b]) / total;
    }
    if (weak != nullptr) {
        panel.weak_share.resize(bins);
        for (std::size_t b = 0; b < bins; ++b) {
            const auto members = static_cast<std::int64_t>(counts[b]) + moved[b];
            panel.weak_share[b] = members == 0
                                      ? std::numeric_limits<double>::quiet_NaN()
                                      : static_cast<double>(hits[b]) / static_cast<double>(members);
        }
    }
    return panel;
}

namespace {

// Largest x1 among the rows whose x0 lies in an interval with given endpoints. The sorted
// distinct endpoints split the line into pieces (each endpoint itself and the open gaps
// around it); one pass over the rows records the largest x1 per piece, and an interval
// query takes the maximum over the pieces it covers.
class IntervalMax {
  public:
    IntervalMax(const double* x0, const double* x1, std::size_t n, std::vector<double> endpoints)
        : ends_(std::move(endpoints)) {
        std::sort(ends_.begin(), ends_.end());
        ends_.erase(std::unique(ends_.begin(), ends_.end()), ends_.end());
        best_.assign(2 * ends_.size() + 1, 0.0);
        seen_.assign(best_.size(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t p = piece(x0[i]);
            if (!seen_[p] || x1[i] > best_[p]) best_[p] = x1[i];
            seen_[p] = 1;
        }
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
            base = (base[half] < v) ? base + half : base;
            len -= half;
        }
        return static_cast<std::size_t>(base - ends_.data()) + (*base < v ? 1 : 0);
    }

    std::vector<double> ends_;
    std::vector<double> best_;
    std::vector<std::uint8_t> seen_;
};

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

}  // namespace

RegionMap region_map(const double* x0, const double* x1, std::size_t n, std::size_t grid,
                     const std::vector<RegionBox>& regions) {
    if (n == 0) throw std::invalid_argument("region map needs at least one row.");
    const auto [min1_it, max1_it] = std::minmax_element(x0, x0 + n);
    const auto [min2_it, max2_it] = std::minmax_element(x1, x1 + n);
    const double max1 = *max1_it;
    const std::vector<double> g0 = numpy_linspace(*min1_it, max1, grid);
    const std::vector<double> g1 = numpy_linspace(*min2_it, *max2_it, grid);

    // Closing the second upper bound changes the map only where a grid point equals it, so
    // the rows are consulted only for the regions where one does.
    std::vector<std::uint8_t> bound_on_grid(regions.size(), 0);
    std::vector<double> endpoints;
    for (std::size_t k = 0; k < regions.size(); ++k) {
        const RegionBox& r = regions[k];
        bound_on_grid[k] = std::find(g1.begin(), g1.end(), r.ub2) != g1.end() ? 1 : 0;
        if (!bound_on_grid[k]) continue;
        if (!std::isnan(r.lb1)) endpoints.push_back(r.lb1);
        if (!std::isnan(r.ub1)) endpoints.push_back(r.ub1);
    }
    std::optional<IntervalMax> rows_max;
    if (std::find(bound_on_grid.begin(), bound_on_grid.end(), 1) != bound_on_grid.end()) {
        rows_max.emplace(x0, x1, n, std::move(endpoints));
    }

    RegionMap map;
    map.img.assign(grid * grid, -1.0);
    for (std::size_t k = 0; k < regions.size(); ++k) {
        const RegionBox& r = regions[k];
        const bool closed1 = r.ub1 == max1;
        double top = 0.0;
        const bool closed2 =
            bound_on_grid[k] && rows_max->query(r.lb1, r.ub1, closed1, top) && r.ub2 == top;
        const std::vector<std::size_t> loc1 = grid_positions(g0, r.lb1, r.ub1, closed1);
        const std::vector<std::size_t> loc2 = grid_positions(g1, r.lb2, r.ub2, closed2);
        const double code = static_cast<double>(k % 5);
        for (std::size_t i : loc1) {
            double* row = map.img.data() + i * grid;
            for (std::size_t j : loc2) row[j] = code;
        }
        if (!loc1.empty() && !loc2.empty()) {
            const double g = static_cast<double>(grid);
            const double locy = (mean_position(loc2) - 0.015 * g) / g;
            const double locx = (mean_position(loc1) - 0.01 * g) / g;
            map.labels.push_back({k, locx, locy});
        }
    }
    return map;
}

}  // namespace orrin
