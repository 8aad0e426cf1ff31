// The arithmetic that weighs and purifies effect tables, shared by the weighing from rows
// (effects.cpp) and from counts (effect_counts.cpp), so that both give the same doubles for the
// same counts.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "orrin/effects.hpp"

namespace orrin::effects::arithmetic {

inline double variance(const std::vector<double>& values, const std::vector<std::uint64_t>& counts,
                       std::size_t n) {
    double mean = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i)
        mean += static_cast<double>(counts[i]) * values[i];
    mean /= static_cast<double>(n);
    double var = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double d = values[i] - mean;
        var += static_cast<double>(counts[i]) * d * d;
    }
    return var / static_cast<double>(n);
}

// For each bin of the full grid, the bin of the sub grid (a subset) that contains it.
inline std::vector<std::size_t> sub_bin_map(const std::vector<double>& grid,
                                            const std::vector<double>& sub) {
    std::vector<std::size_t> map(grid.size() + 1, 0);
    for (std::size_t b = 1; b <= grid.size(); ++b)
        map[b] = count_splits(sub.data(), sub.size(), grid[b - 1], true);
    return map;
}

// Moves the weighted means along each axis of a pair table into `row_out` / `col_out` until
// both vanish. Weights are given per cell (row-major).
inline void purify_pair(std::vector<double>& table, const std::vector<double>& weight,
                        std::size_t rows, std::size_t cols, std::vector<double>& row_out,
                        std::vector<double>& col_out, int max_sweeps) {
    double scale = 0.0;
    for (double v : table) scale = std::max(scale, std::fabs(v));
    if (scale == 0.0) return;
    const double tol = 1e-13 * scale;
    for (int sweep = 0; sweep < max_sweeps; ++sweep) {
        double moved = 0.0;
        for (std::size_t i = 0; i < rows; ++i) {
            double tw = 0.0, tv = 0.0;
            for (std::size_t j = 0; j < cols; ++j) {
                tw += weight[i * cols + j];
                tv += weight[i * cols + j] * table[i * cols + j];
            }
            if (tw <= 0.0) continue;
            const double m = tv / tw;
            for (std::size_t j = 0; j < cols; ++j) table[i * cols + j] -= m;
            row_out[i] += m;
            moved = std::max(moved, std::fabs(m));
        }
        for (std::size_t j = 0; j < cols; ++j) {
            double tw = 0.0, tv = 0.0;
            for (std::size_t i = 0; i < rows; ++i) {
                tw += weight[i * cols + j];
                tv += weight[i * cols + j] * table[i * cols + j];
            }
            if (tw <= 0.0) continue;
            const double m = tv / tw;
            for (std::size_t i = 0; i < rows; ++i) table[i * cols + j] -= m;
            col_out[j] += m;
            moved = std::max(moved, std::fabs(m));
        }
        if (moved <= tol) return;
    }
}

// Purifies pair effect `p` against its features' main effects `m0`, `m1` (`map0`, `map1`: the
// pair's bin of each main-effect bin) with weights from the rows per cell `joint` (true to
// the data) or from the features' own counts, and sets its importance.
inline void weigh_pair(PairEffect& p, MainEffect& m0, MainEffect& m1,
                       const std::vector<std::size_t>& map0, const std::vector<std::size_t>& map1,
                       const std::vector<std::uint64_t>& joint, std::uint64_t n,
                       const PurifyOptions& options) {
    const std::size_t rows = p.splits[0].size() + 1, cols = p.splits[1].size() + 1;
    if (options.purify) {
        std::vector<double> weight(rows * cols);
        if (options.true_to_data) {
            for (std::size_t c = 0; c < weight.size(); ++c)
                weight[c] = static_cast<double>(joint[c]);
        } else {
            std::vector<double> w0(rows, 0.0), w1(cols, 0.0);
            for (std::size_t b = 0; b < m0.counts.size(); ++b)
                w0[map0[b]] += static_cast<double>(m0.counts[b]);
            for (std::size_t b = 0; b < m1.counts.size(); ++b)
                w1[map1[b]] += static_cast<double>(m1.counts[b]);
            for (std::size_t i = 0; i < rows; ++i)
                for (std::size_t j = 0; j < cols; ++j) weight[i * cols + j] = w0[i] * w1[j];
        }
        std::vector<double> row_mass(rows, 0.0), col_mass(cols, 0.0);
        purify_pair(p.values, weight, rows, cols, row_mass, col_mass, options.max_sweeps);
        for (std::size_t b = 0; b < m0.values.size(); ++b) m0.values[b] += row_mass[map0[b]];
        for (std::size_t b = 0; b < m1.values.size(); ++b) m1.values[b] += col_mass[map1[b]];
    }
    p.importance = variance(p.values, joint, n);
}

// Moves each main effect's weighted mean into the intercept and sets its importance.
inline void center_mains(EffectModel& model, std::uint64_t n, const PurifyOptions& options) {
    for (MainEffect& m : model.mains) {
        if (options.purify) {
            double mean = 0.0;
            for (std::size_t b = 0; b < m.values.size(); ++b)
                mean += static_cast<double>(m.counts[b]) * m.values[b];
            mean /= static_cast<double>(n);
            for (double& v : m.values) v -= mean;
            model.intercept += mean;
        }
        m.importance = variance(m.values, m.counts, n);
    }
}

}  // namespace orrin::effects::arithmetic
