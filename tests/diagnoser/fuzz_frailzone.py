"""Bounded fuzzing of every public method of the diagnoser, run in a child process by
test_fuzz.py so that a crash fails the test instead of the test run.

Each example starts from valid data and mutates some arguments: other dtypes (bool, ints,
float16/32/64, complex, object, datetime, text), NaN/inf/None, other shapes (empty, 0-d,
a dimension more or less, a row less), views with negative strides, read-only arrays,
lists, None. Every call must return a valid result or raise one of the clear exceptions
below, and a raising call must leave the object's attributes as they were.

Usage: python fuzz_frailzone.py GROUP  (GROUP is one of the names in GROUPS)."""

import sys
import warnings

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from sklearn.exceptions import NotFittedError

from object_state import assert_unchanged, snapshot
from orrin.diagnoser import frailzone as fz
from orrin.exceptions import OrrinError, OrrinInfo

CLEAR = (TypeError, ValueError, IndexError, KeyError, NotFittedError, OrrinError, OrrinInfo)
NAMES = ["a", "b", "c"]
DTYPES = ["bool", "int8", "int64", "uint16", "float16", "float32", "float64", "complex128",
          "object", "datetime64[s]", "<U3"]
MUTATIONS = ["same", "same", "same", "dtype", "bad value", "shape", "empty", "random", "list",
             "none"]


def run_settings(examples):
    return settings(max_examples=examples, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck), print_blob=True)


def as_dtype(base, dtype):
    base = np.asarray(base)
    if dtype == "datetime64[s]":
        out = (np.nan_to_num(base.astype(float)) * 1e3).astype("int64").astype(dtype)
        if out.size:
            out.flat[0] = np.datetime64("NaT")
        return out
    if dtype == "complex128":
        return base.astype(float) + 1j
    return base.astype(dtype)


@st.composite
def mutated(draw, base, mutations=MUTATIONS):
    """A valid argument `base` (a float array) or a mutation of it."""
    kind = draw(st.sampled_from(mutations))
    out = np.array(base, dtype=float)
    if out.ndim == 0 and kind in ("shape", "empty"):
        kind = "same"
    if kind == "dtype":
        out = as_dtype(out, draw(st.sampled_from(DTYPES)))
    elif kind == "bad value" and out.size:
        value = draw(st.sampled_from([np.nan, np.inf, -np.inf, None, 1e308, -0.0]))
        out = out.astype(object) if value is None else out
        out.flat[draw(st.integers(0, out.size - 1))] = value
    elif kind == "shape":
        change = draw(st.sampled_from(["row less", "extra axis", "flat", "scalar", "transpose"]))
        if change == "row less":
            out = out[:-1]
        elif change == "extra axis":
            out = out[..., None]
        elif change == "flat":
            out = out.ravel()
        elif change == "scalar":
            out = np.array(out.flat[0] if out.size else 0.0)
        else:
            out = out.T
    elif kind == "empty":
        out = out[:0]
    elif kind == "random":
        dtype = draw(st.sampled_from(DTYPES[:8]))
        shape = draw(hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=6))
        out = draw(hnp.arrays(dtype, shape))
    elif kind == "list":
        return out.tolist()
    elif kind == "none":
        return None
    if isinstance(out, np.ndarray) and out.ndim >= 1 and draw(st.booleans()):
        out = out[::-1] if out.ndim == 1 else out[::-1, ::-1]  # negative strides
    if isinstance(out, np.ndarray) and draw(st.booleans()):
        out = np.array(out)
        out.setflags(write=False)
    return out


def data(seed, n):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    x[:, 1] = np.round(x[:, 1])  # ties on the bin edges
    y = x[:, 0] + rng.normal(size=n) * (0.2 + 2 * (x[:, 0] > 0.3))
    return x, y, x[:, 0] + 0.1


def labels(y):
    return (y > np.median(y)).astype(int)


