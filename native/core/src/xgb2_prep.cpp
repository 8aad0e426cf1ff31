#include "orrin/xgb2_prep.hpp"

#include <algorithm>
#include <cmath>

#include "orrin/numeric.hpp"

namespace orrin {

WeightStatus keep_positive_weights(const double* weights, std::size_t n,
                                   std::vector<std::int64_t>& kept,
                                   std::vector<double>& normalized) {
    kept.clear();
    normalized.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (weights[i] > 0.0) {
            kept.push_back(static_cast<std::int64_t>(i));
            normalized.push_back(weights[i]);
        }
    }
    const double total = numpy_sum(normalized.data(), normalized.size());
    if (!(total > 0.0) || !std::isfinite(total)) {
        normalized.clear();
        return WeightStatus::invalid;
    }
    const double count = static_cast<double>(kept.size());
    for (double& w : normalized) {
        w = count * w / total;
    }
    return WeightStatus::ok;
}

bool all_unit_weights(const double* weights, std::size_t n) {
    return std::all_of(weights, weights + n, [](double w) { return w == 1.0; });
}

std::vector<std::vector<double>> distinct_sorted_splits(const std::int32_t* slot_of_node,
                                                        const double* thresholds,
                                                        std::size_t n_nodes, std::size_t n_slots) {
    std::vector<std::vector<double>> splits(n_slots);
    for (std::size_t i = 0; i < n_nodes; ++i) {
        const std::int32_t slot = slot_of_node[i];
        if (slot < 0 || static_cast<std::size_t>(slot) >= n_slots || std::isnan(thresholds[i])) {
            continue;
        }
        splits[static_cast<std::size_t>(slot)].push_back(thresholds[i]);
    }
    for (auto& s : splits) {
        std::sort(s.begin(), s.end());
        s.erase(std::unique(s.begin(), s.end()), s.end());
    }
    return splits;
}

}  // namespace orrin
