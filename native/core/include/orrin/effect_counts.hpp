// Effect weights from counts: the data enters the weighing and purification of the effect
// tables only through the rows per bin of every main effect and the rows per cell of every
// pair, so those counts, gathered part by part and added, weigh the tables exactly as the rows
// themselves would. This is what lets a table split into partitions be parsed in one pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orrin/effects.hpp"

namespace orrin::effects {

struct EffectCounts {
    std::uint64_t n = 0;
    std::vector<std::vector<std::uint64_t>> mains;  // per main effect, rows per bin
    std::vector<std::vector<std::uint64_t>> pairs;  // per pair, rows per cell (row-major)
};

// Zero counts shaped for the tables of `model`.
EffectCounts empty_counts(const EffectModel& model);

// Adds n rows to `counts`, given per main effect (indexed like `model.mains`) the bin of each
// row on that effect's grid, as `bin_column` computes it.
void add_rows(const EffectModel& model, const std::vector<const std::uint32_t*>& bins,
              std::size_t n, EffectCounts& counts);

// Adds `more` to `counts`; throws std::invalid_argument when their shapes differ.
void add_counts(EffectCounts& counts, const EffectCounts& more);

// `weigh_and_purify` driven by counts: the same tables, intercept and importances as
// weighing by the rows that the counts were gathered from.
void weigh_and_purify_counts(EffectModel& model, const EffectCounts& counts,
                             const PurifyOptions& options);

}  // namespace orrin::effects