def call(obj, run):
    """run(), which must return or raise a clear exception that leaves obj unchanged."""
    before = snapshot(obj) if obj is not None else None
    try:
        return True, run()
    except CLEAR:
        if before is not None:
            assert_unchanged(obj, before)
        return False, None


def check_table(out, two):
    if out is None:
        return
    assert isinstance(out, pd.DataFrame)
    assert len(out.columns) == (9 if two else 7)
    assert (out["#Train"] >= 0).all() and (out["#Test"] >= 0).all()


STRATEGY = st.sampled_from(["histogram", "tree"])


def mostly(valid, bad):
    """One of the valid values nine times in ten, else one of the bad ones."""
    return st.integers(0, 9).flatmap(
        lambda k: st.sampled_from(bad) if k == 0 else st.sampled_from(valid))


FEATURES = st.lists(st.sampled_from(NAMES + ["z"]), min_size=0, max_size=3)


def make_strategy(draw, method):
    features = draw(st.one_of(st.just(["a"]), st.just(["b", "a"]), FEATURES))
    if method == "histogram":
        metric = draw(st.sampled_from([None, {"name": "MAE"}, {"name": "R2"}, {"name": "ACC"}]))
        return fz.HistogramSlicing(slice_features=features, metric=metric,
                                   bins=draw(mostly([1, 2, 5, 10], [0, 2.5, True, 10**30])),
                                   min_samples=draw(mostly([0, 3, 10], [np.nan, -1])),
                                   threshold=draw(mostly([1.2, 0.8, -1.0], ["x"])))
    metric = draw(st.sampled_from([None, {"name": "MAE"}, {"name": "ACC"}]))
    return fz.TreeSlicing(slice_features=features, metric=metric,
                          max_depth=draw(mostly([1, 2, 3, None], [0, 10**30])),
                          min_samples=draw(mostly([1, 5, 0.2], [0, np.nan, 2**62])),
                          threshold=draw(mostly([1.2, 0.8], ["x"])))


@run_settings(220)
@given(st.data(), STRATEGY, st.integers(0, 2**16), st.integers(2, 60))
def strategy_fit(draw_data, method, seed, n):
    draw = draw_data.draw
    s = make_strategy(draw, method)
    x, y, p = data(seed, n)
    m = n // 2 or 1
    classify = s.metric == {"name": "ACC"}
    if classify:
        y, p = labels(y), labels(p)
    args = dict(train_x=x[:m], train_y=y[:m], test_x=x[m:], test_y=y[m:], train_pred=p[:m],
                test_pred=p[m:])
    if draw(st.booleans()):  # a first fit, so that a refused second one has state to keep
        call(s, lambda: s.fit(**args, feature_names=NAMES))
    for key in draw(st.lists(st.sampled_from(sorted(args)), max_size=1, unique=True)):
        args[key] = draw(mutated(args[key]))
    weights = draw(mostly([None, None, "ones"], ["zeros", "mutated"]))
    if weights == "ones":
        args["train_sample_weight"], args["test_sample_weight"] = np.ones(m), np.ones(n - m)
    elif weights == "zeros":
        args["train_sample_weight"], args["test_sample_weight"] = np.zeros(m), np.zeros(n - m)
    elif weights == "mutated":
        args["test_sample_weight"] = draw(mutated(np.ones(n - m)))
    names = draw(mostly([NAMES, NAMES + ["d"]], [None, ["a"]]))
    ok, out = call(s, lambda: s.fit(**args, feature_names=names, use_test=draw(st.booleans())))
    if ok:
        check_table(out, len(s.fidx) != 1)


