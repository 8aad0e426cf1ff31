"""Shared helpers of the effect tests: summing stored effects, a numpy binning reference and
boosters with hand-written trees."""

import json

import numpy as np
import xgboost as xgb

from orrin.models.utils import predict_1D_func_tree, predict_2D_func_tree


def effect_of(record, X):
    splits = record["split_unique_list"]
    if len(record["fidx"]) == 1:
        return predict_1D_func_tree(record["fidx"], splits[0], record["values"], True)(X)
    return predict_2D_func_tree(record["fidx"], splits[0], splits[1], record["values"], True)(X)


def sum_of_effects(effects, intercept, X):
    total = np.full(len(X), float(intercept))
    for kind in ("1D", "2D"):
        for record in effects[kind].values():
            total += effect_of(record, X)
    return total


def margin(booster, X):
    return booster.predict(xgb.DMatrix(np.asarray(X, dtype=np.float32)), output_margin=True)


def reference_bins(splits, column):
    """Piece of every value as the trees see it: float32 value, `x < split` goes left."""
    return np.searchsorted(np.asarray(splits), np.asarray(column, dtype=np.float32), side="right")


def assert_matches_margin(booster, effects, intercept, X):
    expected = margin(booster, X).astype(np.float64)
    got = sum_of_effects(effects, intercept, X)
    # Leaves are float32 and the booster adds them in float32.
    scale = np.abs(expected).max() + 1.0
    np.testing.assert_allclose(got, expected, rtol=0, atol=2e-6 * scale)


def booster_with_trees(trees, n_features, base_score=0.5, objective="reg:squarederror"):
    """A booster whose trees are given as nested tuples: a float is a leaf,
    (feature, split, left, right) a split node."""
    rng = np.random.default_rng(0)
    X = rng.normal(size=(20, n_features))
    y = rng.normal(size=20) if objective.startswith("reg") else (X[:, 0] > 0).astype(float)
    template = xgb.train({"max_depth": 2, "objective": objective, "base_score": base_score},
                         xgb.DMatrix(X, y), num_boost_round=1)
    model = json.loads(template.save_raw("json"))
    gbtree = model["learner"]["gradient_booster"]["model"]
    proto = gbtree["trees"][0]
    out = []
    for number, spec in enumerate(trees):
        nodes = []
        _flatten(spec, nodes)
        n = len(nodes)
        tree = dict(proto)
        tree["id"] = number
        tree["left_children"] = [nd[1] for nd in nodes]
        tree["right_children"] = [nd[2] for nd in nodes]
        tree["split_indices"] = [nd[3] for nd in nodes]
        tree["split_conditions"] = [nd[4] for nd in nodes]
        tree["parents"] = [2147483647] + [0] * (n - 1)
        for i, nd in enumerate(nodes):
            if nd[1] != -1:
                tree["parents"][nd[1]] = i
                tree["parents"][nd[2]] = i
        for key in ("base_weights", "loss_changes", "sum_hessian"):
            tree[key] = [0.0] * n
        tree["default_left"] = [0] * n
        tree["split_type"] = [0] * n
        tree["tree_param"] = dict(proto["tree_param"], num_nodes=str(n))
        out.append(tree)
    gbtree["trees"] = out
    gbtree["tree_info"] = [0] * len(out)
    gbtree["iteration_indptr"] = list(range(len(out) + 1))
    gbtree["gbtree_model_param"] = dict(gbtree["gbtree_model_param"], num_trees=str(len(out)))
    booster = xgb.Booster()
    booster.load_model(bytearray(json.dumps(model).encode()))
    return booster


def _flatten(spec, nodes):
    """Breadth-first layout: (id, left, right, feature, value)."""
    queue = [spec]
    specs = []
    while queue:
        s = queue.pop(0)
        specs.append(s)
        if not isinstance(s, float):
            queue.extend([s[2], s[3]])
    nxt = 1
    for i, s in enumerate(specs):
        if isinstance(s, float):
            nodes.append((i, -1, -1, 0, s))
        else:
            nodes.append((i, nxt, nxt + 1, s[0], float(s[1])))
            nxt += 2
