import json

import numpy as np
import pandas as pd
import pytest
import xgboost as xgb
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from effect_helpers import (assert_matches_margin, booster_with_trees, effect_of, margin,
                            reference_bins, sum_of_effects)
from orrin.models.xgb2.interpret import XGBInterpreter


def _data(seed, n, p, classify):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    X[:, 0] = np.round(X[:, 0], 1)  # ties put rows exactly on split points
    y = X[:, 0] + (X[:, 1 % p] * X[:, -1]) + 0.3 * rng.normal(size=n)
    if classify:
        y = (y > 0).astype(int)
    return X, y


def _unseen(X, seed):
    rng = np.random.default_rng(seed + 1)
    lo, hi = X.min(axis=0), X.max(axis=0)
    wide = rng.uniform(lo - 2 * (hi - lo) - 1, hi + 2 * (hi - lo) + 1, size=(200, X.shape[1]))
    return wide


def _on_splits(interp, n_features):
    """Rows whose values sit exactly on split points (and just below them)."""
    cols = []
    for j in range(n_features):
        s = interp.effects_ and next(
            (r["split_unique_list"][0] for r in interp.effects_["1D"].values()
             if r["fidx"] == (j,)), np.zeros(1))
        s = np.asarray(s) if len(s) else np.zeros(1)
        below = np.nextafter(s.astype(np.float32), np.float32(-np.inf)).astype(np.float64)
        cols.append(np.resize(np.concatenate([s, below]), 64))
    return np.column_stack(cols)


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(p=st.integers(1, 15), trees=st.sampled_from([1, 3, 20, 120, 500]),
       classify=st.booleans(), true_to_data=st.booleans(), purification=st.booleans(),
       seed=st.integers(0, 10_000))
def test_intercept_plus_effects_is_the_margin(p, trees, classify, true_to_data, purification,
                                              seed):
    X, y = _data(seed, 150, p, classify)
    model_cls = xgb.XGBClassifier if classify else xgb.XGBRegressor
    model = model_cls(n_estimators=trees, max_depth=2, learning_rate=0.3, max_bin=32,
                      random_state=seed).fit(X, y)
    interp = XGBInterpreter(model, purification=purification, true_to_data=true_to_data).fit(X)
    booster = model.get_booster()
    for rows in (X, _unseen(X, seed), _on_splits(interp, p)):
        assert_matches_margin(booster, interp.effects_, interp.intercept_, rows)


@pytest.mark.parametrize("true_to_data", [False, True])
@pytest.mark.parametrize("classify", [False, True])
def test_purified_effects_have_zero_weighted_means(true_to_data, classify):
    X, y = _data(3, 400, 4, classify)
    model_cls = xgb.XGBClassifier if classify else xgb.XGBRegressor
    model = model_cls(n_estimators=60, max_depth=2).fit(X, y)
    interp = XGBInterpreter(model, true_to_data=true_to_data).fit(X)
    n = len(X)
    assert interp.effects_["2D"], "the data has an interaction"
    for rec in interp.effects_["1D"].values():
        assert abs(effect_of(rec, X).mean()) < 1e-9
    for rec in interp.effects_["2D"].values():
        a, b = rec["fidx"]
        s0, s1 = rec["split_unique_list"]
        t = rec["values"]
        ba, bb = reference_bins(s0, X[:, a]), reference_bins(s1, X[:, b])
        joint = np.zeros(t.shape)
        np.add.at(joint, (ba, bb), 1.0 / n)
        if not true_to_data:
            joint = np.outer(joint.sum(axis=1), joint.sum(axis=0))
        scale = np.abs(t).max() + 1e-12
        np.testing.assert_allclose((joint * t).sum(axis=1), 0, atol=1e-9 * scale)
        np.testing.assert_allclose((joint * t).sum(axis=0), 0, atol=1e-9 * scale)


def test_purification_keeps_the_sum_and_moves_mass_to_the_intercept():
    X, y = _data(5, 300, 3, False)
    model = xgb.XGBRegressor(n_estimators=30, max_depth=2).fit(X, y)
    raw = XGBInterpreter(model, purification=False).fit(X)
    pure = XGBInterpreter(model, purification=True).fit(X)
    rows = np.vstack([X, _unseen(X, 5)])
    np.testing.assert_allclose(sum_of_effects(raw.effects_, raw.intercept_, rows),
                               sum_of_effects(pure.effects_, pure.intercept_, rows), atol=1e-9)
    # with joint weights every effect has zero mean over the data: the intercept is the mean
    joint = XGBInterpreter(model, true_to_data=True).fit(X)
    np.testing.assert_allclose(joint.intercept_, margin(model.get_booster(), X).mean(),
                               atol=1e-5)


LEAF_A, LEAF_B, LEAF_C, LEAF_D = 0.25, -0.5, 1.0, 0.125

