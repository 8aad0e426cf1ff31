#include "orrin/effects.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace orrin {

namespace {

// ---------------------------------------------------------------------------------------------
// A small JSON reader: enough of the format for the booster's model text. Strings keep their raw
// text (keys of the model never need unescaping); numbers keep their text and are converted by
// the reader that knows their type (float32 for split conditions and leaf values).

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    std::string_view text;
    std::vector<Json> items;
    std::vector<std::pair<std::string_view, Json>> members;

    const Json* find(std::string_view key) const {
        for (const auto& m : members)
            if (m.first == key) return &m.second;
        return nullptr;
    }
    const Json& get(std::string_view key) const {
        const Json* v = find(key);
        if (v == nullptr || kind != Kind::Object)
            throw ModelError("model text lacks the field \"" + std::string(key) + "\"");
        return *v;
    }
};

class JsonReader {
  public:
    JsonReader(const char* text, std::size_t size) : p_(text), end_(text + size) {}

    Json parse_document() {
        Json v = parse_value(0);
        skip_space();
        if (p_ != end_) fail("trailing characters");
        return v;
    }

  private:
    const char* p_;
    const char* end_;

    [[noreturn]] static void fail(const char* what) {
        throw ModelError(std::string("malformed model text: ") + what);
    }

    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }

    void expect_literal(const char* word) {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0)
            fail("unknown literal");
        p_ += n;
    }

    std::string_view parse_string() {
        ++p_;  // opening quote
        const char* start = p_;
        while (p_ != end_ && *p_ != '"') {
            if (*p_ == '\\') {
                ++p_;
                if (p_ == end_) break;
            }
            ++p_;
        }
        if (p_ == end_) fail("unterminated string");
        std::string_view s(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return s;
    }

    Json parse_value(int depth) {
        if (depth > 64) fail("nesting too deep");
        skip_space();
        if (p_ == end_) fail("unexpected end");
        Json v;
        const char c = *p_;
        if (c == '{') {
            v.kind = Json::Kind::Object;
            ++p_;
            skip_space();
            if (p_ != end_ && *p_ == '}') {
                ++p_;
                return v;
            }
            while (true) {
                skip_space();
                if (p_ == end_ || *p_ != '"') fail("expected a key");
                std::string_view key = parse_string();
                skip_space();
                if (p_ == end_ || *p_ != ':') fail("expected ':'");
                ++p_;
                v.members.emplace_back(key, parse_value(depth + 1));
                skip_space();
                if (p_ != end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                if (p_ != end_ && *p_ == '}') {
                    ++p_;
                    return v;
                }
                fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v.kind = Json::Kind::Array;
            ++p_;
            skip_space();
            if (p_ != end_ && *p_ == ']') {
                ++p_;
                return v;
            }
            while (true) {
                v.items.push_back(parse_value(depth + 1));
                skip_space();
                if (p_ != end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                if (p_ != end_ && *p_ == ']') {
                    ++p_;
                    return v;
                }
                fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v.kind = Json::Kind::String;
            v.text = parse_string();
            return v;
        }
        if (c == 't' || c == 'f') {
            v.kind = Json::Kind::Bool;
            const char* start = p_;
            expect_literal(c == 't' ? "true" : "false");
            v.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
            return v;
        }
        if (c == 'n') {
            expect_literal("null");
            return v;
        }
        const char* start = p_;
        while (p_ != end_ &&
               (std::strchr("+-.0123456789eE", *p_) != nullptr || *p_ == 'N' || *p_ == 'a' ||
                *p_ == 'I' || *p_ == 'n' || *p_ == 'f' || *p_ == 'i' || *p_ == 't' || *p_ == 'y'))
            ++p_;
        if (p_ == start) fail("unexpected character");
        v.kind = Json::Kind::Number;
        v.text = std::string_view(start, static_cast<std::size_t>(p_ - start));
        return v;
    }
};

template <typename T>
T to_number(std::string_view text, const char* field) {
    // Some numbers are stored as strings, some as bracketed one-element lists ("[5E-1]").
    while (!text.empty() && (text.front() == '[' || text.front() == ' ')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ']' || text.back() == ' ')) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    T out{};
    const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
    if (res.ec != std::errc() || res.ptr != text.data() + text.size())
        throw ModelError(std::string("model field \"") + field + "\" is not a number");
    return out;
}

template <typename T>
std::vector<T> number_list(const Json& array, const char* field) {
    if (array.kind != Json::Kind::Array)
        throw ModelError(std::string("model field \"") + field + "\" is not a list");
    std::vector<T> out;
    out.reserve(array.items.size());
    for (const auto& item : array.items) out.push_back(to_number<T>(item.text, field));
    return out;
}

// Base score (stored in the objective's output space) to margin space.
double base_margin_of(const std::string& objective, double base_score) {
    static const char* const identity[] = {
        "reg:squarederror",  "reg:squaredlogerror", "reg:pseudohubererror",
        "reg:absoluteerror", "reg:quantileerror",   "binary:logitraw",
        "binary:hinge",      "rank:pairwise",       "rank:ndcg",
        "rank:map",          "reg:linear"};
    for (const char* name : identity)
        if (objective == name) return base_score;
    if (objective == "binary:logistic" || objective == "reg:logistic")
        return -std::log(1.0 / base_score - 1.0);
    if (objective == "count:poisson" || objective == "reg:gamma" || objective == "reg:tweedie")
        return std::log(base_score);
    throw ModelError("objective \"" + objective + "\" is not supported");
}

}  // namespace

DecodedEnsemble decode_model_json(const char* text, std::size_t size) {
    JsonReader reader(text, size);
    const Json doc = reader.parse_document();
    const Json& learner = doc.get("learner");
    const Json& param = learner.get("learner_model_param");
    DecodedEnsemble out;
    out.num_feature = to_number<std::size_t>(param.get("num_feature").text, "num_feature");
    if (const Json* nc = param.find("num_class"); nc && to_number<long>(nc->text, "num_class") > 1)
        throw ModelError("multi-class models are not supported");
    if (const Json* nt = param.find("num_target");
        nt && to_number<long>(nt->text, "num_target") > 1)
        throw ModelError("multi-target models are not supported");
    out.objective = std::string(learner.get("objective").get("name").text);
    const double base_score =
        static_cast<double>(to_number<float>(param.get("base_score").text, "base_score"));
    out.base_margin = base_margin_of(out.objective, base_score);

    const Json& booster = learner.get("gradient_booster");
    const std::string_view booster_name = booster.get("name").text;
    if (booster_name != "gbtree")
        throw ModelError("booster \"" + std::string(booster_name) +
                         "\" is not supported; only gbtree decomposes into effects");
    const Json& model = booster.get("model");
    const Json& trees = model.get("trees");
    if (trees.kind != Json::Kind::Array) throw ModelError("model field \"trees\" is not a list");
    out.trees.reserve(trees.items.size());
    for (const Json& t : trees.items) {
        DecodedTree tree;
        tree.left = number_list<std::int32_t>(t.get("left_children"), "left_children");
        tree.right = number_list<std::int32_t>(t.get("right_children"), "right_children");
        tree.feature = number_list<std::int32_t>(t.get("split_indices"), "split_indices");
        tree.value = number_list<float>(t.get("split_conditions"), "split_conditions");
        const std::size_t n = tree.left.size();
        if (n == 0 || tree.right.size() != n || tree.feature.size() != n || tree.value.size() != n)
            throw ModelError("tree arrays have inconsistent lengths");
        if (const Json* types = t.find("split_type")) {
            for (const auto& st : types->items)
                if (to_number<int>(st.text, "split_type") != 0)
                    throw ModelError("categorical splits are not supported");
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (tree.left[i] == -1) continue;
            if (tree.left[i] <= 0 || tree.right[i] <= 0 ||
                static_cast<std::size_t>(tree.left[i]) >= n ||
                static_cast<std::size_t>(tree.right[i]) >= n)
                throw ModelError("tree node refers to a missing child");
            if (tree.feature[i] < 0 || static_cast<std::size_t>(tree.feature[i]) >= out.num_feature)
                throw ModelError("tree splits on a feature index out of range");
        }
        out.trees.push_back(std::move(tree));
    }
    return out;
}

namespace {

struct Constraint {
    std::size_t feature;
    std::size_t lo;  // first bin
    std::size_t hi;  // one past the last bin
};

struct TableBuilder {
    explicit TableBuilder(const std::vector<std::vector<double>>& g) : grid(g) {}

    const std::vector<std::vector<double>>& grid;
    double intercept = 0.0;
    // Difference arrays: a range update costs O(1), the prefix sums run once at the end.
    std::map<std::size_t, std::vector<double>> main_diff;
    std::map<std::pair<std::size_t, std::size_t>, std::vector<double>> pair_diff;

    std::size_t bins(std::size_t j) const { return grid[j].size() + 1; }

    std::size_t split_bin(std::size_t j, float split) const {
        const auto& g = grid[j];
        return static_cast<std::size_t>(
            std::lower_bound(g.begin(), g.end(), static_cast<double>(split)) - g.begin());
    }

    void add_leaf(const Constraint* cons, std::size_t n, double v) {
        if (n == 0) {
            intercept += v;
            return;
        }
        if (n == 1) {
            auto& d = main_diff[cons[0].feature];
            if (d.empty()) d.assign(bins(cons[0].feature) + 1, 0.0);
            d[cons[0].lo] += v;
            d[cons[0].hi] -= v;
            return;
        }
        const Constraint& a = cons[0].feature < cons[1].feature ? cons[0] : cons[1];
        const Constraint& b = cons[0].feature < cons[1].feature ? cons[1] : cons[0];
        auto& d = pair_diff[{a.feature, b.feature}];
        const std::size_t width = bins(b.feature) + 1;
        if (d.empty()) d.assign((bins(a.feature) + 1) * width, 0.0);
        d[a.lo * width + b.lo] += v;
        d[a.lo * width + b.hi] -= v;
        d[a.hi * width + b.lo] -= v;
        d[a.hi * width + b.hi] += v;
    }

    void walk(const DecodedTree& t, std::size_t node, int depth, Constraint* cons, std::size_t n) {
        if (t.left[node] == -1) {
            add_leaf(cons, n, static_cast<double>(t.value[node]));
            return;
        }
        if (depth >= 2) throw ModelError("the ensemble has trees deeper than 2");
        const auto j = static_cast<std::size_t>(t.feature[node]);
        const std::size_t k = split_bin(j, t.value[node]);
        std::size_t slot = n;
        for (std::size_t i = 0; i < n; ++i)
            if (cons[i].feature == j) slot = i;
        const Constraint saved = slot < n ? cons[slot] : Constraint{j, 0, bins(j)};
        const std::size_t count = slot < n ? n : n + 1;
        // Left: bins [lo, k], the values below the split; right: bins [k + 1, hi).
        cons[slot] = {j, saved.lo, std::min(saved.hi, k + 1)};
        if (cons[slot].lo < cons[slot].hi)
            walk(t, static_cast<std::size_t>(t.left[node]), depth + 1, cons, count);
        cons[slot] = {j, std::max(saved.lo, k + 1), saved.hi};
        if (cons[slot].lo < cons[slot].hi)
            walk(t, static_cast<std::size_t>(t.right[node]), depth + 1, cons, count);
        cons[slot] = saved;
    }
};

}  // namespace

EffectTables build_effect_tables(const DecodedEnsemble& ensemble) {
    EffectTables out;
    out.grid.assign(ensemble.num_feature, {});
    for (const auto& t : ensemble.trees)
        for (std::size_t i = 0; i < t.left.size(); ++i)
            if (t.left[i] != -1)
                out.grid[static_cast<std::size_t>(t.feature[i])].push_back(
                    static_cast<double>(t.value[i]));
    for (auto& g : out.grid) {
        std::sort(g.begin(), g.end());
        g.erase(std::unique(g.begin(), g.end()), g.end());
    }
    TableBuilder builder(out.grid);
    Constraint cons[2];
    for (const auto& t : ensemble.trees) builder.walk(t, 0, 0, cons, 0);

    out.intercept = ensemble.base_margin + builder.intercept;
    for (auto& [j, d] : builder.main_diff) {
        std::vector<double> values(d.size() - 1);
        double run = 0.0;
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = (run += d[i]);
        out.mains.emplace(j, std::move(values));
    }
    for (auto& [key, d] : builder.pair_diff) {
        const std::size_t na = builder.bins(key.first), nb = builder.bins(key.second);
        const std::size_t width = nb + 1;
        std::vector<double> values(na * nb);
        std::vector<double> column_run(nb, 0.0);
        for (std::size_t i = 0; i < na; ++i) {
            double run = 0.0;
            for (std::size_t j = 0; j < nb; ++j) {
                run += d[i * width + j];
                column_run[j] += run;
                values[i * nb + j] = column_run[j];
            }
        }
        out.pairs.emplace(key, std::move(values));
    }
    return out;
}

void assign_bins(const ColumnView& column, std::size_t rows, const std::vector<double>& splits,
                 bool equal_goes_right, std::int32_t* out) {
    const double* s = splits.data();
    const std::size_t n = splits.size();
    if (equal_goes_right) {
        for (std::size_t r = 0; r < rows; ++r)
            out[r] = static_cast<std::int32_t>(locate_bin<true>(s, n, column.at(r)));
    } else {
        for (std::size_t r = 0; r < rows; ++r)
            out[r] = static_cast<std::int32_t>(locate_bin<false>(s, n, column.at(r)));
    }
}

namespace {

std::vector<double> bin_counts(const std::vector<std::int32_t>& bins, std::size_t nbins) {
    std::vector<double> counts(nbins, 0.0);
    for (std::int32_t b : bins) counts[static_cast<std::size_t>(b)] += 1.0;
    return counts;
}

std::vector<double> joint_counts(const std::vector<std::int32_t>& a,
                                 const std::vector<std::int32_t>& b, std::size_t nb,
                                 std::size_t cells) {
    std::vector<double> counts(cells, 0.0);
    for (std::size_t r = 0; r < a.size(); ++r)
        counts[static_cast<std::size_t>(a[r]) * nb + static_cast<std::size_t>(b[r])] += 1.0;
    return counts;
}

// Moves the weighted mean of every row (axis 1) or column (axis 0) of `table` into `main`;
// returns the largest mean moved.
double center_axis(std::vector<double>& table, const std::vector<double>& weight, std::size_t na,
                   std::size_t nb, bool rows, std::vector<double>& main) {
    double largest = 0.0;
    const std::size_t outer = rows ? na : nb, inner = rows ? nb : na;
    for (std::size_t o = 0; o < outer; ++o) {
        double wsum = 0.0, vsum = 0.0;
        for (std::size_t i = 0; i < inner; ++i) {
            const std::size_t cell = rows ? o * nb + i : i * nb + o;
            wsum += weight[cell];
            vsum += weight[cell] * table[cell];
        }
        if (wsum <= 0.0) continue;
        const double mean = vsum / wsum;
        if (mean == 0.0) continue;
        for (std::size_t i = 0; i < inner; ++i) table[rows ? o * nb + i : i * nb + o] -= mean;
        main[o] += mean;
        largest = std::max(largest, std::abs(mean));
    }
    return largest;
}

double largest_abs(const std::vector<double>& v) {
    double m = 0.0;
    for (double x : v) m = std::max(m, std::abs(x));
    return m;
}

}  // namespace

void purify(EffectTables& tables, const BinnedData& data, bool true_to_data) {
    const double rows = static_cast<double>(data.rows);
    std::vector<std::vector<double>> freq(tables.grid.size());
    auto marginal = [&](std::size_t j) -> const std::vector<double>& {
        if (freq[j].empty()) {
            freq[j] = bin_counts(data.bins[j], tables.grid[j].size() + 1);
            for (double& c : freq[j]) c /= rows;
        }
        return freq[j];
    };
    for (auto& [key, table] : tables.pairs) {
        const auto [a, b] = key;
        const std::size_t na = tables.grid[a].size() + 1, nb = tables.grid[b].size() + 1;
        std::vector<double> weight;
        if (true_to_data) {
            weight = joint_counts(data.bins[a], data.bins[b], nb, na * nb);
            for (double& w : weight) w /= rows;
        } else {
            const auto& pa = marginal(a);
            const auto& pb = marginal(b);
            weight.resize(na * nb);
            for (std::size_t i = 0; i < na; ++i)
                for (std::size_t k = 0; k < nb; ++k) weight[i * nb + k] = pa[i] * pb[k];
        }
        auto& main_a = tables.mains[a];
        if (main_a.empty()) main_a.assign(na, 0.0);
        auto& main_b = tables.mains[b];
        if (main_b.empty()) main_b.assign(nb, 0.0);
        // Product weights settle in one sweep; joint weights need alternating sweeps.
        const double tolerance = 1e-14 * std::max(largest_abs(table), 1e-300);
        for (int sweep = 0; sweep < 1000; ++sweep) {
            const double moved = std::max(center_axis(table, weight, na, nb, true, main_a),
                                          center_axis(table, weight, na, nb, false, main_b));
            if (moved <= tolerance) break;
        }
    }
    for (auto& [j, values] : tables.mains) {
        const auto& p = marginal(j);
        double mean = 0.0;
        for (std::size_t i = 0; i < values.size(); ++i) mean += p[i] * values[i];
        for (double& v : values) v -= mean;
        tables.intercept += mean;
    }
}

namespace {

double weighted_variance(const std::vector<double>& values, const std::vector<double>& counts,
                         double rows) {
    double mean = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) mean += counts[i] * values[i];
    mean /= rows;
    double var = 0.0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double d = values[i] - mean;
        var += counts[i] * d * d;
    }
    return var / rows;
}

}  // namespace

