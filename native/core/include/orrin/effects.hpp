// Exact decomposition of a depth-2 boosted tree ensemble into an intercept, main effects and
// pair effects, functional-ANOVA purification of those tables, and piecewise-constant
// evaluation of a single effect.
//
// Every leaf of a depth-2 tree depends on at most two features, so the ensemble's raw margin is
// exactly `intercept + sum_j f_j(x_j) + sum_{j<k} f_jk(x_j, x_k)` where each term is constant on
// the cells of the grid formed by the ensemble's own split points. A row goes left at a node when
// `float32(x) < split`, as the booster compares, so bin `b` of a feature with sorted split points
// `s` holds the values with `s[b-1] <= float32(x) < s[b]`.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orrin {

// Raised for a model the decomposition cannot represent exactly (deeper trees, categorical
// splits, several outputs, an unknown objective) or for malformed model text.
class ModelError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// One regression tree in the booster's array layout: node 0 is the root, a leaf has
// left == -1, and for a leaf `value` is the leaf value (already scaled by the learning rate).
struct DecodedTree {
    std::vector<std::int32_t> left;
    std::vector<std::int32_t> right;
    std::vector<std::int32_t> feature;
    std::vector<float> value;
};

struct DecodedEnsemble {
    std::size_t num_feature = 0;
    double base_margin = 0.0;  // margin of an empty ensemble (base score in margin space)
    std::string objective;
    std::vector<DecodedTree> trees;
};

// Parses the booster's JSON model text (`save_raw("json")`). Throws ModelError.
DecodedEnsemble decode_model_json(const char* text, std::size_t size);

// Effect tables on the split grid. `grid[j]` holds the sorted distinct split points of feature
// j; a main-effect table of feature j has grid[j].size() + 1 entries; a pair table of (a, b),
// a < b, is row-major with (grid[a].size() + 1) rows and (grid[b].size() + 1) columns.
struct EffectTables {
    double intercept = 0.0;
    std::vector<std::vector<double>> grid;
    std::map<std::size_t, std::vector<double>> mains;
    std::map<std::pair<std::size_t, std::size_t>, std::vector<double>> pairs;
};

// Builds the tables of an ensemble of trees of depth at most 2 (throws ModelError otherwise).
// Single-leaf trees go to the intercept; a root whose children test the root feature again or
// are leaves gives a main effect; a child testing another feature gives a pair effect.
EffectTables build_effect_tables(const DecodedEnsemble& ensemble);

// Read access to column `j` of a row-major or strided matrix of doubles or floats.
struct ColumnView {
    const char* base = nullptr;
    std::ptrdiff_t stride = 0;  // bytes between consecutive rows
    bool is_float32 = false;

    double at(std::size_t row) const {
        const char* p = base + static_cast<std::ptrdiff_t>(row) * stride;
        return is_float32 ? static_cast<double>(*reinterpret_cast<const float*>(p))
                          : *reinterpret_cast<const double*>(p);
    }
};

// Number of split points `s` with `s <= v` (values equal to a split go right) or, with
// `equal_goes_right` false, with `s < v`. `v` is rounded to float32 first; NaN falls into the
// last bin.
template <bool EqualGoesRight>
inline std::size_t locate_bin(const double* splits, std::size_t n, double v) {
    if (n == 0) return 0;
    const double x = static_cast<double>(static_cast<float>(v));
    if (std::isnan(x)) return n;
    const double* base = splits;
    std::size_t len = n;
    while (len > 1) {
        const std::size_t half = len / 2;
        const bool right = EqualGoesRight ? base[half - 1] <= x : base[half - 1] < x;
        base += right ? half : 0;
        len -= half;
    }
    const bool last = EqualGoesRight ? base[0] <= x : base[0] < x;
    return static_cast<std::size_t>(base - splits) + (last ? 1 : 0);
}

// Bin of every row of a column on the given sorted splits.
void assign_bins(const ColumnView& column, std::size_t rows, const std::vector<double>& splits,
                 bool equal_goes_right, std::int32_t* out);

// Weights used for purification and importance, from the binned training rows.
struct BinnedData {
    std::size_t rows = 0;
    std::vector<std::vector<std::int32_t>> bins;  // per feature; empty when not needed
};

// Functional-ANOVA purification in place: each pair table gets zero weighted mean along each
// axis (mass moves to the main effects), then each main effect gets zero weighted mean (mass
// moves to the intercept). Weights are the product of the two marginal frequencies, or with
// `true_to_data` the joint frequencies of the cells. Bins without weight keep their values. The
// sum of all terms is unchanged in every cell. Main effects are created for every feature of a
// pair.
void purify(EffectTables& tables, const BinnedData& data, bool true_to_data);

// Population variance of each effect over the binned rows (as np.var of the evaluated effect).
std::map<std::size_t, double> main_importance(const EffectTables& tables, const BinnedData& data);
std::map<std::pair<std::size_t, std::size_t>, double> pair_importance(const EffectTables& tables,
                                                                      const BinnedData& data);

// Piecewise-constant evaluation: out[i] = values[bin(x_i)] for a main effect and
// values[bin0 * (n1 + 1) + bin1] for a pair effect.
void evaluate_1d(const ColumnView& column, std::size_t rows, const std::vector<double>& splits,
                 const double* values, bool equal_goes_right, double* out);
void evaluate_2d(const ColumnView& column0, const ColumnView& column1, std::size_t rows,
                 const std::vector<double>& splits0, const std::vector<double>& splits1,
                 const double* values, bool equal_goes_right, double* out);

}  // namespace orrin