HAND_TREES = {
    "single_leaf": [0.75],
    "stump": [(1, 0.5, LEAF_A, LEAF_B)],
    "one_sided_left": [(0, 0.0, (2, 1.0, LEAF_A, LEAF_B), LEAF_C)],
    "one_sided_right": [(0, 0.0, LEAF_C, (1, -1.0, LEAF_A, LEAF_B))],
    "same_feature_twice": [(2, 0.0, (2, -1.0, LEAF_A, LEAF_B), (2, 1.5, LEAF_C, LEAF_D))],
    "root_feature_again_on_one_side": [(0, 0.0, (0, -0.5, LEAF_A, LEAF_B),
                                        (1, 0.0, LEAF_C, LEAF_D))],
    "two_pairs_in_one_tree": [(0, 0.0, (1, 0.5, LEAF_A, LEAF_B), (2, -0.5, LEAF_C, LEAF_D))],
    "pair_stored_reversed": [(2, 0.3, (0, 0.1, LEAF_A, LEAF_B), (0, -0.2, LEAF_C, LEAF_D))],
    "mixed_ensemble": [0.5, (1, 0.5, LEAF_A, LEAF_B), (0, 0.0, (1, 0.5, LEAF_C, LEAF_D), LEAF_A),
                       (1, 0.5, (1, 0.5, LEAF_A, LEAF_B), LEAF_C)],
}


@pytest.mark.parametrize("purification", [False, True])
@pytest.mark.parametrize("name", sorted(HAND_TREES))
def test_hand_written_trees_decompose_exactly(name, purification):
    booster = booster_with_trees(HAND_TREES[name], 3, base_score=0.5)
    rng = np.random.default_rng(1)
    X = np.round(rng.normal(size=(300, 3)), 1)
    interp = XGBInterpreter(booster, purification=purification).fit(X)
    grid = np.array([[-1.0, -0.5, -0.2, 0.0, 0.1, 0.3, 0.5, 1.0, 1.5]] * 3).T
    for rows in (X, grid, X * 10):
        assert_matches_margin(booster, interp.effects_, interp.intercept_, rows)


def test_hand_written_tree_tables():
    booster = booster_with_trees(HAND_TREES["two_pairs_in_one_tree"], 3, base_score=0.5)
    X = np.zeros((4, 3))
    interp = XGBInterpreter(booster, purification=False).fit(X)
    assert interp.intercept_ == 0.5
    assert interp.effects_["1D"] == {}
    pairs = interp.effects_["2D"]
    assert sorted(pairs) == [(0, 1), (0, 2)]
    rec = pairs[(0, 1)]
    assert rec["fidx"] == (0, 1)
    np.testing.assert_array_equal(rec["split_unique_list"][0], [0.0])
    np.testing.assert_array_equal(rec["split_unique_list"][1], [0.5])
    np.testing.assert_array_equal(rec["values"], [[LEAF_A, LEAF_B], [0.0, 0.0]])
    np.testing.assert_array_equal(pairs[(0, 2)]["values"], [[0.0, 0.0], [LEAF_C, LEAF_D]])


def test_single_leaf_trees_only_give_an_intercept():
    booster = booster_with_trees([0.75, -0.25], 2, base_score=0.5)
    interp = XGBInterpreter(booster).fit(np.zeros((3, 2)))
    assert interp.effects_ == {"1D": {}, "2D": {}}
    assert interp.intercept_ == pytest.approx(1.0)


@pytest.mark.parametrize("params", [
    {"objective": "reg:squarederror", "base_score": 10.0},
    {"objective": "reg:absoluteerror"},
    {"objective": "count:poisson"},
    {"objective": "reg:logistic"},
    {"objective": "binary:logistic", "base_score": 0.2},
    {"objective": "binary:logitraw"},
    {"objective": "reg:squarederror", "monotone_constraints": "(1,0,-1)"},
    {"objective": "reg:squarederror", "interaction_constraints": "[[0], [1], [2]]"},
    {"objective": "reg:squarederror", "max_depth": 1},
])
def test_objectives_base_scores_and_constraints(params):
    rng = np.random.default_rng(7)
    X = rng.uniform(0, 2, size=(300, 3))
    y = np.exp(X[:, 0] - X[:, 2]) + X[:, 1] * X[:, 2]
    if "logistic" in params["objective"] or "logitraw" in params["objective"]:
        y = (y > np.median(y)).astype(float) if "binary" in params["objective"] else y / y.max()
    params = dict({"max_depth": 2}, **params)
    booster = xgb.train(params, xgb.DMatrix(X, y), num_boost_round=40)
    interp = XGBInterpreter(booster).fit(X)
    assert_matches_margin(booster, interp.effects_, interp.intercept_, X)
    assert_matches_margin(booster, interp.effects_, interp.intercept_, X * 3 - 2)
    if "interaction_constraints" in params or params["max_depth"] == 1:
        assert interp.effects_["2D"] == {}