@run_settings(200)
@given(st.data(), STRATEGY, st.integers(0, 2**16), st.integers(1, 40))
def region_services(draw_data, method, seed, n):
    draw = draw_data.draw
    x, y, p = data(seed, max(n, 30))
    s = (fz.HistogramSlicing if method == "histogram" else fz.TreeSlicing)(
        slice_features=draw(st.sampled_from([["a"], ["a", "b"]])), min_samples=2)
    if draw(st.booleans()):
        s.fit(x, y, x, y, p, p, feature_names=NAMES)
    else:
        s.fidx, s.threshold_value = draw(st.sampled_from([[0], [0, 1], [], None])), 0.5
    x, y, p = x[:n, 1], y[:n], p[:n]
    scores = (y - p) ** 2
    bounds = st.sampled_from([-1.0, 0.0, 0.5, 2.0, np.nan, np.inf, None, "1", 3])
    lb1, ub1, lb2, ub2 = (draw(bounds) for _ in range(4))
    right = draw(st.sampled_from([False, True, None, 1, "yes"]))
    args = dict(x=x, y=y, preds=p, scores=scores)
    for key in draw(st.lists(st.sampled_from(sorted(args)), max_size=2, unique=True)):
        args[key] = draw(mutated(args[key]))
    weight = draw(st.one_of(st.none(), mutated(np.ones(n))))
    ok, idx = call(s, lambda: s.get_index(args["x"], lb1, ub1, lb2, ub2, right=right))
    if ok:
        assert isinstance(idx, np.ndarray) and idx.ndim == 1 and idx.dtype == np.intp
        assert np.all(np.diff(idx) > 0) and (idx.size == 0 or 0 <= idx[0] <= idx[-1] < n)
    for method_name in ("get_rule_list", "evaluate_slice"):
        ok, out = call(s, lambda: getattr(s, method_name)(
            lb1=lb1, ub1=ub1, lb2=lb2, ub2=ub2, right=right, sample_weight=weight, **args))
        if ok:
            assert isinstance(out, list) and len(out) <= 1
            if method_name == "get_rule_list":
                assert len(out) == 1 and list(out[0]) == ["splits", "values", "counts"]


@run_settings(120)
@given(st.data(), STRATEGY, st.integers(0, 2**16), st.integers(4, 80))
def strategy_passes(draw_data, method, seed, n):
    draw = draw_data.draw
    x, y, p = data(seed, n)
    s = (fz.HistogramSlicing if method == "histogram" else fz.TreeSlicing)(
        slice_features=draw(st.sampled_from([["a"], ["c", "b"]])), min_samples=3)
    s.fit(x, y, x, y, p, p, feature_names=NAMES)
    args = dict(x=x, y=y, preds=p, scores=(y - p) ** 2)
    for key in draw(st.lists(st.sampled_from(sorted(args)), max_size=2, unique=True)):
        args[key] = draw(mutated(args[key]))
    weight = draw(st.one_of(st.none(), mutated(np.ones(n))))
    call(s, lambda: s._fit(sample_weight=weight, **args))
    if method == "histogram":
        matrix = np.ndim(args["x"]) == 2 and np.shape(args["x"])[1] >= 2
        column = np.asarray(args["x"])[:, 0] if matrix else args["x"]
        call(s, lambda: s._fit1d(column, args["y"], args["preds"], args["scores"],
                                 sample_weight=weight))
        pair = np.asarray(args["x"])[:, :2] if matrix else args["x"]
        call(s, lambda: s._fit2d(pair, args["y"], args["preds"], args["scores"],
                                 sample_weight=weight))
    else:
        tree = s.tree_estimator.tree_
        call(s, lambda: list(s._dfs(tree, draw(st.sampled_from([0, 1, -1, 99, "0"])), {})))


def check_record(record, key):
    assert record.key == key and isinstance(record.value, dict)


