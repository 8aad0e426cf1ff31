#include "orrin/regions.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace orrin {

double column_max(StridedColumn c, std::size_t n) {
    double best = c[0];
    for (std::size_t i = 0; i < n; ++i) {
        const double v = c[i];
        if (std::isnan(v)) return v;
        if (v > best) best = v;
    }
    return best;
}

bool finite_max(StridedColumn c, std::size_t n, double& max) {
    // v - v is 0 for every finite v and NaN for NaN and infinities. Four independent
    // accumulators keep the pass from waiting on one dependency chain; the maximum of
    // finite values does not depend on the order.
    double best[4] = {c[0], c[0], c[0], c[0]};
    double probe[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        for (std::size_t k = 0; k < 4; ++k) {
            const double v = c[i + k];
            probe[k] += v - v;
            best[k] = v > best[k] ? v : best[k];
        }
    }
    for (; i < n; ++i) {
        const double v = c[i];
        probe[0] += v - v;
        best[0] = v > best[0] ? v : best[0];
    }
    max = std::max(std::max(best[0], best[1]), std::max(best[2], best[3]));
    return probe[0] + probe[1] + probe[2] + probe[3] == 0.0;
}

void finite_max_pair(StridedColumn a, StridedColumn b, std::size_t n, bool finite[2],
                     double max[2]) {
    double best[4] = {a[0], a[0], b[0], b[0]};
    double probe[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        for (std::size_t k = 0; k < 2; ++k) {
            const double u = a[i + k];
            const double v = b[i + k];
            probe[k] += u - u;
            best[k] = u > best[k] ? u : best[k];
            probe[2 + k] += v - v;
            best[2 + k] = v > best[2 + k] ? v : best[2 + k];
        }
    }
    for (; i < n; ++i) {
        const double u = a[i];
        const double v = b[i];
        probe[0] += u - u;
        best[0] = u > best[0] ? u : best[0];
        probe[2] += v - v;
        best[2] = v > best[2] ? v : best[2];
    }
    for (std::size_t c = 0; c < 2; ++c) {
        finite[c] = probe[2 * c] + probe[2 * c + 1] == 0.0;
        max[c] = std::max(best[2 * c], best[2 * c + 1]);
    }
}

RegionMembership::RegionMembership(std::vector<Bound> first, std::vector<Bound> second)
    : first_(std::move(first)), second_(std::move(second)) {
    if (!second_.empty() && second_.size() != first_.size()) {
        throw std::invalid_argument("second-feature bounds must match the regions one to one");
    }
    for (const Bound& b : first_) {
        if (std::isnan(b.lb) || std::isnan(b.ub)) continue;
        breaks_.push_back(b.lb);
        breaks_.push_back(b.ub);
    }
    std::sort(breaks_.begin(), breaks_.end());
    breaks_.erase(std::unique(breaks_.begin(), breaks_.end()), breaks_.end());
    build_grid();

    // Every region covers a contiguous run of cells: from its lower breakpoint to its upper
    // breakpoint (closed) or to the open interval just below it.
    const std::size_t cells = 2 * breaks_.size() + 1;
    // An empty run is {1, 0}.
    std::vector<std::pair<std::size_t, std::size_t>> runs(first_.size(), {1, 0});
    std::vector<std::size_t> per_cell(cells + 1, 0);
    for (std::size_t r = 0; r < first_.size(); ++r) {
        const Bound& b = first_[r];
        if (std::isnan(b.lb) || std::isnan(b.ub) || b.lb > b.ub) continue;
        const std::size_t lo = cell_of(b.lb);
        const std::size_t ub_cell = cell_of(b.ub);
        if (!b.closed && ub_cell == lo) continue;
        const std::size_t hi = b.closed ? ub_cell : ub_cell - 1;
        runs[r] = {lo, hi};
        for (std::size_t c = lo; c <= hi; ++c) ++per_cell[c + 1];
    }
    for (std::size_t c = 0; c < cells; ++c) {
        disjoint_ = disjoint_ && per_cell[c + 1] <= 1;
        per_cell[c + 1] += per_cell[c];
    }
    cell_start_ = per_cell;
    cell_regions_.resize(per_cell[cells]);
    cell_region_.assign(cells, static_cast<std::uint32_t>(first_.size()));
    for (std::size_t r = 0; r < first_.size(); ++r) {
        for (std::size_t c = runs[r].first; c <= runs[r].second; ++c) {
            cell_regions_[per_cell[c]++] = static_cast<std::uint32_t>(r);
            cell_region_[c] = static_cast<std::uint32_t>(r);
        }
    }
}