def test_records_names_types_and_importance():
    X, y = _data(11, 300, 3, False)
    model = xgb.XGBRegressor(n_estimators=40, max_depth=2).fit(X, y)
    interp = XGBInterpreter(model, feature_names=["a", "b", "c"],
                            feature_types=["numerical"] * 3).fit(X)
    for key, rec in interp.effects_["1D"].items():
        assert key == rec["fidx"] and len(rec["fidx"]) == 1
        assert rec["name"] == "abc"[rec["fidx"][0]]
        assert rec["values"].shape == (len(rec["split_unique_list"][0]) + 1,)
        assert rec["importance"] == pytest.approx(np.var(effect_of(rec, X)), abs=1e-12)
    for key, rec in interp.effects_["2D"].items():
        j, k = rec["fidx"]
        assert key == (j, k) and j < k
        assert rec["name"] == f"{'abc'[j]} x {'abc'[k]}"
        assert rec["values"].shape == tuple(len(s) + 1 for s in rec["split_unique_list"])
        assert rec["importance"] == pytest.approx(np.var(effect_of(rec, X)), abs=1e-12)
    # a feature's split grid is the ensemble's distinct thresholds on it, ascending
    dump = model.get_booster().trees_to_dataframe()
    for j in range(3):
        want = np.sort(np.unique(dump.loc[dump.Feature == f"f{j}", "Split"].to_numpy()))
        got = interp.effects_["1D"][(j,)]["split_unique_list"][0]
        np.testing.assert_array_equal(got, want.astype(np.float32).astype(np.float64))


@pytest.mark.parametrize("convert", [
    lambda X: X.astype(np.float32),
    lambda X: pd.DataFrame(X, columns=["u", "v", "w"]),
    lambda X: np.asfortranarray(X),
    lambda X: np.repeat(X, 2, axis=1)[:, ::2],
    lambda X: X.tolist(),
])
def test_input_kinds(convert):
    X, y = _data(2, 200, 3, False)
    model = xgb.XGBRegressor(n_estimators=20, max_depth=2).fit(X, y)
    want = XGBInterpreter(model).fit(X)
    got = XGBInterpreter(model).fit(convert(X))
    assert got.intercept_ == pytest.approx(want.intercept_, abs=1e-6)
    for kind in ("1D", "2D"):
        assert got.effects_[kind].keys() == want.effects_[kind].keys()
        for key in want.effects_[kind]:
            np.testing.assert_allclose(got.effects_[kind][key]["values"],
                                       want.effects_[kind][key]["values"], atol=1e-6)


def test_refusals():
    X, y = _data(4, 200, 3, False)
    deep = xgb.XGBRegressor(n_estimators=5, max_depth=3).fit(X, y)
    with pytest.raises(ValueError, match="deeper than 2"):
        XGBInterpreter(deep).fit(X)
    model = xgb.XGBRegressor(n_estimators=5, max_depth=2).fit(X, y)
    with pytest.raises(ValueError, match="trained on 3"):
        XGBInterpreter(model).fit(X[:, :2])
    bad = X.copy()
    bad[3, 1] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        XGBInterpreter(model).fit(bad)
    with pytest.raises(ValueError, match="numeric"):
        XGBInterpreter(model).fit(np.array([["a", "b", "c"]], dtype=object))
    with pytest.raises(ValueError, match="at least one row"):
        XGBInterpreter(model).fit(np.zeros((0, 3)))
    with pytest.raises(ValueError, match="feature_names"):
        XGBInterpreter(model, feature_names=["a"]).fit(X)
    multi = xgb.XGBClassifier(n_estimators=3, max_depth=2).fit(X, np.arange(200) % 3)
    with pytest.raises(ValueError, match="multi-class"):
        XGBInterpreter(multi).fit(X)
    linear = xgb.XGBRegressor(n_estimators=3, booster="gblinear").fit(X, y)
    with pytest.raises(ValueError, match="gblinear"):
        XGBInterpreter(linear).fit(X)
    with pytest.raises(TypeError, match="estimator"):
        XGBInterpreter(object()).fit(X)


def test_malformed_model_text_is_an_error_not_a_crash():
    from orrin import _core

    X = np.zeros((2, 1))
    good = booster_with_trees([(0, 0.0, 1.0, 2.0)], 1).save_raw("json")
    model = json.loads(good)
    tree = model["learner"]["gradient_booster"]["model"]["trees"][0]
    tree["left_children"][0] = 7
    broken = [bytes(good[:50]), b"{}", b"[1, 2", json.dumps(model).encode(), b"\x00" * 10]
    for text in broken:
        with pytest.raises(ValueError):
            _core.xgb_effects(text, X, True, False)
