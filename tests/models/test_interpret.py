import json

import numpy as np
import pandas as pd
import pytest
import xgboost as xgb
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orrin.models.utils import predict_1D_func_tree, predict_2D_func_tree
from orrin.models.xgb2.interpret import XGBInterpreter


def margin(booster, X):
    return booster.predict(xgb.DMatrix(X), output_margin=True).astype(np.float64)


def decomposed(interp, X):
    """intercept_ plus every stored effect, evaluated by the tree functions."""
    total = np.full(len(X), interp.intercept_)
    for item in interp.effects_["1D"].values():
        total += predict_1D_func_tree(item["fidx"], item["split_unique_list"][0],
                                      item["values"], True)(X)
    for item in interp.effects_["2D"].values():
        total += predict_2D_func_tree(item["fidx"], item["split_unique_list"][0],
                                      item["split_unique_list"][1], item["values"], True)(X)
    return total


def tolerance(booster):
    """Bound of the booster's own float32 accumulation over its trees."""
    model = json.loads(booster.save_raw("json"))["learner"]
    gradient_booster = model["gradient_booster"]
    trees = gradient_booster.get("gbtree", gradient_booster)["model"]["trees"]
    scale = 1.0 + sum(max(abs(v) for v in t["split_conditions"]) for t in trees)
    return 4 * (len(trees) + 1) * 2.0 ** -24 * scale


def assert_exact(interp, booster, *matrices):
    tol = tolerance(booster)
    for X in matrices:
        np.testing.assert_allclose(decomposed(interp, X), margin(booster, X), rtol=0, atol=tol)


def bins(splits, column):
    return np.searchsorted(splits, column.astype(np.float32).astype(np.float64), side="right")


def make_data(n, d, seed, classify):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, d))
    y = X[:, 0] + (X[:, 1] * X[:, -1] if d > 1 else 0) + 0.3 * rng.normal(size=n)
    if classify:
        y = (y > 0).astype(int)
    return X, y


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(d=st.integers(1, 15), trees=st.integers(1, 500), classify=st.booleans(),
       depth=st.sampled_from([1, 2]), seed=st.integers(0, 10 ** 6))
def test_effects_sum_to_the_margin_on_seen_and_unseen_rows(d, trees, classify, depth, seed):
    X, y = make_data(150, d, seed, classify)
    cls = xgb.XGBClassifier if classify else xgb.XGBRegressor
    model = cls(n_estimators=trees, max_depth=depth, learning_rate=0.3, max_bin=32,
                n_jobs=1, random_state=seed).fit(X, y)
    interp = XGBInterpreter(model).fit(X)
    unseen = np.random.default_rng(seed + 1).normal(size=(100, d)) * 4
    assert_exact(interp, model.get_booster(), X, unseen)
    if depth == 1:
        assert interp.effects_["2D"] == {}


@pytest.mark.parametrize("true_to_data", [False, True])
@pytest.mark.parametrize("classify", [False, True])
def test_purified_effects_have_zero_weighted_means(true_to_data, classify):
    X, y = make_data(400, 4, 3, classify)
    X[:, 1] += 0.8 * X[:, 0]  # correlated features make the two weightings differ
    cls = xgb.XGBClassifier if classify else xgb.XGBRegressor
    model = cls(n_estimators=60, max_depth=2, max_bin=16, n_jobs=1).fit(X, y)
    interp = XGBInterpreter(model, true_to_data=true_to_data).fit(X)
    assert interp.effects_["2D"]
    for item in interp.effects_["1D"].values():
        (j,) = item["fidx"]
        counts = np.bincount(bins(item["split_unique_list"][0], X[:, j]),
                             minlength=len(item["values"]))
        np.testing.assert_array_equal(item["counts"], counts)
        assert abs(np.average(item["values"], weights=counts)) < 1e-10
    for item in interp.effects_["2D"].values():
        j, k = item["fidx"]
        values = item["values"]
        b0 = bins(item["split_unique_list"][0], X[:, j])
        b1 = bins(item["split_unique_list"][1], X[:, k])
        joint = np.zeros(values.shape)
        np.add.at(joint, (b0, b1), 1.0)
        weights = joint if true_to_data else np.outer(joint.sum(1), joint.sum(0))
        scale = 1e-9 * (1 + np.abs(values).max())
        for axis in (0, 1):
            wsum = weights.sum(axis=axis)
            means = (weights * values).sum(axis=axis)[wsum > 0] / wsum[wsum > 0]
            assert np.abs(means).max() < scale
    assert_exact(interp, model.get_booster(), X, X * 3)


