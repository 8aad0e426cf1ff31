// Effects of a boosted ensemble of depth-2 trees.
//
// A leaf of a depth-2 tree is reached through at most two tested features, so the ensemble is
// exactly `intercept + sum_j f_j(x_j) + sum_{j<k} f_jk(x_j, x_k)`, each term piecewise constant
// on the grid of the ensemble's own split points. This header decodes the booster's model
// (its JSON form), lays the leaves onto those grids, purifies the tables (functional ANOVA) and
// evaluates piecewise-constant effects on strided numeric columns.
//
// Split convention: the booster reads every value as float32 and sends a row left when
// `x < split`. With split points s_0 < ... < s_{m-1}, bin b holds the values with
// s_{b-1} <= x < s_b (s_{-1} = -inf, s_m = +inf): the bin index is the number of split points
// <= x. The opposite convention (a value equal to a split point falls into the lower bin)
// counts the split points < x.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace orrin::effects {

// A region of one leaf: lo[i] <= x[feature[i]] < hi[i] for the first `n_features` entries.
struct LeafTerm {
    double value = 0.0;
    int n_features = 0;
    std::size_t feature[2] = {0, 0};
    double lo[2] = {-HUGE_VAL, -HUGE_VAL};
    double hi[2] = {HUGE_VAL, HUGE_VAL};
};

// The decoded ensemble: the raw margin of a row is `base_margin + sum of the values of the
// leaf terms whose region holds the row`.
struct Ensemble {
    std::size_t num_feature = 0;
    std::size_t num_trees = 0;
    std::string objective;
    double base_score = 0.0;   // as stored by the booster (in the objective's output space)
    double base_margin = 0.0;  // base_score moved to the margin through the objective's link
    std::vector<LeafTerm> terms;
};

// Raised for a model this decomposition does not cover (deeper trees, categorical splits,
// several outputs, a linear booster) or a malformed model text.
struct UnsupportedModel : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Decodes the JSON text of a trained booster (`Booster.save_raw("json")`).
Ensemble decode_booster_json(std::string_view json);

struct MainEffect {
    std::size_t feature = 0;
    std::vector<double> splits;         // ascending, distinct
    std::vector<double> values;         // splits.size() + 1
    std::vector<std::uint64_t> counts;  // rows of the data in each bin
    double importance = 0.0;            // variance of the effect over the data
};

struct PairEffect {
    std::size_t feature[2] = {0, 0};  // feature[0] < feature[1]
    std::vector<double> splits[2];
    // Row-major table of (splits[0].size() + 1) x (splits[1].size() + 1) values.
    std::vector<double> values;
    double importance = 0.0;
};

struct EffectModel {
    double intercept = 0.0;
    std::vector<MainEffect> mains;  // ascending feature
    std::vector<PairEffect> pairs;  // ascending (feature[0], feature[1])
    // Per feature, the index into `mains` or -1 when no tree splits on it.
    std::vector<std::ptrdiff_t> main_of_feature;
};

// Lays the leaf terms onto the split grids: main effects on every split feature's full grid,
// pair effects on the split points that the pair's own leaves use. No data involved.
EffectModel build_tables(const Ensemble& ensemble);

struct PurifyOptions {
    bool purify = true;
    // false: cell weights of a pair are the product of the two marginal frequencies;
    // true: the joint frequencies of the data.
    bool true_to_data = false;
    int max_sweeps = 200;
};

// Weights every table by the data, given per split feature (indexed like `mains`) the bin of
// each of the n rows on that feature's grid; purifies when asked and sets the importances.
// Purification keeps intercept + effects unchanged at every point; afterwards every pair has
// zero weighted mean along each axis and every main effect zero weighted mean.
void weigh_and_purify(EffectModel& model, const std::vector<const std::uint32_t*>& bins,
                      std::size_t n, const PurifyOptions& options);

// ---- piecewise-constant evaluation on strided columns -----------------------------------

// One column of a numeric matrix: element i at `data + i * stride` (bytes), of type T.
template <class T>
struct Column {
    const char* data;
    std::ptrdiff_t stride;
    std::size_t size;
    T operator[](std::size_t i) const {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        return v;
    }
};

// The value as the booster sees it: rounded to float32 (integers directly, so that no double
// rounding occurs). Doubles beyond float32's range keep their value, which compares against
// every finite split point as the infinity the booster would see.
template <class T>
inline double booster_value(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        const double d = static_cast<double>(v);
        if (!(std::fabs(d) <= static_cast<double>(FLT_MAX))) return d;
        return static_cast<double>(static_cast<float>(d));
    } else {
        return static_cast<double>(static_cast<float>(v));
    }
}

// Number of split points s with s <= v (`upper`) or s < v (not `upper`); branch free.
inline std::size_t count_splits(const double* s, std::size_t m, double v, bool upper) {
    if (m == 0) return 0;
    const double* base = s;
    std::size_t len = m;
    if (upper) {
        while (len > 1) {
            const std::size_t half = len / 2;
            base = (base[half] <= v) ? base + half : base;
            len -= half;
        }
        return static_cast<std::size_t>(base - s) + (*base <= v ? 1 : 0);
    }
    while (len > 1) {
        const std::size_t half = len / 2;
        base = (base[half] < v) ? base + half : base;
        len -= half;
    }
    return static_cast<std::size_t>(base - s) + (*base < v ? 1 : 0);
}

// Bins of a column on ascending split points, the booster's convention. Returns false at the
// first NaN (bins up to it are written).
template <class T>
bool bin_column(const Column<T>& x, const double* splits, std::size_t m, std::uint32_t* out) {
    for (std::size_t i = 0; i < x.size; ++i) {
        const double v = booster_value(x[i]);
        if (std::isnan(v)) return false;
        out[i] = static_cast<std::uint32_t>(count_splits(splits, m, v, true));
    }
    return true;
}

// f(x) for a main effect; a NaN value gives NaN.
template <class T>
void evaluate_1d(const Column<T>& x, const double* splits, std::size_t m, const double* values,
                 bool left_open, double* out) {
    for (std::size_t i = 0; i < x.size; ++i) {
        const double v = booster_value(x[i]);
        out[i] = std::isnan(v) ? v : values[count_splits(splits, m, v, left_open)];
    }
}

// f(x0, x1) for a pair effect with a row-major (m0 + 1) x (m1 + 1) table.
template <class T>
void evaluate_2d(const Column<T>& x0, const Column<T>& x1, const double* splits0, std::size_t m0,
                 const double* splits1, std::size_t m1, const double* values, bool left_open,
                 double* out) {
    for (std::size_t i = 0; i < x0.size; ++i) {
        const double v0 = booster_value(x0[i]);
        const double v1 = booster_value(x1[i]);
        if (std::isnan(v0) || std::isnan(v1)) {
            out[i] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        const std::size_t b0 = count_splits(splits0, m0, v0, left_open);
        const std::size_t b1 = count_splits(splits1, m1, v1, left_open);
        out[i] = values[b0 * (m1 + 1) + b1];
    }
}

}  // namespace orrin::effects