std::map<std::size_t, double> main_importance(const EffectTables& tables, const BinnedData& data) {
    std::map<std::size_t, double> out;
    for (const auto& [j, values] : tables.mains)
        out[j] = weighted_variance(values, bin_counts(data.bins[j], values.size()),
                                   static_cast<double>(data.rows));
    return out;
}

std::map<std::pair<std::size_t, std::size_t>, double> pair_importance(const EffectTables& tables,
                                                                      const BinnedData& data) {
    std::map<std::pair<std::size_t, std::size_t>, double> out;
    for (const auto& [key, values] : tables.pairs) {
        const std::size_t nb = tables.grid[key.second].size() + 1;
        out[key] = weighted_variance(
            values, joint_counts(data.bins[key.first], data.bins[key.second], nb, values.size()),
            static_cast<double>(data.rows));
    }
    return out;
}

namespace {

template <bool EqualGoesRight>
void evaluate_1d_impl(const ColumnView& c, std::size_t rows, const std::vector<double>& splits,
                      const double* values, double* out) {
    const double* s = splits.data();
    const std::size_t n = splits.size();
    if (c.is_float32) {
        for (std::size_t r = 0; r < rows; ++r) {
            const float x =
                *reinterpret_cast<const float*>(c.base + static_cast<std::ptrdiff_t>(r) * c.stride);
            out[r] = values[locate_bin<EqualGoesRight>(s, n, static_cast<double>(x))];
        }
    } else {
        for (std::size_t r = 0; r < rows; ++r) {
            const double x = *reinterpret_cast<const double*>(
                c.base + static_cast<std::ptrdiff_t>(r) * c.stride);
            out[r] = values[locate_bin<EqualGoesRight>(s, n, x)];
        }
    }
}

template <bool EqualGoesRight>
void evaluate_2d_impl(const ColumnView& c0, const ColumnView& c1, std::size_t rows,
                      const std::vector<double>& s0, const std::vector<double>& s1,
                      const double* values, double* out) {
    const std::size_t width = s1.size() + 1;
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t b0 = locate_bin<EqualGoesRight>(s0.data(), s0.size(), c0.at(r));
        const std::size_t b1 = locate_bin<EqualGoesRight>(s1.data(), s1.size(), c1.at(r));
        out[r] = values[b0 * width + b1];
    }
}

}  // namespace

void evaluate_1d(const ColumnView& column, std::size_t rows, const std::vector<double>& splits,
                 const double* values, bool equal_goes_right, double* out) {
    if (equal_goes_right)
        evaluate_1d_impl<true>(column, rows, splits, values, out);
    else
        evaluate_1d_impl<false>(column, rows, splits, values, out);
}

void evaluate_2d(const ColumnView& column0, const ColumnView& column1, std::size_t rows,
                 const std::vector<double>& splits0, const std::vector<double>& splits1,
                 const double* values, bool equal_goes_right, double* out) {
    if (equal_goes_right)
        evaluate_2d_impl<true>(column0, column1, rows, splits0, splits1, values, out);
    else
        evaluate_2d_impl<false>(column0, column1, rows, splits0, splits1, values, out);
}

}  // namespace orrin
