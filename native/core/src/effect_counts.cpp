#include "orrin/effect_counts.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "effect_arithmetic.hpp"

namespace orrin::effects {

using arithmetic::center_mains;
using arithmetic::purify_pair;
using arithmetic::sub_bin_map;
using arithmetic::variance;
using arithmetic::weigh_pair;

namespace {

std::size_t main_index(const EffectModel& model, std::size_t feature) {
    if (feature >= model.main_of_feature.size() || model.main_of_feature[feature] < 0)
        throw std::invalid_argument("a pair effect's feature has no main effect grid");
    return static_cast<std::size_t>(model.main_of_feature[feature]);
}

}  // namespace

EffectCounts empty_counts(const EffectModel& model) {
    EffectCounts counts;
    for (const MainEffect& m : model.mains) counts.mains.emplace_back(m.values.size(), 0);
    for (const PairEffect& p : model.pairs)
        counts.pairs.emplace_back((p.splits[0].size() + 1) * (p.splits[1].size() + 1), 0);
    return counts;
}

void add_rows(const EffectModel& model, const std::vector<const std::uint32_t*>& bins,
              std::size_t n, EffectCounts& counts) {
    if (bins.size() != model.mains.size() || counts.mains.size() != model.mains.size() ||
        counts.pairs.size() != model.pairs.size())
        throw std::invalid_argument("counts and bin columns must match the effect tables");
    for (std::size_t k = 0; k < model.mains.size(); ++k) {
        std::vector<std::uint64_t>& c = counts.mains[k];
        for (std::size_t r = 0; r < n; ++r) {
            const std::uint32_t b = bins[k][r];
            if (b >= c.size()) throw std::invalid_argument("bin index beyond the effect's grid");
            c[b] += 1;
        }
    }
    for (std::size_t q = 0; q < model.pairs.size(); ++q) {
        const PairEffect& p = model.pairs[q];
        const std::size_t k0 = main_index(model, p.feature[0]);
        const std::size_t k1 = main_index(model, p.feature[1]);
        const auto map0 = sub_bin_map(model.mains[k0].splits, p.splits[0]);
        const auto map1 = sub_bin_map(model.mains[k1].splits, p.splits[1]);
        const std::size_t cols = p.splits[1].size() + 1;
        std::vector<std::uint64_t>& joint = counts.pairs[q];
        const std::uint32_t* b0 = bins[k0];
        const std::uint32_t* b1 = bins[k1];
        for (std::size_t r = 0; r < n; ++r) joint[map0[b0[r]] * cols + map1[b1[r]]] += 1;
    }
    counts.n += n;
}

void add_counts(EffectCounts& counts, const EffectCounts& more) {
    auto add = [](std::vector<std::vector<std::uint64_t>>& into,
                  const std::vector<std::vector<std::uint64_t>>& from) {
        if (into.size() != from.size())
            throw std::invalid_argument("effect counts of different models cannot be added");
        for (std::size_t k = 0; k < into.size(); ++k) {
            if (into[k].size() != from[k].size())
                throw std::invalid_argument("effect counts of different models cannot be added");
            for (std::size_t b = 0; b < into[k].size(); ++b) into[k][b] += from[k][b];
        }
    };
    add(counts.mains, more.mains);
    add(counts.pairs, more.pairs);
    counts.n += more.n;
}

void weigh_and_purify_counts(EffectModel& model, const EffectCounts& counts,
                             const PurifyOptions& options) {
    const EffectCounts shape = empty_counts(model);
    if (counts.mains.size() != shape.mains.size() || counts.pairs.size() != shape.pairs.size())
        throw std::invalid_argument("counts must match the effect tables");
    for (std::size_t k = 0; k < shape.mains.size(); ++k)
        if (counts.mains[k].size() != shape.mains[k].size())
            throw std::invalid_argument("counts must match the effect tables");
    for (std::size_t q = 0; q < shape.pairs.size(); ++q)
        if (counts.pairs[q].size() != shape.pairs[q].size())
            throw std::invalid_argument("counts must match the effect tables");
    const std::uint64_t n = counts.n;
    if (n == 0) throw std::invalid_argument("weighing effects needs at least one row");
    for (std::size_t k = 0; k < model.mains.size(); ++k) model.mains[k].counts = counts.mains[k];

    for (std::size_t q = 0; q < model.pairs.size(); ++q) {
        PairEffect& p = model.pairs[q];
        MainEffect& m0 = model.mains[main_index(model, p.feature[0])];
        MainEffect& m1 = model.mains[main_index(model, p.feature[1])];
        const auto map0 = sub_bin_map(m0.splits, p.splits[0]);
        const auto map1 = sub_bin_map(m1.splits, p.splits[1]);
        const std::vector<std::uint64_t>& joint = counts.pairs[q];

        weigh_pair(p, m0, m1, map0, map1, joint, n, options);
    }

    center_mains(model, n, options);
}

}  // namespace orrin::effects