void RegionMembership::build_grid() {
    constexpr std::size_t kPerBucket = 8;
    constexpr std::size_t kMaxBuckets = std::size_t{1} << 16;
    const std::size_t nb = breaks_.size();
    if (nb < 2) return;
    const double lo = breaks_.front();
    const double span = breaks_.back() - lo;
    const std::size_t buckets = std::min(kMaxBuckets, std::max<std::size_t>(64, 8 * nb));
    const double scale = static_cast<double>(buckets) / span;
    if (!std::isfinite(lo) || !std::isfinite(span) || !(span > 0.0) || !std::isfinite(scale)) {
        return;
    }
    std::vector<std::uint32_t> first(buckets + 1);
    std::size_t j = 0;
    for (std::size_t g = 0; g < buckets; ++g) {
        const double edge = lo + static_cast<double>(g) / scale;
        while (j < nb && breaks_[j] < edge) ++j;
        first[g] = static_cast<std::uint32_t>(j);
    }
    first[buckets] = static_cast<std::uint32_t>(nb);
    for (std::size_t g = 0; g < buckets; ++g) {
        if (first[g + 1] - first[g] > kPerBucket) return;
    }
    first.pop_back();
    grid_first_ = std::move(first);
    grid_scale_ = scale;
}

std::size_t RegionMembership::cell_by_search(double v) const {
    if (std::isnan(v)) return 0;
    const auto it = std::lower_bound(breaks_.begin(), breaks_.end(), v);
    const std::size_t j = static_cast<std::size_t>(it - breaks_.begin());
    return 2 * j + (it != breaks_.end() && *it == v);
}

void RegionMembership::locate(StridedColumn c0, std::size_t n, RowCells& cells) const {
    cells.allocate(n);
    for (std::size_t i = 0; i < n; ++i) cells[i] = static_cast<std::uint32_t>(cell_of(c0[i]));
}

template <typename Visit>
void RegionMembership::for_each_member(const RowCells& cells, const StridedColumn* c1,
                                       Visit&& visit) const {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::size_t begin = cell_start_[cells[i]];
        const std::size_t end = cell_start_[cells[i] + 1];
        for (std::size_t k = begin; k < end; ++k) {
            const std::uint32_t r = cell_regions_[k];
            if (two_features() && !second_[r].contains((*c1)[i])) continue;
            visit(i, r);
        }
    }
}

void RegionMembership::close_second_at_conditional_max(StridedColumn c0, StridedColumn c1,
                                                       std::size_t n) {
    if (!two_features()) return;
    RowCells cells;
    locate(c0, n, cells);
    close_second_at_conditional_max(cells, c1);
}

void RegionMembership::close_second_at_conditional_max(const RowCells& cells, StridedColumn c1) {
    if (!two_features()) return;
    const std::size_t regions = size();
    const std::size_t n = cells.size();
    std::vector<double> best(regions, 0.0);
    std::vector<char> seen(regions, 0);
    std::vector<char> has_nan(regions, 0);
    if (disjoint_) {
        // At most one region per cell; slot `regions` collects the rows outside every region.
        // Maxima start at -inf, so NaN is the only value that needs a test of its own.
        std::vector<double> top(regions + 1, -std::numeric_limits<double>::infinity());
        std::vector<std::size_t> hits(regions + 1, 0);
        std::vector<char> nan(regions + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t r = cell_region_[cells[i]];
            const double v1 = c1[i];
            top[r] = v1 > top[r] ? v1 : top[r];
            ++hits[r];
            nan[r] |= static_cast<char>(std::isnan(v1));
        }
        for (std::size_t r = 0; r < regions; ++r) {
            seen[r] = hits[r] > 0;
            has_nan[r] = nan[r];
            best[r] = top[r];
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t begin = cell_start_[cells[i]];
            const std::size_t end = cell_start_[cells[i] + 1];
            if (begin == end) continue;
            const double v1 = c1[i];
            for (std::size_t k = begin; k < end; ++k) {
                const std::uint32_t r = cell_regions_[k];
                if (std::isnan(v1)) {
                    has_nan[r] = 1;
                } else if (!seen[r] || v1 > best[r]) {
                    best[r] = v1;
                }
                seen[r] = 1;
            }
        }
    }
    for (std::size_t r = 0; r < regions; ++r) {
        second_[r].closed = seen[r] && !has_nan[r] && best[r] == second_[r].ub;
    }
}