def test_importance_is_the_variance_over_the_data():
    X, y = make_data(300, 3, 5, False)
    model = xgb.XGBRegressor(n_estimators=30, max_depth=2, n_jobs=1).fit(X, y)
    interp = XGBInterpreter(model).fit(X)
    for item in interp.effects_["1D"].values():
        f = predict_1D_func_tree(item["fidx"], item["split_unique_list"][0], item["values"])
        assert item["importance"] == pytest.approx(np.var(f(X)), rel=1e-9, abs=1e-15)
    for item in interp.effects_["2D"].values():
        f = predict_2D_func_tree(item["fidx"], *item["split_unique_list"], item["values"])
        assert item["importance"] == pytest.approx(np.var(f(X)), rel=1e-9, abs=1e-15)


@pytest.mark.parametrize("purification", [True, False])
def test_without_purification_the_sum_is_still_exact(purification):
    X, y = make_data(300, 3, 6, True)
    model = xgb.XGBClassifier(n_estimators=40, max_depth=2, n_jobs=1).fit(X, y)
    interp = XGBInterpreter(model, purification=purification).fit(X)
    assert_exact(interp, model.get_booster(), X, X * 5)
    np.testing.assert_allclose(interp.predict_margin(X), decomposed(interp, X), atol=1e-12)


def test_fit_weighs_by_the_given_rows_only():
    X, y = make_data(300, 3, 7, False)
    model = xgb.XGBRegressor(n_estimators=30, max_depth=2, n_jobs=1).fit(X, y)
    a = XGBInterpreter(model).fit(X)
    b = XGBInterpreter(model).fit(X[:50] + 1.0)
    assert a.intercept_ != b.intercept_
    assert_exact(b, model.get_booster(), X)


# ---- crafted trees --------------------------------------------------------------------------

def leaf(v):
    return ("leaf", v)


def split(feature, threshold, left, right):
    return (feature, threshold, left, right)


def crafted_booster(trees, n_features, objective="reg:squarederror", base_score=0.5):
    """A booster whose trees are given as nested split/leaf tuples."""
    rng = np.random.default_rng(0)
    X = rng.normal(size=(20, n_features))
    y = rng.uniform(0.1, 0.9, size=20) if objective != "binary:logistic" else np.arange(20) % 2
    template = xgb.train({"objective": objective, "max_depth": 2}, xgb.DMatrix(X, y), 1)
    model = json.loads(template.save_raw("json"))
    learner = model["learner"]
    learner["learner_model_param"]["base_score"] = f"[{base_score!r}]"
    gbtree = learner["gradient_booster"]["model"]
    out = []
    for tid, tree in enumerate(trees):
        nodes = []

        def visit(node, parent):
            nid = len(nodes)
            nodes.append(None)
            if node[0] == "leaf":
                nodes[nid] = dict(left=-1, right=-1, feat=0, cond=node[1], parent=parent)
            else:
                f, s, lo, hi = node
                nodes[nid] = dict(feat=f, cond=s, parent=parent)
                nodes[nid]["left"] = visit(lo, nid)
                nodes[nid]["right"] = visit(hi, nid)
            return nid

        visit(tree, 2147483647)
        n = len(nodes)
        out.append({
            "base_weights": [float(nd["cond"]) for nd in nodes],
            "categories": [], "categories_nodes": [], "categories_segments": [],
            "categories_sizes": [], "default_left": [0] * n, "id": tid,
            "left_children": [nd["left"] for nd in nodes],
            "right_children": [nd["right"] for nd in nodes],
            "parents": [nd["parent"] for nd in nodes],
            "loss_changes": [0.0] * n, "sum_hessian": [1.0] * n,
            "split_conditions": [float(nd["cond"]) for nd in nodes],
            "split_indices": [nd["feat"] for nd in nodes],
            "split_type": [0] * n,
            "tree_param": {"num_deleted": "0", "num_feature": str(n_features),
                           "num_nodes": str(n), "size_leaf_vector": "1"},
        })
    gbtree["trees"] = out
    gbtree["tree_info"] = [0] * len(out)
    gbtree["iteration_indptr"] = list(range(len(out) + 1))
    gbtree["gbtree_model_param"]["num_trees"] = str(len(out))
    booster = xgb.Booster()
    booster.load_model(bytearray(json.dumps(model).encode()))
    return booster


