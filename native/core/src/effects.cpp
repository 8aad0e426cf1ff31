#include "orrin/effects.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <utility>

#include "effect_arithmetic.hpp"

namespace orrin::effects {

using arithmetic::center_mains;
using arithmetic::purify_pair;
using arithmetic::sub_bin_map;
using arithmetic::variance;
using arithmetic::weigh_pair;

namespace {

// ---- a small JSON reader, enough for the booster's model text ----------------------------

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::string> keys;  // objects: keys[i] names items[i]

    const Json* find(std::string_view key) const {
        if (kind != Kind::Object) return nullptr;
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (keys[i] == key) return &items[i];
        return nullptr;
    }
};

class JsonReader {
  public:
    explicit JsonReader(std::string_view s) : s_(s) {}

    Json read_document() {
        Json v = read_value(0);
        skip_space();
        if (pos_ != s_.size()) fail("trailing characters");
        return v;
    }

  private:
    static constexpr int kMaxDepth = 64;
    std::string_view s_;
    std::size_t pos_ = 0;

    [[noreturn]] void fail(const char* what) const {
        throw UnsupportedModel(std::string("malformed model text (") + what + " at byte " +
                               std::to_string(pos_) + ")");
    }
    void skip_space() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }
    char peek() {
        skip_space();
        if (pos_ >= s_.size()) fail("unexpected end");
        return s_[pos_];
    }
    void expect(char c) {
        if (peek() != c) fail("unexpected character");
        ++pos_;
    }
    void expect_word(std::string_view w) {
        if (s_.substr(pos_, w.size()) != w) fail("unknown literal");
        pos_ += w.size();
    }

    std::string read_string() {
        expect('"');
        std::string out;
        while (true) {
            if (pos_ >= s_.size()) fail("unterminated string");
            const char c = s_[pos_++];
            if (c == '"') break;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (pos_ >= s_.size()) fail("unterminated escape");
            const char e = s_[pos_++];
            switch (e) {
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u':
                    // Names are not needed from the model text: keep a placeholder.
                    if (pos_ + 4 > s_.size()) fail("short unicode escape");
                    pos_ += 4;
                    out.push_back('?');
                    break;
                default:
                    out.push_back(e);
            }
        }
        return out;
    }

    // A JSON number, or one of the words the booster writes for non-finite floats (NaN,
    // Infinity, -Infinity), which the model checks then refuse by name. Numbers beyond
    // double's range are refused here.
    double read_number() {
        const std::string_view rest = s_.substr(pos_);
        for (const auto& [word, value] :
             {std::pair<std::string_view, double>{"NaN", std::numeric_limits<double>::quiet_NaN()},
              {"Infinity", HUGE_VAL},
              {"-Infinity", -HUGE_VAL}}) {
            if (rest.substr(0, word.size()) == word) {
                pos_ += word.size();
                return value;
            }
        }
        const std::size_t digit = rest.size() > 0 && rest[0] == '-' ? 1 : 0;
        if (rest.size() <= digit || rest[digit] < '0' || rest[digit] > '9') fail("bad number");
        const char* first = rest.data();
        double v = 0.0;
        const auto r = std::from_chars(first, first + rest.size(), v);
        if (r.ec != std::errc()) fail("number out of range");
        pos_ += static_cast<std::size_t>(r.ptr - first);
        return v;
    }

    Json read_value(int depth) {
        if (depth > kMaxDepth) fail("nesting too deep");
        Json v;
        const char c = peek();
        if (c == '{') {
            ++pos_;
            v.kind = Json::Kind::Object;
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            while (true) {
                v.keys.push_back(read_string());
                expect(':');
                v.items.push_back(read_value(depth + 1));
                const char d = peek();
                ++pos_;
                if (d == '}') break;
                if (d != ',') fail("expected , or }");
            }
        } else if (c == '[') {
            ++pos_;
            v.kind = Json::Kind::Array;
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            while (true) {
                v.items.push_back(read_value(depth + 1));
                const char d = peek();
                ++pos_;
                if (d == ']') break;
                if (d != ',') fail("expected , or ]");
            }
        } else if (c == '"') {
            v.kind = Json::Kind::String;
            v.text = read_string();
        } else if (c == 't') {
            expect_word("true");
            v.kind = Json::Kind::Bool;
            v.number = 1.0;
        } else if (c == 'f') {
            expect_word("false");
            v.kind = Json::Kind::Bool;
        } else if (c == 'n') {
            expect_word("null");
        } else {
            v.kind = Json::Kind::Number;
            v.number = read_number();
        }
        return v;
    }
};

