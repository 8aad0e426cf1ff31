#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "orrin/effects.hpp"

namespace {

// Two trees on three features: a pair (0, 1) / (0, 2) tree and a one-sided main tree on 2.
const char* kModel = R"({"learner":{"learner_model_param":{"base_score":"[5E-1]",
 "num_class":"0","num_feature":"3","num_target":"1"},
 "objective":{"name":"reg:squarederror"},
 "gradient_booster":{"name":"gbtree","model":{"trees":[
  {"left_children":[1,3,5,-1,-1,-1,-1],"right_children":[2,4,6,-1,-1,-1,-1],
   "split_indices":[0,1,2,0,0,0,0],"split_conditions":[0.5,1.5,-1E0,1,2,3,4],
   "split_type":[0,0,0,0,0,0,0]},
  {"left_children":[1,-1,3,-1,-1],"right_children":[2,-1,4,-1,-1],
   "split_indices":[2,0,2,0,0],"split_conditions":[0.25,10,2.5,20,30]}]}}},
 "version":[3,2,0]})";

orrin::DecodedEnsemble decode(const std::string& text) {
    return orrin::decode_model_json(text.data(), text.size());
}

double model_value(double x0, double x1, double x2) {
    double v = 0.5;
    if (static_cast<float>(x0) < 0.5f)
        v += static_cast<float>(x1) < 1.5f ? 1 : 2;
    else
        v += static_cast<float>(x2) < -1.0f ? 3 : 4;
    if (static_cast<float>(x2) < 0.25f)
        v += 10;
    else
        v += static_cast<float>(x2) < 2.5f ? 20 : 30;
    return v;
}

struct Rows {
    std::vector<double> data;  // row-major, 3 columns
    std::size_t rows() const { return data.size() / 3; }
    orrin::ColumnView column(std::size_t j) const {
        return {reinterpret_cast<const char*>(data.data() + j), 3 * sizeof(double), false};
    }
};

double sum_at(const orrin::EffectTables& t, double x0, double x1, double x2) {
    const double x[3] = {x0, x1, x2};
    auto bin = [&](std::size_t j) {
        return orrin::locate_bin<true>(t.grid[j].data(), t.grid[j].size(), x[j]);
    };
    double v = t.intercept;
    for (const auto& [j, values] : t.mains) v += values[bin(j)];
    for (const auto& [key, values] : t.pairs)
        v += values[bin(key.first) * (t.grid[key.second].size() + 1) + bin(key.second)];
    return v;
}

Rows sample_rows() {
    Rows r;
    const double xs[] = {-2.0, 0.25, 0.5, 1.5, -1.0, 2.5, 3.0};
    for (double a : xs)
        for (double b : xs)
            for (double c : xs) r.data.insert(r.data.end(), {a, b, c});
    return r;
}

}  // namespace

TEST(DecodeModel, ReadsTreesBaseScoreAndObjective) {
    const auto e = decode(kModel);
    EXPECT_EQ(e.num_feature, 3u);
    EXPECT_EQ(e.base_margin, 0.5);
    EXPECT_EQ(e.objective, "reg:squarederror");
    ASSERT_EQ(e.trees.size(), 2u);
    EXPECT_EQ(e.trees[0].value[2], -1.0f);
    EXPECT_EQ(e.trees[1].left[1], -1);
}

TEST(DecodeModel, LogisticBaseScoreIsALogit) {
    std::string text = kModel;
    text.replace(text.find("reg:squarederror"), 16, "binary:logistic");
    text.replace(text.find("[5E-1]"), 6, "[2E-1]");
    EXPECT_NEAR(decode(text).base_margin, std::log(0.2f / (1 - 0.2f)), 1e-7);
}

TEST(DecodeModel, RefusesWhatItCannotRepresent) {
    const std::vector<std::pair<std::string, std::string>> edits = {
        {"gbtree\"", "gblinear\""},          {"\"num_class\":\"0\"", "\"num_class\":\"3\""},
        {"reg:squarederror", "reg:unknown"}, {"[1,3,5,-1", "[1,9,5,-1"},
        {"[2,0,2,0,0]", "[2,0,7,0,0]"},      {"\"version\"", "\"version\":1,"},
    };
    for (const auto& [from, to] : edits) {
        std::string text = kModel;
        text.replace(text.find(from), from.size(), to);
        EXPECT_THROW(decode(text), orrin::ModelError) << to;
    }
}

