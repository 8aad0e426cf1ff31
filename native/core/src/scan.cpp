#include "orrin/scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "orrin/numeric.hpp"

namespace orrin {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Python's max(a, b) and min(a, b): the first argument unless the second is strictly beyond.
double py_max(double a, double b) { return b > a ? b : a; }
double py_min(double a, double b) { return b < a ? b : a; }

// One histogram pass over n values: the values' histogram `h`, their scores and weights at
// the same positions, and the fitting-set row of every position (null: position = row).
struct PassInput {
    const Histogram& h;
    const double* scores;
    const double* weights;
    const std::uint32_t* row_of;
    const RowsScore* score_rows;
};

// Scores of every bin under a non-additive metric, through the caller's scorer.
std::vector<double> scored_bins(const PassInput& in) {
    const Histogram& h = in.h;
    const std::vector<std::int64_t> positions = rows_by_bin(h);
    std::vector<double> values(h.nbins(), kNaN);
    std::vector<std::int64_t> rows;
    std::vector<double> weights;
    for (std::size_t j = 0; j < h.nbins(); ++j) {
        const std::size_t m = h.count(j);
        if (m == 0) continue;
        const std::int64_t* pos = positions.data() + h.offset[j];
        if (in.weights != nullptr) {
            weights.resize(m);
            for (std::size_t i = 0; i < m; ++i) weights[i] = in.weights[pos[i]];
            if (numpy_sum(weights.data(), m) == 0.0) continue;
        }
        rows.resize(m);
        for (std::size_t i = 0; i < m; ++i) {
            rows[i] = in.row_of != nullptr ? static_cast<std::int64_t>(in.row_of[pos[i]]) : pos[i];
        }
        values[j] = (*in.score_rows)(rows.data(), m);
    }
    return values;
}

// The weak regions of one pass on the binned feature, as (lower, upper) bounds.
std::vector<std::pair<double, double>> pass_regions(const PassInput& in, const WeakRule& rule) {
    const Histogram& h = in.h;
    const std::vector<double>& e = h.edges;
    const std::vector<double> values =
        rule.additive ? bin_averages(h, in.scores, in.weights) : scored_bins(in);
    std::vector<std::size_t> weak_bins;
    for (std::size_t j = 0; j < h.nbins(); ++j) {
        if (h.count(j) > 0 && rule.weak(values[j])) weak_bins.push_back(j);
    }
    std::vector<std::pair<double, double>> out;
    if (!rule.additive) {
        for (std::size_t j : weak_bins) out.emplace_back(e[j], e[j + 1]);
        return out;
    }
    for (const MergedRun& run : merge_weak_bins(e, weak_bins)) {
        const std::size_t count = h.offset[run.last_bin + 1] - h.offset[run.first_bin];
        if (!(rule.min_samples <= static_cast<double>(count))) continue;
        out.emplace_back(py_max(run.lb, h.lo), py_min(run.ub, h.hi));
    }
    return out;
}

}  // namespace

void gather_columns(const char* base, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                    const std::int64_t* rows, std::size_t m, const std::size_t* cols, std::size_t p,
                    double* out) {
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < m; ++i) {
        if (i + kAhead < m) __builtin_prefetch(base + rows[i + kAhead] * row_stride);
        const char* row = base + rows[i] * row_stride;
        for (std::size_t k = 0; k < p; ++k) {
            std::memcpy(out + k * m + i, row + static_cast<std::ptrdiff_t>(cols[k]) * col_stride,
                        sizeof(double));
        }
    }
}

std::vector<double> bin_averages(const Histogram& h, const double* scores, const double* w) {
    const std::size_t k = h.nbins();
    std::vector<double> values(k, kNaN);
    std::vector<double> sums;
    std::vector<double> weight_sums;
    if (bin_sums(h, scores, w, sums, weight_sums)) {
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t m = h.count(j);
            if (m == 0) continue;
            if (w == nullptr) {
                values[j] = sums[j] / static_cast<double>(m);
            } else if (weight_sums[j] != 0.0) {
                values[j] = sums[j] / weight_sums[j];
            }
        }
        return values;
    }
    // Many bins: each bin's scores side by side in row order, so that its average is a
    // pairwise sum over a contiguous run.
    ScratchArray<double> sorted[2] = {scratch_array<double>(h.rows),
                                      w != nullptr ? scratch_array<double>(h.rows) : nullptr};
    scatter_by_bin(h, {{scores, 1}, {w, 1}, {}}, {sorted[0].get(), sorted[1].get(), nullptr});
    std::vector<double> products;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t m = h.count(j);
        if (m == 0) continue;
        const double* seg = sorted[0].get() + h.offset[j];
        if (w == nullptr) {
            values[j] = numpy_mean(seg, m);
            continue;
        }
        products.resize(m);
        if (!numpy_weighted_mean(seg, sorted[1].get() + h.offset[j], m, products.data(),
                                 values[j])) {
            values[j] = kNaN;
        }
    }
    return values;
}

