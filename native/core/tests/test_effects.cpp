#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "orrin/effects.hpp"

namespace fx = orrin::effects;

namespace {

// A minimal model text with the given trees (JSON objects) and base score.
std::string model_text(const std::vector<std::string>& trees, const std::string& objective,
                       const std::string& base_score, int num_feature = 3) {
    std::string list;
    for (std::size_t i = 0; i < trees.size(); ++i) list += (i ? "," : "") + trees[i];
    return R"({"learner":{"learner_model_param":{"base_score":")" + base_score +
           R"(","num_class":"0","num_feature":")" + std::to_string(num_feature) +
           R"(","num_target":"1"},"objective":{"name":")" + objective +
           R"("},"gradient_booster":{"name":"gbtree","model":{"tree_info":[)" +
           std::string(trees.empty() ? "" : "0") +
           [&] {
               std::string s;
               for (std::size_t i = 1; i < trees.size(); ++i) s += ",0";
               return s;
           }() +
           R"(],"trees":[)" + list + "]}}}}";
}

std::string tree(const std::string& left, const std::string& right, const std::string& feature,
                 const std::string& condition) {
    return R"({"left_children":[)" + left + R"(],"right_children":[)" + right +
           R"(],"split_indices":[)" + feature + R"(],"split_conditions":[)" + condition +
           R"(],"split_type":[)" +
           [&] {
               std::string s = "0";
               for (char c : left)
                   if (c == ',') s += ",0";
               return s;
           }() +
           "]}";
}

// Root on feature 0 at 0.5; left: feature 0 again at -1 (leaves 1, 2); right: feature 2 at
// 0.25 (leaves 3, 4).
const std::string kMixedTree =
    tree("1,3,5,-1,-1,-1,-1", "2,4,6,-1,-1,-1,-1", "0,0,2,0,0,0,0", "0.5,-1,0.25,1,2,3,4");
const std::string kLeafTree = tree("-1", "-1", "0", "0.75");

double margin(const fx::EffectModel& m, const std::vector<double>& row) {
    double total = m.intercept;
    for (const auto& e : m.mains)
        total += e.values[fx::count_splits(e.splits.data(), e.splits.size(), row[e.feature], true)];
    for (const auto& p : m.pairs) {
        const auto b0 =
            fx::count_splits(p.splits[0].data(), p.splits[0].size(), row[p.feature[0]], true);
        const auto b1 =
            fx::count_splits(p.splits[1].data(), p.splits[1].size(), row[p.feature[1]], true);
        total += p.values[b0 * (p.splits[1].size() + 1) + b1];
    }
    return total;
}

}  // namespace

TEST(CountSplits, BothConventionsOnEveryPosition) {
    const std::vector<double> s = {1.0, 2.0, 3.0};
    const std::vector<std::tuple<double, std::size_t, std::size_t>> cases = {
        {0.0, 0, 0}, {1.0, 1, 0}, {1.5, 1, 1}, {2.0, 2, 1}, {3.0, 3, 2}, {4.0, 3, 3}};
    for (const auto& [v, upper, lower] : cases) {
        EXPECT_EQ(fx::count_splits(s.data(), s.size(), v, true), upper) << v;
        EXPECT_EQ(fx::count_splits(s.data(), s.size(), v, false), lower) << v;
    }
    EXPECT_EQ(fx::count_splits(s.data(), 0, 5.0, true), 0u);
}

TEST(BoosterValue, RoundsToFloat32WithoutDoubleRounding) {
    EXPECT_EQ(fx::booster_value(0.1), static_cast<double>(0.1f));
    EXPECT_EQ(fx::booster_value(std::int64_t{(1LL << 53) + 1}),
              static_cast<double>(static_cast<float>((1LL << 53) + 1)));
    EXPECT_EQ(fx::booster_value(1e300), 1e300);
}

TEST(Decode, MixedTreeTermsAndBaseMargin) {
    const auto e =
        fx::decode_booster_json(model_text({kMixedTree, kLeafTree}, "binary:logistic", "[5E-1]"));
    EXPECT_EQ(e.num_trees, 2u);
    EXPECT_EQ(e.num_feature, 3u);
    EXPECT_DOUBLE_EQ(e.base_margin, 0.0);
    ASSERT_EQ(e.terms.size(), 5u);
    EXPECT_EQ(e.terms[0].n_features, 1);  // x0 < -1
    EXPECT_EQ(e.terms[0].hi[0], -1.0);
    EXPECT_EQ(e.terms[2].n_features, 2);  // x0 >= 0.5, x2 < 0.25
    EXPECT_EQ(e.terms[2].feature[1], 2u);
    EXPECT_EQ(e.terms[4].n_features, 0);
}

