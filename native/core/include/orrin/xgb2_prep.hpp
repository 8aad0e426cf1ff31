// Preparation steps of the depth-2 boosted model: sample-weight normalisation and the
// per-feature split tables read back from the trained trees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orrin {

enum class WeightStatus {
    ok,
    // The kept weights do not sum to a finite value above zero.
    invalid,
};

// Keeps the rows whose weight is strictly above zero (NaN and negative weights drop their
// rows) and rescales the kept weights to sum to their count: `k * w / sum(w)` with numpy's
// pairwise sum, as `k * w[kept] / np.sum(w[kept])` computes it. `kept` receives the row
// indices in ascending order, `normalized` the rescaled weights. On `invalid` the outputs hold
// the kept rows but no weights.
WeightStatus keep_positive_weights(const double* weights, std::size_t n,
                                   std::vector<std::int64_t>& kept,
                                   std::vector<double>& normalized);

// True when every weight is exactly 1: training with such weights builds the same trees as
// training without weights, only slower.
bool all_unit_weights(const double* weights, std::size_t n);

// Distinct split thresholds per slot. `slot_of_node[i]` is the slot (feature) that node i
// splits on, or -1 when it does not count (a leaf, another feature); NaN thresholds are
// skipped. Each returned list is ascending and free of duplicates, like `np.unique`.
std::vector<std::vector<double>> distinct_sorted_splits(const std::int32_t* slot_of_node,
                                                        const double* thresholds,
                                                        std::size_t n_nodes, std::size_t n_slots);

}  // namespace orrin