// ---- reading the booster's model text ---------------------------------------------------
//
// Every number the decomposition takes from the text is checked before use: counts and
// indices are integers in range, split points and leaf values finite numbers within float32's
// range (the booster stores them as float32), and the nodes of a tree form a tree of depth at
// most 2. A text that fails a check is refused with a message that says which entry is wrong.

[[noreturn]] void refuse(const std::string& what) { throw UnsupportedModel(what); }

const Json& member(const Json& obj, std::string_view key) {
    const Json* v = obj.find(key);
    if (v == nullptr) refuse("model text lacks the entry \"" + std::string(key) + "\"");
    return *v;
}

const std::string& text_of(const Json& v, std::string_view what) {
    if (v.kind != Json::Kind::String)
        refuse("model entry \"" + std::string(what) + "\" is not a string");
    return v.text;
}

// Numbers, which the booster also writes as text ("10", "5E-1", "[5E-1]").
double number_of(const Json& v, std::string_view what) {
    if (v.kind == Json::Kind::Number || v.kind == Json::Kind::Bool) return v.number;
    if (v.kind != Json::Kind::String)
        refuse("model entry \"" + std::string(what) + "\" is not a number");
    std::string_view t = v.text;
    if (!t.empty() && t.front() == '[' && t.back() == ']') t = t.substr(1, t.size() - 2);
    if (t.find(',') != std::string_view::npos)
        refuse("models with several outputs are not supported");
    double out = 0.0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size())
        refuse("model entry \"" + std::string(what) + "\" is not a number");
    return out;
}

// A count or an index: an integer in [lo, hi]. `what()` names the entry, built only when the
// value is refused.
template <class Name>
std::int64_t integer_of(double v, std::int64_t lo, std::int64_t hi, const Name& what) {
    if (!(v >= static_cast<double>(lo) && v <= static_cast<double>(hi)) || v != std::floor(v))
        refuse(what() + " must be an integer in [" + std::to_string(lo) + ", " +
               std::to_string(hi) + "]");
    return static_cast<std::int64_t>(v);
}

// A finite number that float32 holds (split points, leaf values).
template <class Name>
double float32_of(double v, const Name& what) {
    if (!(std::fabs(v) <= static_cast<double>(FLT_MAX)))
        refuse(what() + " must be a finite number within float32's range");
    return static_cast<double>(static_cast<float>(v));
}

std::vector<double> numbers_of(const Json& v, std::string_view what) {
    if (v.kind != Json::Kind::Array)
        refuse("model entry \"" + std::string(what) + "\" is not a list");
    std::vector<double> out;
    out.reserve(v.items.size());
    for (const Json& item : v.items) out.push_back(number_of(item, what));
    return out;
}

// The booster's base score moved to the margin, as its objective does.
double margin_of_base_score(const std::string& objective, double base_score) {
    if (objective == "binary:logistic" || objective == "reg:logistic")
        return -std::log(1.0 / base_score - 1.0);
    if (objective == "count:poisson" || objective == "reg:gamma" || objective == "reg:tweedie" ||
        objective == "survival:cox" || objective == "survival:aft")
        return std::log(base_score);
    return base_score;
}

constexpr std::int64_t kMaxIndex = std::numeric_limits<std::int32_t>::max();

// One tree's node arrays, checked for equal lengths.
struct TreeArrays {
    std::vector<double> left, right, feature, condition, split_type;

    TreeArrays(const Json& tree, std::size_t t) {
        left = numbers_of(member(tree, "left_children"), "left_children");
        right = numbers_of(member(tree, "right_children"), "right_children");
        feature = numbers_of(member(tree, "split_indices"), "split_indices");
        condition = numbers_of(member(tree, "split_conditions"), "split_conditions");
        if (const Json* st = tree.find("split_type"); st != nullptr)
            split_type = numbers_of(*st, "split_type");
        const std::size_t n = left.size();
        if (n == 0 || right.size() != n || feature.size() != n || condition.size() != n ||
            (!split_type.empty() && split_type.size() != n))
            refuse("tree " + std::to_string(t) +
                   " is malformed: its node lists are empty or differ in length");
        if (const Json* param = tree.find("tree_param"); param != nullptr) {
            if (const Json* s = param->find("size_leaf_vector");
                s != nullptr && number_of(*s, "size_leaf_vector") > 1)
                refuse("models with several outputs are not supported");
            if (const Json* s = param->find("num_nodes");
                s != nullptr && number_of(*s, "num_nodes") != static_cast<double>(n))
                refuse("tree " + std::to_string(t) + " is malformed: \"num_nodes\" is not the " +
                       "length of its node lists (" + std::to_string(n) + ")");
        }
    }
};