std::vector<std::int64_t> RegionMembership::count(StridedColumn c0, const StridedColumn* c1,
                                                  std::size_t n, RowCells& cells) const {
    if (!disjoint_ || two_features()) {
        locate(c0, n, cells);
        return count(cells, c1);
    }
    // One feature, disjoint regions: locate and count in one pass, counting even and odd
    // rows apart so that runs of rows in one region do not wait on a single counter.
    cells.allocate(n);
    const std::size_t width = size() + 2;
    std::vector<std::int64_t> counts(2 * width, 0);
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const std::uint32_t r = cell_region_[cell_of(c0[i])];
        const std::uint32_t q = cell_region_[cell_of(c0[i + 1])];
        cells[i] = r;
        cells[i + 1] = q;
        ++counts[r + 1];
        ++counts[width + q + 1];
    }
    if (i < n) {
        const std::uint32_t r = cell_region_[cell_of(c0[i])];
        cells[i] = r;
        ++counts[r + 1];
    }
    std::vector<std::int64_t> offsets(size() + 1, 0);
    for (std::size_t r = 1; r <= size(); ++r) offsets[r] = counts[r] + counts[width + r];
    for (std::size_t r = 0; r < size(); ++r) offsets[r + 1] += offsets[r];
    return offsets;
}

std::vector<std::int64_t> RegionMembership::count_closing_second(StridedColumn c0, StridedColumn c1,
                                                                 std::size_t n, RowCells& cells) {
    if (!disjoint_ || !two_features()) {
        locate(c0, n, cells);
        close_second_at_conditional_max(cells, c1);
        return count(cells, &c1);
    }
    // One pass: each row's region on the first feature, the running second-feature maxima
    // that decide the closure, and a slot per row: r when the row lies inside region r with
    // its upper bound open, R + 1 + r when it lies exactly on that upper bound, R (= none)
    // otherwise. The closure then decides whether the boundary rows belong.
    const std::size_t regions = size();
    const std::uint32_t none = static_cast<std::uint32_t>(regions);
    cells.allocate(n);
    // The running statistics come in two copies, for even and odd rows, so that a run of
    // rows in one region does not wait on a single chain of read-modify-writes.
    const std::size_t width = regions + 1;
    std::vector<double> top(2 * width, -std::numeric_limits<double>::infinity());
    std::vector<std::size_t> hits(2 * width, 0);
    std::vector<char> nan(2 * width, 0);
    std::vector<std::int64_t> slots(4 * width, 0);
    std::vector<double> lb(width, std::numeric_limits<double>::quiet_NaN());
    std::vector<double> ub(width, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t r = 0; r < regions; ++r) {
        lb[r] = second_[r].lb;
        ub[r] = second_[r].ub;
    }
    auto visit = [&](std::size_t i, std::size_t copy) {
        const std::uint32_t r = cell_region_[cell_of(c0[i])];
        const double v1 = c1[i];
        const std::size_t k = copy * width + r;
        top[k] = v1 > top[k] ? v1 : top[k];
        ++hits[k];
        nan[k] |= static_cast<char>(std::isnan(v1));
        const bool above = v1 >= lb[r];
        const std::uint32_t slot =
            above && v1 < ub[r] ? r : (above && v1 == ub[r] ? none + 1 + r : none);
        cells[i] = slot;
        ++slots[copy * 2 * width + slot];
    };
    std::size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        visit(i, 0);
        visit(i + 1, 1);
    }
    if (i < n) visit(i, 0);
    for (std::size_t r = 0; r < width; ++r) {
        top[r] = std::max(top[r], top[width + r]);
        hits[r] += hits[width + r];
        nan[r] = static_cast<char>(nan[r] | nan[width + r]);
    }
    for (std::size_t slot = 0; slot < 2 * width; ++slot) slots[slot] += slots[2 * width + slot];
    // `fill` reads a region or none per row: boundary slots become their region when it is
    // closed, none otherwise.
    bool on_boundary = false;
    std::vector<std::uint32_t> target(2 * regions + 2, none);
    std::vector<std::int64_t> offsets(regions + 1, 0);
    for (std::size_t r = 0; r < regions; ++r) {
        second_[r].closed = hits[r] > 0 && !nan[r] && top[r] == second_[r].ub;
        target[r] = static_cast<std::uint32_t>(r);
        if (second_[r].closed) target[regions + 1 + r] = static_cast<std::uint32_t>(r);
        on_boundary = on_boundary || slots[regions + 1 + r] > 0;
        const std::int64_t edge = second_[r].closed ? slots[regions + 1 + r] : 0;
        offsets[r + 1] = offsets[r] + slots[r] + edge;
    }
    if (on_boundary) {
        for (std::size_t i = 0; i < n; ++i) cells[i] = target[cells[i]];
    }
    return offsets;
}