std::vector<ScanRegion> single_feature_regions(const Histogram& h, const FitScores& fit,
                                               const WeakRule& rule) {
    const PassInput in{h, fit.scores, fit.weights, nullptr, fit.score_rows};
    std::vector<ScanRegion> out;
    for (const auto& [lb, ub] : pass_regions(in, rule)) out.push_back({lb, ub, kNaN, kNaN});
    return out;
}

FirstFeatureOrder::FirstFeatureOrder(const Histogram& h, const FitScores& fit)
    : h_(h),
      fit_(fit),
      row_of_(scratch_array<std::uint32_t>(h.rows)),
      scores_(fit.scores != nullptr ? scratch_array<double>(h.rows) : nullptr),
      weights_(fit.weights != nullptr ? scratch_array<double>(h.rows) : nullptr),
      x1_(scratch_array<double>(h.rows)) {
    if (h.rows > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("a pair scan maps sorted rows back in 32 bits: too many rows");
    }
    scatter_by_bin(h, {{fit.scores, 1}, {fit.weights, 1}, {}},
                   {scores_.get(), weights_.get(), nullptr}, row_of_.get());
}

std::vector<ScanRegion> FirstFeatureOrder::pair_regions(const double* x1, std::size_t stride,
                                                        std::size_t max_bins,
                                                        const WeakRule& rule) {
    scatter_by_bin(h_, {{x1, stride}, {}, {}}, {x1_.get(), nullptr, nullptr});
    std::vector<ScanRegion> out;
    for (std::size_t i = 0; i < h_.nbins(); ++i) {
        const std::size_t m = h_.count(i);
        if (m == 0) continue;
        const std::size_t off = h_.offset[i];
        const double lb1 = py_max(h_.edges[i], h_.lo);
        const double ub1 = py_min(h_.edges[i + 1], h_.hi);
        const double* local = x1_.get() + off;
        const auto range = min_max(local, m);
        const Histogram h2 = build_histogram(local, m, max_bins, 1, range.first, range.second);
        const PassInput in{h2, scores_ ? scores_.get() + off : nullptr,
                           weights_ ? weights_.get() + off : nullptr, row_of_.get() + off,
                           fit_.score_rows};
        for (const auto& [lb2, ub2] : pass_regions(in, rule)) out.push_back({lb1, ub1, lb2, ub2});
    }
    return out;
}

SetScores score_regions_on_set(const std::vector<ScanRegion>& regions, bool pair, StridedColumn c0,
                               StridedColumn c1, std::size_t n, double first_max,
                               const double* scores, const double* weights,
                               const RowsScore* score_rows) {
    SetScores out;
    out.counts.assign(regions.size(), 0);
    out.scores.assign(regions.size(), kNaN);
    if (regions.empty()) return out;
    std::vector<Bound> first;
    std::vector<Bound> second;
    for (const ScanRegion& r : regions) {
        first.push_back({r.lb1, r.ub1, r.ub1 == first_max});
        if (pair) second.push_back({r.lb2, r.ub2, false});
    }
    RegionMembership membership(std::move(first), std::move(second));
    const RegionRows groups =
        pair ? membership.members_closing_second(c0, c1, n) : membership.members(c0, nullptr, n);
    std::vector<double> scratch;
    for (std::size_t r = 0; r < regions.size(); ++r) {
        const auto begin = static_cast<std::size_t>(groups.offsets[r]);
        const std::size_t m = static_cast<std::size_t>(groups.offsets[r + 1]) - begin;
        out.counts[r] = m;
        if (m == 0) continue;
        const std::int64_t* rows = groups.rows.data() + begin;
        if (score_rows == nullptr) {
            double avg = kNaN;
            if (gathered_average(scores, weights, rows, m, scratch, avg)) out.scores[r] = avg;
            continue;
        }
        if (weights != nullptr) {
            scratch.resize(m);
            for (std::size_t i = 0; i < m; ++i) scratch[i] = weights[rows[i]];
            if (numpy_sum(scratch.data(), m) == 0.0) continue;
        }
        out.scores[r] = (*score_rows)(rows, m);
    }
    return out;
}

std::vector<std::size_t> gap_order(const std::vector<double>& gaps) {
    std::vector<std::size_t> order(gaps.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (std::isnan(gaps[b])) return !std::isnan(gaps[a]);
        return !std::isnan(gaps[a]) && gaps[a] > gaps[b];
    });
    return order;
}

double region_excess(const SetScores& s, const std::vector<std::size_t>& order, std::size_t n,
                     double sign, double overall) {
    double excess = 0.0;
    for (std::size_t r : order) {
        if (s.counts[r] == 0 || std::isnan(s.scores[r])) continue;
        excess += static_cast<double>(s.counts[r]) / static_cast<double>(n) * sign *
                  (overall - s.scores[r]);
    }
    return excess;
}

}  // namespace orrin