// Adds the leaves of one tree, reached from `node` at `depth` within `region`; `path` holds
// the nodes above, so that a child pointing back up is refused as a cycle.
struct TreeWalker {
    const TreeArrays& a;
    std::size_t num_feature;
    std::size_t tree;
    double weight;
    std::vector<LeafTerm>& out;

    auto where(std::size_t node, const char* entry) const {
        return [this, node, entry] { return name(node, entry); };
    }
    std::string name(std::size_t node, const char* entry) const {
        return "tree " + std::to_string(tree) + " is malformed: \"" + std::string(entry) +
               "\" of node " + std::to_string(node);
    }

    std::size_t child(std::size_t node, double v, const char* entry, const std::size_t* path,
                      int depth) const {
        const auto last = static_cast<std::int64_t>(a.left.size()) - 1;
        const auto c = static_cast<std::size_t>(integer_of(v, 0, last, where(node, entry)));
        if (c == node || std::find(path, path + depth, c) != path + depth)
            refuse("tree " + std::to_string(tree) + " is malformed: node " + std::to_string(node) +
                   " leads back to node " + std::to_string(c));
        return c;
    }

    void walk(std::size_t node, int depth, std::size_t* path, LeafTerm region) const {
        const double l = a.left[node];
        const double r = a.right[node];
        if (l == -1 || r == -1) {
            if (l != r)
                refuse("tree " + std::to_string(tree) + " is malformed: node " +
                       std::to_string(node) + " has one child");
            region.value = float32_of(a.condition[node], where(node, "split_conditions"));
            region.value *= weight;
            if (!(std::fabs(region.value) <= static_cast<double>(FLT_MAX)))
                refuse("tree " + std::to_string(tree) + " node " + std::to_string(node) +
                       ": the weighted leaf value is beyond float32's range");
            out.push_back(region);
            return;
        }
        if (depth >= 2)
            refuse("tree " + std::to_string(tree) +
                   " is deeper than 2; only depth-2 trees decompose");
        if (!a.split_type.empty() && a.split_type[node] != 0)
            refuse("tree " + std::to_string(tree) +
                   " has a categorical split, which is not supported");
        const auto fi = static_cast<std::size_t>(
            integer_of(a.feature[node], 0, static_cast<std::int64_t>(num_feature) - 1,
                       where(node, "split_indices")));
        const std::size_t lc = child(node, l, "left_children", path, depth);
        const std::size_t rc = child(node, r, "right_children", path, depth);
        const double split = float32_of(a.condition[node], where(node, "split_conditions"));
        path[depth] = node;
        int slot = 0;
        while (slot < region.n_features && region.feature[slot] != fi) ++slot;
        if (slot == region.n_features) {
            region.feature[slot] = fi;
            region.n_features += 1;
        }
        LeafTerm lower = region;
        lower.hi[slot] = std::min(lower.hi[slot], split);
        if (lower.lo[slot] < lower.hi[slot]) walk(lc, depth + 1, path, lower);
        LeafTerm upper = region;
        upper.lo[slot] = std::max(upper.lo[slot], split);
        if (upper.lo[slot] < upper.hi[slot]) walk(rc, depth + 1, path, upper);
    }
};

// Canonical order of a term's features: ascending.
LeafTerm canonical(LeafTerm t) {
    if (t.n_features == 2 && t.feature[0] > t.feature[1]) {
        std::swap(t.feature[0], t.feature[1]);
        std::swap(t.lo[0], t.lo[1]);
        std::swap(t.hi[0], t.hi[1]);
    }
    return t;
}

std::size_t position_of(const std::vector<double>& grid, double v) {
    return static_cast<std::size_t>(std::lower_bound(grid.begin(), grid.end(), v) - grid.begin());
}

// Bins [first, last) covered by lo <= x < hi on a grid that holds both finite bounds.
std::pair<std::size_t, std::size_t> bin_range(const std::vector<double>& grid, double lo,
                                              double hi) {
    const std::size_t first = std::isinf(lo) ? 0 : position_of(grid, lo) + 1;
    const std::size_t last = std::isinf(hi) ? grid.size() + 1 : position_of(grid, hi) + 1;
    return {first, last};
}

void sort_unique(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

void add_bound(std::vector<double>& grid, double v) {
    if (!std::isinf(v)) grid.push_back(v);
}

// Weighted mean and variance of a table over counts (the effect's distribution on the data).
}  // namespace