std::vector<std::int64_t> RegionMembership::count(RowCells& cells, const StridedColumn* c1) const {
    if (two_features() && c1 == nullptr) {
        throw std::invalid_argument("two-feature regions need the second column");
    }
    const std::size_t n = cells.size();
    const std::uint32_t none = static_cast<std::uint32_t>(size());
    std::vector<std::int64_t> offsets(size() + 2, 0);
    if (disjoint_ && two_features()) {
        // cells[i] := the row's region, or `none`; offsets[r + 1] counts region r.
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t r = cell_region_[cells[i]];
            r = r != none && second_[r].contains((*c1)[i]) ? r : none;
            cells[i] = r;
            ++offsets[r + 1];
        }
    } else if (disjoint_) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t r = cell_region_[cells[i]];
            cells[i] = r;
            ++offsets[r + 1];
        }
    } else {
        for_each_member(cells, c1, [&](std::size_t, std::uint32_t r) { ++offsets[r + 1]; });
    }
    offsets.pop_back();
    for (std::size_t r = 0; r < size(); ++r) offsets[r + 1] += offsets[r];
    return offsets;
}

void RegionMembership::fill(const RowCells& cells, const StridedColumn* c1,
                            const std::vector<std::int64_t>& offsets, std::int64_t* rows) const {
    std::vector<std::int64_t> cursor(offsets.begin(), offsets.end() - 1);
    if (disjoint_) {
        // Rows outside every region write to a scratch slot that is never advanced.
        std::int64_t scratch = 0;
        cursor.push_back(0);
        const std::uint32_t none = static_cast<std::uint32_t>(size());
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const std::uint32_t r = cells[i];
            const bool member = r != none;
            std::int64_t* dst = member ? rows + cursor[r] : &scratch;
            *dst = static_cast<std::int64_t>(i);
            cursor[r] += member;
        }
        return;
    }
    for_each_member(cells, c1, [&](std::size_t i, std::uint32_t r) {
        rows[cursor[r]++] = static_cast<std::int64_t>(i);
    });
}

RegionRows RegionMembership::members(StridedColumn c0, const StridedColumn* c1,
                                     std::size_t n) const {
    RegionRows out;
    RowCells cells;
    out.offsets = count(c0, c1, n, cells);
    out.rows.resize(static_cast<std::size_t>(out.offsets.back()));
    fill(cells, c1, out.offsets, out.rows.data());
    return out;
}

}  // namespace orrin