TEST(Decode, EmptySideOfARepeatedFeatureIsDropped) {
    // x0 < 0 then x0 < 1: the right side (1 <= x0 < 0) is empty.
    const auto t = tree("1,3,-1,-1,-1", "2,4,-1,-1,-1", "0,0,0,0,0", "0,1,5,6,7");
    const auto e = fx::decode_booster_json(model_text({t}, "reg:squarederror", "0"));
    ASSERT_EQ(e.terms.size(), 2u);
    EXPECT_EQ(e.terms[0].value, 6.0);
    EXPECT_EQ(e.terms[1].value, 5.0);
}

class Rejects : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(Rejects, WithAClearMessage) {
    try {
        fx::decode_booster_json(GetParam().first);
        FAIL() << "accepted";
    } catch (const fx::UnsupportedModel& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().second), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, Rejects,
    ::testing::Values(std::make_pair(std::string("{\"learner\":"), std::string("malformed")),
                      std::make_pair(std::string("[1,2"), std::string("malformed")),
                      std::make_pair(std::string(200, '['), std::string("nesting")),
                      std::make_pair(std::string("{}"), std::string("learner")),
                      std::make_pair(model_text({tree("1,-1", "2,-1", "0,0", "0,1")},
                                                "reg:squarederror", "0"),
                                     std::string("malformed")),
                      std::make_pair(model_text({tree("1,-1,-1", "2,-1,-1", "7,0,0", "0,1,2")},
                                                "reg:squarederror", "0"),
                                     std::string("malformed")),
                      std::make_pair(model_text({kLeafTree}, "reg:squarederror", "[1,2]"),
                                     std::string("several outputs"))));

// Malformed numbers, indices and structure inside an otherwise valid model text.
class RejectsEntry : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(RejectsEntry, NamingIt) {
    try {
        fx::decode_booster_json(GetParam().first);
        FAIL() << "accepted";
    } catch (const fx::UnsupportedModel& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().second), std::string::npos) << e.what();
    }
}

std::pair<std::string, std::string> bad_tree(const std::string& left, const std::string& right,
                                             const std::string& feature,
                                             const std::string& condition,
                                             const std::string& message) {
    return {model_text({tree(left, right, feature, condition)}, "reg:squarederror", "0"), message};
}

const std::string kFloatRange = "finite number within float32's range";

INSTANTIATE_TEST_SUITE_P(
    Trees, RejectsEntry,
    ::testing::Values(
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "NaN,1,2", "node 0 must be a " + kFloatRange),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "Infinity,1,2", kFloatRange),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "-Infinity,1,2", kFloatRange),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "1e39,1,2", kFloatRange),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "0,NaN,2", "node 1 must be a " + kFloatRange),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "0,1e400,2", "number out of range"),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "0,+1,2", "bad number"),
        bad_tree("1,-1,-1", "2,-1,-1", "0,0,0", "0,\"x\",2", "is not a number"),
        bad_tree("1.5,-1,-1", "2,-1,-1", "0,0,0", "0,1,2", "\"left_children\" of node 0"),
        bad_tree("-2,-1,-1", "2,-1,-1", "0,0,0", "0,1,2", "\"left_children\" of node 0"),
        bad_tree("1,-1,-1", "9,-1,-1", "0,0,0", "0,1,2", "\"right_children\" of node 0"),
        bad_tree("1,-1,-1", "1e300,-1,-1", "0,0,0", "0,1,2", "must be an integer in [0, 2]"),
        bad_tree("0,-1,-1", "2,-1,-1", "0,0,0", "0,1,2", "node 0 leads back to node 0"),
        bad_tree("1,0,-1", "2,2,-1", "0,0,0", "0,1,2", "node 1 leads back to node 0"),
        bad_tree("1,-1,-1", "-1,-1,-1", "0,0,0", "0,1,2", "node 0 has one child"),
        bad_tree("-1,-1,-1", "2,-1,-1", "0,0,0", "0,1,2", "node 0 has one child"),
        bad_tree("1,-1,-1", "2,-1,-1", "-1,0,0", "0,1,2", "\"split_indices\" of node 0"),
        bad_tree("1,-1,-1", "2,-1,-1", "3,0,0", "0,1,2", "must be an integer in [0, 2]"),
        bad_tree("1,-1,-1", "2,-1,-1", "NaN,0,0", "0,1,2", "\"split_indices\" of node 0"),
        bad_tree("1,-1", "2,-1,-1", "0,0,0", "0,1,2", "differ in length"),
        bad_tree("", "", "", "", "differ in length"),
        std::make_pair(model_text({kLeafTree}, "reg:squarederror", "0", 0) + "x", "trailing"),
        std::make_pair(model_text({kLeafTree}, "binary:logistic", "1"), "no finite margin"),
        std::make_pair(model_text({kLeafTree}, "binary:logistic", "NaN"), "no finite margin"),
        std::make_pair(model_text({kLeafTree}, "reg:gamma", "-1"), "no finite margin"),
        std::make_pair(model_text({kLeafTree}, "reg:squarederror", "inf"), "no finite margin"),
        std::make_pair(model_text({kLeafTree}, "reg:squarederror", "0", -1),
                       "\"num_feature\" must be an integer"),
        std::make_pair(
            R"({"learner":{"learner_model_param":{"base_score":"0","num_feature":"1e12"}}})",
            "\"num_feature\" must be an integer"),
        std::make_pair(R"({"learner":{"learner_model_param":{"base_score":"0",)"
                       R"("num_feature":"1"},"objective":{"name":7}}})",
                       "\"objective\" is not a string"),
        std::make_pair(R"({"learner":{"learner_model_param":{"base_score":"0",)"
                       R"("num_feature":"1"},"objective":{"name":"reg:squarederror"},)"
                       R"("gradient_booster":{"name":"gbtree","model":{"trees":{}}}}})",
                       "not a list")));