CRAFTED = {
    "single leaf": [leaf(0.25), leaf(-1.0)],
    "feature twice": [split(0, 0.0, split(0, -1.0, leaf(1.0), leaf(2.0)),
                            split(0, 1.0, leaf(3.0), leaf(4.0)))],
    "feature twice, empty side": [split(0, 0.0, split(0, 1.0, leaf(1.0), leaf(9.0)),
                                        leaf(-2.0))],
    "one-sided": [split(0, 0.5, leaf(1.0), split(1, -0.5, leaf(2.0), leaf(3.0))),
                  split(1, 0.0, split(2, 0.25, leaf(-1.0), leaf(1.0)), leaf(0.5))],
    "three features": [split(0, 0.0, split(1, 0.0, leaf(1.0), leaf(2.0)),
                             split(2, 0.0, leaf(3.0), leaf(4.0)))],
    "mixed": [split(1, 0.0, split(1, 0.5, leaf(1.0), leaf(2.0)),
                    split(0, 0.1, leaf(3.0), leaf(4.0))),
              split(0, 0.1, leaf(0.5), leaf(-0.5)), leaf(0.125)],
    "float32 thresholds": [split(0, 0.1, leaf(1.0), leaf(2.0)),
                           split(1, 1 / 3, split(0, 0.1, leaf(0.5), leaf(0.0)), leaf(7.0))],
}


@pytest.mark.parametrize("name", list(CRAFTED))
@pytest.mark.parametrize("objective, base_score", [
    ("reg:squarederror", 0.5), ("binary:logistic", 0.3), ("count:poisson", 2.0),
    ("reg:logistic", 0.7), ("reg:absoluteerror", -1.5),
])
def test_crafted_trees_decompose_exactly(name, objective, base_score):
    trees = CRAFTED[name]
    booster = crafted_booster(trees, 3, objective, base_score)
    rng = np.random.default_rng(1)
    X = rng.normal(size=(400, 3))
    grid = np.array([-1.0, -0.5, 0.0, 0.1, 0.25, 0.5, 1.0, 1 / 3, float(np.float32(0.1))])
    on_splits = np.stack(np.meshgrid(grid, grid, grid), -1).reshape(-1, 3)
    near = on_splits + np.array([1e-9, -1e-9, 1e-12])
    interp = XGBInterpreter(booster).fit(X)
    assert_exact(interp, booster, X, on_splits, near)
    assert interp.n_trees_ == len(trees)


def test_single_leaf_trees_only_move_the_intercept():
    booster = crafted_booster(CRAFTED["single leaf"], 2, base_score=0.5)
    interp = XGBInterpreter(booster).fit(np.zeros((3, 2)))
    assert interp.effects_ == {"1D": {}, "2D": {}}
    assert interp.intercept_ == pytest.approx(0.5 + 0.25 - 1.0)


def test_records_and_names():
    booster = crafted_booster(CRAFTED["three features"], 3)
    X = np.random.default_rng(2).normal(size=(100, 3))
    interp = XGBInterpreter(booster, feature_names=["a", "b", "c"]).fit(X)
    assert list(interp.effects_["1D"]) == ["a", "b", "c"]
    assert list(interp.effects_["2D"]) == ["a x b", "a x c"]
    record = interp.effects_["2D"]["a x c"]
    assert record["fidx"] == (0, 2)
    assert record["name"] == "a x c"
    np.testing.assert_array_equal(record["split_unique_list"][0], [0.0])
    np.testing.assert_array_equal(record["split_unique_list"][1], [0.0])
    assert record["values"].shape == (2, 2)
    assert interp.feature_types_ == ["numerical"] * 3
    default = XGBInterpreter(booster).fit(X)
    assert list(default.effects_["1D"]) == ["X0", "X1", "X2"]