TEST(EffectTables, SumEqualsTheTreesEverywhere) {
    const auto t = orrin::build_effect_tables(decode(kModel));
    EXPECT_EQ(t.pairs.size(), 2u);
    EXPECT_EQ(t.mains.count(2), 1u);
    const Rows r = sample_rows();
    for (std::size_t i = 0; i < r.rows(); ++i) {
        const double* x = &r.data[3 * i];
        EXPECT_DOUBLE_EQ(sum_at(t, x[0], x[1], x[2]), model_value(x[0], x[1], x[2]));
    }
}

TEST(EffectTables, DeeperTreesAreRefused) {
    orrin::DecodedEnsemble e;
    e.num_feature = 1;
    e.trees.push_back({{1, 3, -1, 5, -1, -1, -1},
                       {2, 4, -1, 6, -1, -1, -1},
                       {0, 0, 0, 0, 0, 0, 0},
                       {0.f, -1.f, 1.f, -2.f, 1.f, 1.f, 1.f}});
    EXPECT_THROW(orrin::build_effect_tables(e), orrin::ModelError);
}

class Purify : public ::testing::TestWithParam<bool> {};

TEST_P(Purify, KeepsTheSumAndCentresEveryEffect) {
    const bool true_to_data = GetParam();
    auto t = orrin::build_effect_tables(decode(kModel));
    Rows r = sample_rows();
    r.data.resize(3 * 200);  // an uneven sample makes joint and product weights differ
    orrin::BinnedData data;
    data.rows = r.rows();
    data.bins.resize(3);
    for (std::size_t j = 0; j < 3; ++j) {
        data.bins[j].resize(data.rows);
        orrin::assign_bins(r.column(j), data.rows, t.grid[j], true, data.bins[j].data());
    }
    orrin::purify(t, data, true_to_data);
    const Rows all = sample_rows();
    for (std::size_t i = 0; i < all.rows(); ++i) {
        const double* x = &all.data[3 * i];
        EXPECT_NEAR(sum_at(t, x[0], x[1], x[2]), model_value(x[0], x[1], x[2]), 1e-12);
    }
    EXPECT_EQ(t.mains.size(), 3u);
    for (const auto& [j, values] : t.mains) {
        double mean = 0.0;
        for (std::int32_t b : data.bins[j]) mean += values[static_cast<std::size_t>(b)];
        EXPECT_NEAR(mean / static_cast<double>(data.rows), 0.0, 1e-12);
    }
    const auto imp = orrin::main_importance(t, data);
    EXPECT_GT(imp.at(2), 0.0);
}

INSTANTIATE_TEST_SUITE_P(Weights, Purify, ::testing::Values(false, true));

TEST(LocateBin, EqualValuesGoRightAndNanLast) {
    const std::vector<double> s = {-1.0, 0.0, 2.0};
    EXPECT_EQ(orrin::locate_bin<true>(s.data(), s.size(), 0.0), 2u);
    EXPECT_EQ(orrin::locate_bin<false>(s.data(), s.size(), 0.0), 1u);
    EXPECT_EQ(orrin::locate_bin<true>(s.data(), s.size(), -5.0), 0u);
    EXPECT_EQ(orrin::locate_bin<true>(s.data(), s.size(), 5.0), 3u);
    EXPECT_EQ(orrin::locate_bin<true>(s.data(), s.size(), std::nan("")), 3u);
    EXPECT_EQ(orrin::locate_bin<true>(s.data(), 0, 1.0), 0u);
    for (std::size_t n = 1; n <= 9; ++n) {
        std::vector<double> g(n);
        for (std::size_t i = 0; i < n; ++i) g[i] = static_cast<double>(i);
        for (std::size_t i = 0; i < n; ++i) {
            EXPECT_EQ(orrin::locate_bin<true>(g.data(), n, g[i]), i + 1);
            EXPECT_EQ(orrin::locate_bin<true>(g.data(), n, g[i] - 0.5), i);
            EXPECT_EQ(orrin::locate_bin<false>(g.data(), n, g[i]), i);
        }
    }
}