Ensemble decode_booster_json(std::string_view json) {
    const Json root = JsonReader(json).read_document();
    const Json& learner = member(root, "learner");
    const Json& params = member(learner, "learner_model_param");
    Ensemble out;
    out.num_feature = static_cast<std::size_t>(
        integer_of(number_of(member(params, "num_feature"), "num_feature"), 0, kMaxIndex,
                   [] { return std::string("model entry \"num_feature\""); }));
    if (const Json* c = params.find("num_class"); c != nullptr && number_of(*c, "num_class") > 1)
        refuse("multi-class models are not supported");
    if (const Json* t = params.find("num_target"); t != nullptr && number_of(*t, "num_target") > 1)
        refuse("models with several outputs are not supported");
    out.base_score = number_of(member(params, "base_score"), "base_score");
    out.objective = text_of(member(member(learner, "objective"), "name"), "objective");
    out.base_margin = margin_of_base_score(out.objective, out.base_score);
    if (!std::isfinite(out.base_margin))
        refuse("model entry \"base_score\" (" + std::to_string(out.base_score) +
               ") gives no finite margin for the objective " + out.objective);

    const Json& booster = member(learner, "gradient_booster");
    const std::string& kind = text_of(member(booster, "name"), "gradient_booster");
    const Json* model = nullptr;
    std::vector<double> tree_weight;
    if (kind == "gbtree") {
        model = &member(booster, "model");
    } else if (kind == "dart") {
        model = &member(member(booster, "gbtree"), "model");
        tree_weight = numbers_of(member(booster, "weight_drop"), "weight_drop");
        for (double w : tree_weight)
            if (!std::isfinite(w)) refuse("model entry \"weight_drop\" must hold finite numbers");
    } else {
        refuse("booster \"" + kind + "\" has no trees to decompose");
    }
    const Json& trees = member(*model, "trees");
    if (trees.kind != Json::Kind::Array) refuse("model trees are not a list");
    out.num_trees = trees.items.size();
    if (const Json* info = model->find("tree_info"); info != nullptr) {
        const auto groups = numbers_of(*info, "tree_info");
        for (double group : groups)
            if (group != 0) refuse("models with several outputs are not supported");
        if (groups.size() != out.num_trees)
            refuse("model entry \"tree_info\" does not have one entry per tree");
    }
    if (const Json* p = model->find("gbtree_model_param"); p != nullptr)
        if (const Json* n = p->find("num_trees");
            n != nullptr && number_of(*n, "num_trees") != static_cast<double>(out.num_trees))
            refuse("model entry \"num_trees\" is not the number of trees in the text (" +
                   std::to_string(out.num_trees) + ")");
    if (!tree_weight.empty() && tree_weight.size() != out.num_trees)
        refuse("model tree weights do not match its trees");

    for (std::size_t t = 0; t < out.num_trees; ++t) {
        const TreeArrays arrays(trees.items[t], t);
        const double weight = tree_weight.empty() ? 1.0 : tree_weight[t];
        const TreeWalker walker{arrays, out.num_feature, t, weight, out.terms};
        std::size_t path[2] = {0, 0};
        walker.walk(0, 0, path, LeafTerm{});
    }
    for (LeafTerm& term : out.terms) term = canonical(term);
    return out;
}