@pytest.mark.parametrize("make", [
    lambda X: X.astype(np.float32),
    lambda X: pd.DataFrame(X, columns=["u", "v", "w"]),
    lambda X: np.asfortranarray(X),
    lambda X: X.tolist(),
    lambda X: X.astype(X.dtype.newbyteorder()),
])
def test_input_layouts(make):
    X, y = make_data(200, 3, 8, False)
    frame = pd.DataFrame(X, columns=["u", "v", "w"])
    model = xgb.XGBRegressor(n_estimators=20, max_depth=2, n_jobs=1).fit(frame, y)
    interp = XGBInterpreter(model).fit(make(X))
    assert list(interp.effects_["1D"])[0] == "u"
    assert_exact(interp, model.get_booster(), frame)
    # the purification weights come from the same rows whatever their layout
    plain = XGBInterpreter(model).fit(X)
    for kind in ("1D", "2D"):
        for name, record in plain.effects_[kind].items():
            np.testing.assert_allclose(interp.effects_[kind][name]["values"], record["values"],
                                       rtol=0, atol=1e-6)


def test_monotone_constraints_give_monotone_main_effects():
    X, y = make_data(400, 3, 9, False)
    y = y - 2 * X[:, 2]
    model = xgb.XGBRegressor(n_estimators=60, max_depth=2, n_jobs=1,
                             monotone_constraints="(1,0,-1)").fit(X, y)
    interp = XGBInterpreter(model).fit(X)
    assert np.all(np.diff(interp.effects_["1D"]["X0"]["values"]) >= -1e-12)
    assert np.all(np.diff(interp.effects_["1D"]["X2"]["values"]) <= 1e-12)
    assert_exact(interp, model.get_booster(), X, X * 3)


def test_dart_booster_weights_its_trees():
    X, y = make_data(300, 3, 10, False)
    model = xgb.XGBRegressor(booster="dart", rate_drop=0.3, n_estimators=20, max_depth=2,
                             n_jobs=1, random_state=1).fit(X, y)
    interp = XGBInterpreter(model).fit(X)
    assert_exact(interp, model.get_booster(), X)


@pytest.mark.parametrize("make, message", [
    (lambda X, y: xgb.XGBRegressor(n_estimators=3, max_depth=3).fit(X, y), "deeper than 2"),
    (lambda X, y: xgb.XGBClassifier(n_estimators=2, max_depth=2).fit(X, (y > 0).astype(int) + (y > 1)),
     "multi-class"),
    (lambda X, y: xgb.XGBRegressor(booster="gblinear", n_estimators=2).fit(X, y), "gblinear"),
])
def test_unsupported_models(make, message):
    X, y = make_data(300, 3, 11, False)
    with pytest.raises(ValueError, match=message):
        XGBInterpreter(make(X, y)).fit(X)


@pytest.mark.parametrize("X, kwargs, error, message", [
    (np.zeros((5, 2)), {}, ValueError, "column"),
    (np.zeros((0, 3)), {}, ValueError, "at least one row"),
    (np.array([[0.0, np.nan, 1.0]]), {}, ValueError, "NaN"),
    (np.zeros(3), {}, ValueError, "two-dimensional"),
    (np.zeros((2, 3)), {"feature_names": ["a"]}, ValueError, "feature_names"),
    (np.zeros((2, 3)), {"feature_types": ["numerical"]}, ValueError, "feature_types"),
])
def test_bad_fit_input(X, kwargs, error, message):
    booster = crafted_booster(CRAFTED["three features"], 3)
    with pytest.raises(error, match=message):
        XGBInterpreter(booster, **kwargs).fit(X)


def test_not_a_booster():
    with pytest.raises(TypeError, match="estimator"):
        XGBInterpreter(object()).fit(np.zeros((2, 2)))