@run_settings(70)
@given(st.data(), STRATEGY, st.integers(0, 2**16), st.integers(20, 120))
def frailzone_calls(draw_data, method, seed, n):
    draw = draw_data.draw
    x, y, p = data(seed, n)
    f = fz.FrailZone(None, draw(mostly([["a"], ["b", "a"], ["a", "b", "c"]], [["z"]])),
                     method=draw(mostly([method], ["Tree"])),
                     bins=draw(mostly([3, 10], [0])),
                     min_samples=draw(mostly([2, 5], [np.nan])),
                     max_depth=draw(mostly([1, 2], [0, 10**30])),
                     use_test=draw(st.booleans()),
                     threshold=draw(mostly([1.0, 0.9], ["1.2"])))
    split = n // 2
    args = dict(x=x, y=y, prediction=p, train_idx=np.arange(split), test_idx=np.arange(split, n))
    for key in draw(st.lists(st.sampled_from(sorted(args)), max_size=1, unique=True)):
        args[key] = draw(mutated(args[key]))
    weight = draw(st.one_of(st.none(), st.none(), mutated(np.ones(n))))
    call(f, lambda: f.get_result())
    ok, _ = call(f, lambda: f.fit(sample_weight=weight, feature_names=NAMES, **args))
    for getter, key in (("get_result", "frailzone_result"), ("get_marginal", "frailzone_plot")):
        ok, record = call(f, getattr(f, getter))
        if ok:
            check_record(record, key)
    ok, idx = call(f, f.get_target_idx)
    if ok:
        assert isinstance(idx, np.ndarray) and idx.ndim == 1
    ok, record = call(f, lambda: f.get_distance(
        psi_buckets=draw(mostly(["uniform", "quantile"], ["x"])),
        distance_metric=draw(mostly(["PSI", "WD1", "KS"], ["x"])),
        compare_to=draw(mostly(["remaining", "full"], ["Full"]))))
    if ok:
        check_record(record, "resilience_shift_histogram")
        assert len(record.value["x"]) == len(record.value["y"]) <= 10
    ok, record = call(f, lambda: f.get_shift(draw(mostly([None, "b"], ["z"])),
                                             draw(mostly(["remaining", "full"], [1]))))
    if ok:
        check_record(record, "frailzone_shift")


PLOT_KEYS = ["weak_region_stats", "fidx", "x", "rule_list", "threshold_value", "score_name",
             "use_test", "feature_names", "bins", "is_metric_additive", "_sign", "scores"]


@run_settings(50)
@given(st.data(), STRATEGY, st.integers(0, 2**16), st.sampled_from([["a"], ["a", "b"]]))
def plot_marginal(draw_data, method, seed, features):
    import matplotlib.pyplot as plt

    draw = draw_data.draw
    x, y, p = data(seed, 200)
    f = fz.FrailZone(None, features, method=method, bins=4, min_samples=5, use_test=True)
    f.fit(x, y, np.arange(100), np.arange(100, 200), prediction=p, feature_names=NAMES)
    record = f.get_marginal()
    value = record.value
    for key in draw(st.lists(st.sampled_from(PLOT_KEYS), max_size=2)):
        change = draw(st.sampled_from(["drop", "mutate", "none", "text"]))
        if change == "drop":
            value.pop(key, None)
        elif change == "none":
            value[key] = None
        elif change == "text":
            value[key] = "text"
        elif isinstance(value.get(key), np.ndarray):
            value[key] = draw(mutated(value[key]))
        elif isinstance(value.get(key), list) and value[key]:
            entry = value[key][0]
            if isinstance(entry, dict):
                entry[draw(st.sampled_from(sorted(entry)))] = draw(
                    st.sampled_from([None, "x", np.nan, [1.0], -1e308]))
            else:
                value[key] = [draw(st.sampled_from([None, "x", 1.5, -7, 2**70]))]
    grid = draw(st.sampled_from([2, 3, 50, 1, 2.0]))
    ok, fig = call(record, lambda: fz.FrailZone.plot_marginal(record, grid=grid))
    if ok:
        assert fig is not None
    plt.close("all")


GROUPS = {"strategy_fit": strategy_fit, "region_services": region_services,
          "strategy_passes": strategy_passes, "frailzone_calls": frailzone_calls,
          "plot_marginal": plot_marginal}


if __name__ == "__main__":
    warnings.simplefilter("ignore")
    GROUPS[sys.argv[1]]()