EffectModel build_tables(const Ensemble& ensemble) {
    EffectModel model;
    model.intercept = ensemble.base_margin;
    std::vector<std::vector<double>> grid(ensemble.num_feature);
    for (const LeafTerm& t : ensemble.terms)
        for (int i = 0; i < t.n_features; ++i) {
            add_bound(grid[t.feature[i]], t.lo[i]);
            add_bound(grid[t.feature[i]], t.hi[i]);
        }
    model.main_of_feature.assign(ensemble.num_feature, -1);
    for (std::size_t f = 0; f < ensemble.num_feature; ++f) {
        sort_unique(grid[f]);
        if (grid[f].empty()) continue;
        model.main_of_feature[f] = static_cast<std::ptrdiff_t>(model.mains.size());
        MainEffect m;
        m.feature = f;
        m.splits = grid[f];
        m.values.assign(m.splits.size() + 1, 0.0);
        model.mains.push_back(std::move(m));
    }

    // Pair grids: the split points of the pair's own leaves.
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> pair_index;
    for (const LeafTerm& t : ensemble.terms) {
        if (t.n_features != 2) continue;
        pair_index.emplace(std::make_pair(t.feature[0], t.feature[1]), 0);
    }
    for (auto& [key, index] : pair_index) {
        index = model.pairs.size();
        PairEffect p;
        p.feature[0] = key.first;
        p.feature[1] = key.second;
        model.pairs.push_back(std::move(p));
    }
    for (const LeafTerm& t : ensemble.terms) {
        if (t.n_features != 2) continue;
        PairEffect& p = model.pairs[pair_index.at({t.feature[0], t.feature[1]})];
        for (int i = 0; i < 2; ++i) {
            add_bound(p.splits[i], t.lo[i]);
            add_bound(p.splits[i], t.hi[i]);
        }
    }

    // Difference arrays: each leaf adds its value on a box with four (two) updates.
    std::vector<std::vector<double>> pair_diff(model.pairs.size());
    for (std::size_t k = 0; k < model.pairs.size(); ++k) {
        PairEffect& p = model.pairs[k];
        sort_unique(p.splits[0]);
        sort_unique(p.splits[1]);
        pair_diff[k].assign((p.splits[0].size() + 2) * (p.splits[1].size() + 2), 0.0);
    }
    std::vector<std::vector<double>> main_diff(model.mains.size());
    for (std::size_t k = 0; k < model.mains.size(); ++k)
        main_diff[k].assign(model.mains[k].splits.size() + 2, 0.0);

    for (const LeafTerm& t : ensemble.terms) {
        if (t.n_features == 0) {
            model.intercept += t.value;
        } else if (t.n_features == 1) {
            const auto k = static_cast<std::size_t>(model.main_of_feature[t.feature[0]]);
            const auto [first, last] = bin_range(model.mains[k].splits, t.lo[0], t.hi[0]);
            main_diff[k][first] += t.value;
            main_diff[k][last] -= t.value;
        } else {
            const std::size_t k = pair_index.at({t.feature[0], t.feature[1]});
            const PairEffect& p = model.pairs[k];
            const auto [r0, r1] = bin_range(p.splits[0], t.lo[0], t.hi[0]);
            const auto [c0, c1] = bin_range(p.splits[1], t.lo[1], t.hi[1]);
            const std::size_t w = p.splits[1].size() + 2;
            std::vector<double>& d = pair_diff[k];
            d[r0 * w + c0] += t.value;
            d[r1 * w + c0] -= t.value;
            d[r0 * w + c1] -= t.value;
            d[r1 * w + c1] += t.value;
        }
    }
    for (std::size_t k = 0; k < model.mains.size(); ++k) {
        double run = 0.0;
        for (std::size_t b = 0; b < model.mains[k].values.size(); ++b) {
            run += main_diff[k][b];
            model.mains[k].values[b] = run;
        }
    }
    for (std::size_t k = 0; k < model.pairs.size(); ++k) {
        PairEffect& p = model.pairs[k];
        const std::size_t rows = p.splits[0].size() + 1, cols = p.splits[1].size() + 1;
        const std::size_t w = cols + 1;
        std::vector<double>& d = pair_diff[k];
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) {
                if (i > 0) d[i * w + j] += d[(i - 1) * w + j];
                if (j > 0) d[i * w + j] += d[i * w + j - 1];
                if (i > 0 && j > 0) d[i * w + j] -= d[(i - 1) * w + j - 1];
            }
        p.values.resize(rows * cols);
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j) p.values[i * cols + j] = d[i * w + j];
    }
    return model;
}

void weigh_and_purify(EffectModel& model, const std::vector<const std::uint32_t*>& bins,
                      std::size_t n, const PurifyOptions& options) {
    if (bins.size() != model.mains.size())
        throw std::invalid_argument("one bin column per main effect is needed");
    if (n == 0) throw std::invalid_argument("weighing effects needs at least one row");
    for (std::size_t k = 0; k < model.mains.size(); ++k) {
        MainEffect& m = model.mains[k];
        m.counts.assign(m.values.size(), 0);
        for (std::size_t r = 0; r < n; ++r) m.counts[bins[k][r]] += 1;
    }

    for (PairEffect& p : model.pairs) {
        const auto k0 = static_cast<std::size_t>(model.main_of_feature[p.feature[0]]);
        const auto k1 = static_cast<std::size_t>(model.main_of_feature[p.feature[1]]);
        MainEffect& m0 = model.mains[k0];
        MainEffect& m1 = model.mains[k1];
        const auto map0 = sub_bin_map(m0.splits, p.splits[0]);
        const auto map1 = sub_bin_map(m1.splits, p.splits[1]);
        const std::size_t rows = p.splits[0].size() + 1, cols = p.splits[1].size() + 1;

        std::vector<std::uint64_t> joint(rows * cols, 0);
        const std::uint32_t* b0 = bins[k0];
        const std::uint32_t* b1 = bins[k1];
        for (std::size_t r = 0; r < n; ++r) joint[map0[b0[r]] * cols + map1[b1[r]]] += 1;

        weigh_pair(p, m0, m1, map0, map1, joint, n, options);
    }

    center_mains(model, n, options);
}

}  // namespace orrin::effects
