#include "orrin/histogram.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_set>

namespace orrin {

namespace {

// Small caps (the usual bin counts) keep the distinct values seen so far in a short array.
constexpr std::size_t kLinearCap = 64;

std::string numpy_repr_count(std::size_t k) { return std::to_string(k); }

}  // namespace

std::size_t count_distinct_capped(const double* x, std::size_t n, std::size_t cap) {
    if (n == 0 || cap == 0) return 0;
    if (cap <= kLinearCap) {
        double seen[kLinearCap];
        std::size_t count = 0;
        double last = x[0] + 0.0;
        seen[count++] = last;
        for (std::size_t i = 1; i < n && count < cap; ++i) {
            const double v = x[i] + 0.0;
            if (v == last) continue;
            bool found = false;
            for (std::size_t j = 0; j < count; ++j) {
                if (seen[j] == v) {
                    found = true;
                    break;
                }
            }
            if (!found) seen[count++] = v;
            last = v;
        }
        return count;
    }
    std::unordered_set<double> seen;
    for (std::size_t i = 0; i < n && seen.size() < cap; ++i) seen.insert(x[i] + 0.0);
    return seen.size();
}

std::pair<double, double> min_max(const double* x, std::size_t n) {
    double lo = x[0];
    double hi = x[0];
    for (std::size_t i = 1; i < n; ++i) {
        lo = x[i] < lo ? x[i] : lo;
        hi = x[i] > hi ? x[i] : hi;
    }
    return {lo, hi};
}

std::vector<double> histogram_edges(double lo, double hi, std::size_t nbins) {
    double start = lo;
    double stop = hi;
    if (start == stop) {
        start = start - 0.5;
        stop = stop + 0.5;
    }
    const std::size_t num = nbins + 1;
    const double div = static_cast<double>(nbins);
    const double delta = stop - start;
    const double step = delta / div;
    std::vector<double> edges(num);
    for (std::size_t i = 0; i < num; ++i) {
        const double fi = static_cast<double>(i);
        // Same operations, same order as np.linspace: scale, then add the start.
        const double scaled = step == 0.0 ? (fi / div) * delta : fi * step;
        edges[i] = scaled + start;
    }
    edges[num - 1] = stop;
    for (std::size_t i = 0; i + 1 < num; ++i) {
        // numpy tests `edges[:-1] >= edges[1:]`; a NaN edge (range overflow) is refused too,
        // since no bin could be assigned from it.
        if (edges[i] >= edges[i + 1] || std::isnan(edges[i]) || std::isinf(edges[i])) {
            throw HistogramError("Too many bins for data range. Cannot create " +
                                 numpy_repr_count(nbins) + " finite-sized bins.");
        }
    }
    return edges;
}

void assign_bins(const double* x, std::size_t n, const std::vector<double>& edges,
                 std::uint32_t* bin) {
    const std::size_t k = edges.size() - 1;
    if (k == 1) {
        std::fill(bin, bin + n, 0u);
        return;
    }
    const double e0 = edges[0];
    const double span = edges[k] - e0;
    const double scale = std::isfinite(span) && span > 0.0 ? static_cast<double>(k) / span : 0.0;
    const double top = static_cast<double>(k - 1);
    const double* e = edges.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        // An estimate from the arithmetic, then corrected against the edges themselves, so
        // the result is exactly the count of inner edges <= v.
        double guess = (v - e0) * scale;
        guess = guess > 0.0 ? (guess < top ? guess : top) : 0.0;
        std::size_t j = static_cast<std::size_t>(guess);
        while (j > 0 && v < e[j]) --j;
        while (j + 1 < k && v >= e[j + 1]) ++j;
        bin[i] = static_cast<std::uint32_t>(j);
    }
}

BinGroups group_rows_by_bin(const std::uint32_t* bin, std::size_t n, std::size_t nbins) {
    BinGroups g;
    g.offset.assign(nbins + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++g.offset[bin[i] + 1];
    for (std::size_t b = 0; b < nbins; ++b) g.offset[b + 1] += g.offset[b];
    std::vector<std::size_t> cursor(g.offset.begin(), g.offset.end() - 1);
    g.rows.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        g.rows[cursor[bin[i]]++] = static_cast<std::int64_t>(i);
    }
    return g;
}

Histogram build_histogram(const double* x, std::size_t n, std::size_t max_bins) {
    Histogram h;
    const auto range = min_max(x, n);
    h.lo = range.first;
    h.hi = range.second;
    const std::size_t k = count_distinct_capped(x, n, std::min(max_bins, n));
    h.edges = histogram_edges(h.lo, h.hi, k);
    h.bin.resize(n);
    assign_bins(x, n, h.edges, h.bin.data());
    h.groups = group_rows_by_bin(h.bin.data(), n, k);
    return h;
}

std::vector<std::int64_t> interval_members(const double* x, std::size_t n, double lb, double ub,
                                           bool closed) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (v >= lb && (closed ? v <= ub : v < ub)) rows.push_back(static_cast<std::int64_t>(i));
    }
    return rows;
}

std::vector<std::vector<std::int64_t>> rows_in_bin_ranges(
    const Histogram& h, const std::vector<std::pair<std::size_t, std::size_t>>& ranges) {
    std::vector<std::vector<std::int64_t>> out(ranges.size());
    if (ranges.empty()) return out;
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::vector<std::uint32_t> range_of(h.nbins(), kNone);
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        std::size_t total = 0;
        for (std::size_t b = ranges[r].first; b <= ranges[r].second; ++b) {
            range_of[b] = static_cast<std::uint32_t>(r);
            total += h.groups.count(b);
        }
        out[r].reserve(total);
    }
    const std::size_t n = h.bin.size();
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = range_of[h.bin[i]];
        if (r != kNone) out[r].push_back(static_cast<std::int64_t>(i));
    }
    return out;
}

std::vector<MergedRun> merge_weak_bins(const std::vector<double>& edges,
                                       const std::vector<std::size_t>& weak_bins) {
    std::vector<std::size_t> order(weak_bins);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return edges[a] < edges[b]; });
    std::vector<MergedRun> runs;
    for (std::size_t b : order) {
        const double lb = edges[b];
        const double ub = edges[b + 1];
        if (!runs.empty() && lb <= runs.back().ub) {
            MergedRun& last = runs.back();
            last.ub = std::max(last.ub, ub);
            last.first_bin = std::min(last.first_bin, b);
            last.last_bin = std::max(last.last_bin, b);
        } else {
            runs.push_back({lb, ub, b, b});
        }
    }
    return runs;
}

bool bins_within(const std::vector<double>& edges, double lb, double ub, std::size_t& first,
                 std::size_t& last) {
    const std::size_t k = edges.size() - 1;
    // Strictly increasing edges: lower edges >= lb form a suffix, upper edges <= ub a prefix.
    const std::size_t lo = static_cast<std::size_t>(
        std::lower_bound(edges.begin(), edges.begin() + static_cast<std::ptrdiff_t>(k), lb) -
        edges.begin());
    const std::size_t upper_count = static_cast<std::size_t>(
        std::upper_bound(edges.begin() + 1, edges.end(), ub) - (edges.begin() + 1));
    if (upper_count == 0 || lo >= upper_count) return false;
    first = lo;
    last = upper_count - 1;
    return true;
}

double percentile_rank(std::size_t count, std::size_t n) {
    return static_cast<double>(count) * (100.0 / static_cast<double>(n));
}

}  // namespace orrin