TEST(Decode, CountsMustMatchTheTrees) {
    const std::string text = model_text({kLeafTree, kLeafTree}, "reg:squarederror", "0");
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string t = text;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    EXPECT_THROW(fx::decode_booster_json(replaced("\"tree_info\":[0,0]", "\"tree_info\":[0]")),
                 fx::UnsupportedModel);
    EXPECT_THROW(fx::decode_booster_json(replaced(
                     "\"trees\":[", R"("gbtree_model_param":{"num_trees":"3"},"trees":[)")),
                 fx::UnsupportedModel);
    EXPECT_EQ(fx::decode_booster_json(
                  replaced("\"trees\":[", R"("gbtree_model_param":{"num_trees":"2"},"trees":[)"))
                  .num_trees,
              2u);
    const std::string nodes = R"(],"tree_param":{"num_nodes":"2"}})";
    EXPECT_THROW(fx::decode_booster_json(model_text(
                     {kLeafTree.substr(0, kLeafTree.size() - 2) + nodes}, "reg:squarederror", "0")),
                 fx::UnsupportedModel);
}

// Every prefix of a model text and every single-byte change of it is decoded or refused with
// UnsupportedModel; what decodes also builds its tables (the sanitizer build runs this too).
TEST(Decode, DamagedTextIsDecodedOrRefused) {
    const std::string text =
        model_text({kMixedTree, kLeafTree, tree("1,-1,-1", "2,-1,-1", "1,0,0", "0.5,-1e30,2e30")},
                   "binary:logistic", "[2.5E-1]");
    const std::string replacements = "0-9.e,:[]{}\"-NI";
    std::size_t decoded = 0;
    auto attempt = [&](const std::string& t) {
        try {
            const auto e = fx::decode_booster_json(t);
            const auto m = fx::build_tables(e);
            ++decoded;
            for (const auto& main : m.mains)
                for (double v : main.values) EXPECT_TRUE(std::isfinite(v));
        } catch (const fx::UnsupportedModel&) {
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) attempt(text.substr(0, i));
    for (std::size_t i = 0; i < text.size(); ++i)
        for (char c : replacements) {
            std::string t = text;
            t[i] = c;
            attempt(t);
        }
    EXPECT_GT(decoded, text.size());  // many changes (digits of numbers) keep a valid model
}

TEST(Decode, DeeperTreesAreRefused) {
    // 0 -> 1 -> 3 -> (4, 5): depth 3 on the left.
    const auto t = tree("1,3,-1,4,-1,-1", "2,6,-1,5,-1,-1", "0,1,0,2,0,0", "0,0,1,0,2,3");
    EXPECT_THROW(fx::decode_booster_json(model_text({t}, "reg:squarederror", "0")),
                 fx::UnsupportedModel);
}

class Purify : public ::testing::TestWithParam<bool> {};

TEST_P(Purify, KeepsTheSumAndZeroesTheWeightedMeans) {
    const auto e =
        fx::decode_booster_json(model_text({kMixedTree, kLeafTree}, "reg:squarederror", "1"));
    const auto raw = fx::build_tables(e);
    auto model = raw;
    // Rows on a lattice through and around every split point.
    const std::vector<double> grid = {-2.0, -1.0, 0.0, 0.25, 0.5, 1.0, 2.0};
    std::vector<std::vector<double>> rows;
    for (double a : grid)
        for (double c : grid)
            if (a <= c || a < 0.3) rows.push_back({a, 0.0, c});  // uneven joint frequencies
    std::vector<std::vector<std::uint32_t>> bins(model.mains.size());
    std::vector<const std::uint32_t*> views;
    for (std::size_t k = 0; k < model.mains.size(); ++k) {
        for (const auto& r : rows)
            bins[k].push_back(static_cast<std::uint32_t>(
                fx::count_splits(model.mains[k].splits.data(), model.mains[k].splits.size(),
                                 r[model.mains[k].feature], true)));
        views.push_back(bins[k].data());
    }
    fx::PurifyOptions options;
    options.true_to_data = GetParam();
    fx::weigh_and_purify(model, views, rows.size(), options);
    for (const auto& r : rows) EXPECT_NEAR(margin(model, r), margin(raw, r), 1e-12);
    for (double a : grid)
        for (double c : grid) {
            const std::vector<double> r = {a + 1e-3, 0.0, c - 1e-3};
            EXPECT_NEAR(margin(model, r), margin(raw, r), 1e-12);
        }
    for (const auto& m : model.mains) {
        double mean = 0.0;
        for (std::size_t b = 0; b < m.values.size(); ++b)
            mean += static_cast<double>(m.counts[b]) * m.values[b];
        EXPECT_NEAR(mean, 0.0, 1e-10);
    }
    ASSERT_EQ(model.pairs.size(), 1u);
    // Mean of the pair effect over the rows of each bin of feature 0 (joint weights) or
    // over the marginal of feature 2 (product weights) vanishes.
    const auto& p = model.pairs[0];
    const std::size_t cols = p.splits[1].size() + 1;
    const std::size_t n_rows = p.splits[0].size() + 1;
    std::vector<double> weight_sum(n_rows, 0.0);
    std::vector<double> mass(n_rows, 0.0);
    std::vector<double> col_weight(cols, 0.0);
    for (const auto& r : rows)
        col_weight[fx::count_splits(p.splits[1].data(), p.splits[1].size(), r[2], true)] += 1;
    for (const auto& r : rows) {
        const auto b0 = fx::count_splits(p.splits[0].data(), p.splits[0].size(), r[0], true);
        const auto b1 = fx::count_splits(p.splits[1].data(), p.splits[1].size(), r[2], true);
        weight_sum[b0] += 1;
        mass[b0] += p.values[b0 * cols + b1];
    }
    for (std::size_t i = 0; i < weight_sum.size(); ++i) {
        double m = 0.0;
        if (GetParam()) {
            m = weight_sum[i] > 0 ? mass[i] / weight_sum[i] : 0.0;
        } else {
            double w = 0.0;
            for (std::size_t j = 0; j < cols; ++j) {
                m += col_weight[j] * p.values[i * cols + j];
                w += col_weight[j];
            }
            m /= w;
        }
        EXPECT_NEAR(m, 0.0, 1e-10) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Weights, Purify, ::testing::Bool());

TEST(Evaluate, StridedColumnsAndNaN) {
    const std::vector<double> data = {0.0, 9.0, 1.0, 9.0, 2.5, 9.0, std::nan("")};
    const fx::Column<double> col{reinterpret_cast<const char*>(data.data()),
                                 2 * static_cast<std::ptrdiff_t>(sizeof(double)), 4};
    const std::vector<double> splits = {1.0, 2.0}, values = {10.0, 20.0, 30.0};
    std::vector<double> out(4);
    fx::evaluate_1d(col, splits.data(), 2, values.data(), true, out.data());
    EXPECT_EQ(out[0], 10.0);
    EXPECT_EQ(out[1], 20.0);
    EXPECT_EQ(out[2], 30.0);
    EXPECT_TRUE(std::isnan(out[3]));
}
