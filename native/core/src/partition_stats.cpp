#include "orrin/partition_stats.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_set>

namespace orrin::partition {

namespace {

void add_distinct(std::unordered_set<double>& seen, double v, std::size_t cap) {
    if (seen.size() < cap) seen.insert(v == 0.0 ? 0.0 : v);
}

std::vector<double> sorted(const std::unordered_set<double>& seen) {
    std::vector<double> out(seen.begin(), seen.end());
    std::sort(out.begin(), out.end());
    return out;
}

void require_edges(const std::vector<double>& edges) {
    if (edges.size() < 2) throw std::invalid_argument("bin edges need at least two entries");
}

}  // namespace

ColumnSummary summarize(StridedColumn x, std::size_t n, std::size_t cap) {
    ColumnSummary s;
    s.n = n;
    std::unordered_set<double> seen;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (std::isnan(v)) {
            s.has_nan = true;
            continue;
        }
        if (std::isnan(s.min) || v < s.min) s.min = v;
        if (std::isnan(s.max) || v > s.max) s.max = v;
        add_distinct(seen, v, cap);
    }
    s.distinct = sorted(seen);
    return s;
}

std::size_t bin_of(const std::vector<double>& edges, double v) {
    return static_cast<std::size_t>(std::upper_bound(edges.begin() + 1, edges.end() - 1, v) -
                                    (edges.begin() + 1));
}

std::vector<ColumnSummary> summarize_groups(StridedColumn x0, StridedColumn x1, std::size_t n,
                                            const std::vector<double>& edges0, std::size_t cap) {
    require_edges(edges0);
    const std::size_t groups = edges0.size() - 1;
    std::vector<ColumnSummary> out(groups);
    std::vector<std::unordered_set<double>> seen(groups);
    for (std::size_t i = 0; i < n; ++i) {
        const double v0 = x0[i];
        const double v = x1[i];
        if (std::isnan(v0)) continue;
        ColumnSummary& s = out[bin_of(edges0, v0)];
        s.n += 1;
        if (std::isnan(v)) {
            s.has_nan = true;
            continue;
        }
        if (std::isnan(s.min) || v < s.min) s.min = v;
        if (std::isnan(s.max) || v > s.max) s.max = v;
        add_distinct(seen[&s - out.data()], v, cap);
    }
    for (std::size_t g = 0; g < groups; ++g) out[g].distinct = sorted(seen[g]);
    return out;
}

CellSums cell_sums(StridedColumn x0, const StridedColumn* x1, std::size_t n,
                   const std::vector<double>& edges0,
                   const std::vector<std::vector<double>>& edges1, const double* scores,
                   const double* weights) {
    require_edges(edges0);
    const std::size_t groups = edges0.size() - 1;
    std::vector<std::size_t> offset(groups + 1, 0);
    if (x1 != nullptr) {
        if (edges1.size() != groups)
            throw std::invalid_argument("one edge list per bin of the first feature is needed");
        for (std::size_t g = 0; g < groups; ++g)
            offset[g + 1] = offset[g] + (edges1[g].size() < 2 ? 0 : edges1[g].size() - 1);
    }
    const std::size_t cells = x1 != nullptr ? offset[groups] : groups;
    CellSums s;
    s.count.assign(cells, 0);
    s.scores.assign(cells, {});
    s.weights.assign(cells, {});
    s.products.assign(cells, {});
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t cell = bin_of(edges0, x0[i]);
        if (x1 != nullptr) {
            const std::vector<double>& e = edges1[cell];
            if (e.size() < 2)
                throw std::invalid_argument("a row falls into a first-feature bin without edges");
            cell = offset[cell] + bin_of(e, (*x1)[i]);
        }
        s.count[cell] += 1;
        s.scores[cell].add(scores[i]);
        if (weights != nullptr) {
            s.weights[cell].add(weights[i]);
            s.products[cell].add(weights[i] * scores[i]);
        }
    }
    return s;
}

namespace {

void add_row(RegionSums& s, std::size_t r, std::size_t i, const double* scores,
             const double* weights) {
    s.count[r] += 1;
    s.scores[r].add(scores[i]);
    if (weights != nullptr) {
        s.weights[r].add(weights[i]);
        s.products[r].add(weights[i] * scores[i]);
    }
}

RegionSums empty_sums(std::size_t k) {
    RegionSums s;
    s.count.assign(k, 0);
    s.scores.assign(k, {});
    s.weights.assign(k, {});
    s.products.assign(k, {});
    return s;
}

}  // namespace

ClosingSums region_sums_closing_second(const RegionMembership& first,
                                       const std::vector<Bound>& second, StridedColumn c0,
                                       StridedColumn c1, std::size_t n, const double* scores,
                                       const double* weights) {
    if (first.two_features() || second.size() != first.size())
        throw std::invalid_argument("one first and one second bound per region are needed");
    const RegionRows rows = first.members(c0, nullptr, n);
    const std::size_t k = first.size();
    ClosingSums s{empty_sums(k), empty_sums(k), std::vector<std::uint64_t>(k, 0),
                  std::vector<std::uint64_t>(k, 0)};
    for (std::size_t r = 0; r < k; ++r) {
        const Bound& b = second[r];
        for (auto j = rows.offsets[r]; j < rows.offsets[r + 1]; ++j) {
            const auto i = static_cast<std::size_t>(rows.rows.data()[j]);
            const double v = c1[i];
            if (v >= b.lb && v < b.ub) {
                add_row(s.inside, r, i, scores, weights);
            } else if (v == b.ub) {
                s.on_bound[r] += 1;
                if (v >= b.lb) add_row(s.on, r, i, scores, weights);
            } else if (std::isnan(v) || v > b.ub) {
                s.beyond[r] += 1;
            }
        }
    }
    return s;
}

RegionSums region_sums(const RegionMembership& regions, StridedColumn c0, const StridedColumn* c1,
                       std::size_t n, const double* scores, const double* weights) {
    const RegionRows rows = regions.members(c0, c1, n);
    RegionSums s = empty_sums(regions.size());
    for (std::size_t r = 0; r < regions.size(); ++r)
        for (auto j = rows.offsets[r]; j < rows.offsets[r + 1]; ++j)
            add_row(s, r, static_cast<std::size_t>(rows.rows.data()[j]), scores, weights);
    return s;
}

}  // namespace orrin::partition
