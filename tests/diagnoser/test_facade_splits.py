"""FrailZone.fit reads its splits in place: what it keeps must equal a strategy fitted on the
splits gathered by numpy, field by field and bit for bit, whatever form the index arrays take."""

import math

import numpy as np
import pandas as pd
import pytest

import orrin
from orrin.diagnoser import frailzone as fz


def data(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.random((n, 4))
    y = x[:, 0] + rng.normal(scale=0.1, size=n)
    pred = x[:, 0] + np.where((x[:, 1] > 0.6) & (x[:, 2] < 0.5), rng.normal(size=n), 0.0)
    return x, y, pred


def same(a, b):
    """Equal values, types, dtypes and shapes, NaN equal to NaN."""
    if isinstance(a, pd.DataFrame):
        pd.testing.assert_frame_equal(a, b, check_exact=True)
        return True
    if isinstance(a, np.ndarray):
        return (isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape
                and np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"))
    if isinstance(a, dict):
        return (isinstance(b, dict) and list(a) == list(b)
                and all(same(a[k], b[k]) for k in a))
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return type(a) is type(b) and a == b


def reference(f, x, y, tr, te, pred, weights):
    """The strategy fitted on splits that numpy gathers, as the facade's steps read."""
    diag = type(f.diag)(**{k: getattr(f.diag, k) for k in ("estimator", "slice_features",
                                                            "task_type", "metric")},
                        threshold=f.threshold, min_samples=f.min_samples,
                        **({"bins": f.bins} if f.method == "histogram"
                           else {"max_depth": f.max_depth}))
    take = (lambda v, i: None if v is None else v[i])
    out = diag.fit(train_x=x[tr], train_y=y[tr], test_x=x[te], test_y=y[te],
                   train_pred=take(pred, tr), test_pred=take(pred, te),
                   train_sample_weight=take(weights, tr), test_sample_weight=take(weights, te),
                   feature_names=f.feature_names, use_test=f.use_test)
    return diag, out


def check_same_fit(f, x, y, tr, te, pred, weights=None):
    diag, out = reference(f, x, y, f.train_idx, f.test_idx, pred, weights)
    assert (out is None) == (f.output is None)
    if out is not None:
        assert same(out, f.output)
    assert list(vars(diag)) == list(vars(f.diag))
    for key, value in vars(diag).items():
        # The tree's own fit visits the features in a random order, which reorders the rows
        # it sums for a leaf's value (the last bit of the leaf values in rule_list).
        if key not in ("estimator", "scoring_func", "tree_estimator", "rule_list"):
            assert same(value, getattr(f.diag, key)), key


N = 2000
RNG = np.random.default_rng(1)
PERM = RNG.permutation(N)
INDEX_KINDS = {
    "int64 sorted": (np.arange(1400), np.arange(1400, N)),
    "unsorted": (PERM[:1400], PERM[1400:]),
    "int32": (PERM[:1400].astype(np.int32), PERM[1400:].astype(np.int32)),
    "int16": (PERM[:1400].astype(np.int16), PERM[1400:].astype(np.int16)),
    "uint16": (PERM[:1400].astype(np.uint16), PERM[1400:].astype(np.uint16)),
    "uint64": (PERM[:1400].astype(np.uint64), PERM[1400:].astype(np.uint64)),
    "list": (PERM[:1400].tolist(), PERM[1400:].tolist()),
    "negative": (PERM[:1400] - N, PERM[1400:] - N),
    "repeated": (np.concatenate([PERM[:1000], PERM[:400]]), np.repeat(PERM[1400:1700], 2)),
    "mask": (np.isin(np.arange(N), PERM[:1400]), np.isin(np.arange(N), PERM[1400:])),
    "overlapping": (PERM[:1500], PERM[1000:]),
}


@pytest.mark.parametrize("kind", INDEX_KINDS)
@pytest.mark.parametrize("features", [["X1"], ["X1", "X2"]])
@pytest.mark.parametrize("use_test", [False, True])
def test_splits_of_every_kind_give_the_gathered_fit(kind, features, use_test):
    x, y, pred = data()
    tr, te = INDEX_KINDS[kind]
    f = fz.FrailZone(None, features, task_type="regression", use_test=use_test)
    f.fit(x, y, tr, te, prediction=pred)
    assert f.output is not None or kind == "repeated"
    check_same_fit(f, x, y, tr, te, pred)


def test_int8_positions():
    x, y, pred = data(120)
    tr, te = np.arange(80, dtype=np.int8), np.arange(80, 120, dtype=np.int8)
    f = fz.FrailZone(None, ["X1"], task_type="regression", min_samples=2, threshold=1.0)
    f.fit(x, y, tr, te, prediction=pred)
    check_same_fit(f, x, y, tr, te, pred)


@pytest.mark.parametrize("method", ["histogram", "tree"])
@pytest.mark.parametrize("metric", [None, {"name": "MAE"}, {"name": "R2"}])
@pytest.mark.parametrize("weighted", [False, True])
def test_metrics_weights_and_methods(method, metric, weighted):
    if method == "tree" and metric == {"name": "R2"}:
        pytest.skip("tree slicing needs an additive metric")
    x, y, pred = data()
    tr, te = INDEX_KINDS["unsorted"]
    w = np.random.default_rng(3).random(N) if weighted else None
    f = fz.FrailZone(None, ["X1", "X2"], task_type="regression", method=method, metric=metric)
    f.fit(x, y, tr, te, prediction=pred, sample_weight=w)
    check_same_fit(f, x, y, tr, te, pred, f.sample_weight)


@pytest.mark.parametrize("metric", [{"name": "LogLoss"}, {"name": "ACC"}, {"name": "AUC"}])
def test_classification_reads_the_metric_source_in_place(metric):
    x, _, _ = data()
    rng = np.random.default_rng(5)
    proba = np.clip(x[:, 1] + np.where(x[:, 2] > 0.7, 0.4, 0.0), 0.01, 0.99)
    y = (rng.random(N) < x[:, 1]).astype(int)
    labels = (proba > 0.5).astype(int)
    tr, te = INDEX_KINDS["unsorted"]
    f = fz.FrailZone(None, ["X1"], task_type="classification", metric=metric, threshold=1.05)
    f.fit(x, y, tr, te, prediction=labels, prediction_proba=proba)
    source = proba if f.diag.needs_proba else labels
    check_same_fit(f, x, y, tr, te, source)


@pytest.mark.parametrize("dtype", [np.float32, np.int64, ">f8"])
@pytest.mark.parametrize("layout", ["C", "F", "reversed"])
def test_matrix_dtypes_and_layouts(dtype, layout):
    x, y, pred = data()
    x = (x * 100).astype(dtype)
    x = {"C": x, "F": np.asfortranarray(x), "reversed": x[:, ::-1].copy()[:, ::-1]}[layout]
    tr, te = INDEX_KINDS["unsorted"]
    f = fz.FrailZone(None, ["X1", "X2"], task_type="regression")
    f.fit(x, y, tr, te, prediction=pred)
    assert f.diag.x.dtype == np.dtype(dtype) and f.diag.x.flags.c_contiguous
    check_same_fit(f, x, y, tr, te, pred)


def test_a_strategy_with_its_own_fit_gets_gathered_splits(monkeypatch):
    calls = []

    class OwnFit(fz.HistogramSlicing):
        def fit(self, **kw):
            calls.append(kw)
            return super().fit(**kw)

    x, y, pred = data()
    tr, te = INDEX_KINDS["unsorted"]
    fast = fz.FrailZone(None, ["X1", "X2"], task_type="regression")
    fast.fit(x, y, tr, te, prediction=pred)
    monkeypatch.setattr(fz, "HistogramSlicing", OwnFit)
    slow = fz.FrailZone(None, ["X1", "X2"], task_type="regression")
    slow.fit(x, y, tr, te, prediction=pred)
    assert len(calls) == 1 and np.array_equal(calls[0]["test_x"], x[te])
    assert same(fast.output, slow.output) and same(fast.diag.weak_region_stats,
                                                   slow.diag.weak_region_stats)


@pytest.mark.parametrize("bad, error", [
    (np.array([0, N]), ValueError), (np.array([-N - 1, 1]), ValueError),
    (np.array([0.0, 1.0]), TypeError), (np.array([[0, 1]]), ValueError),
    (np.zeros(N - 1, dtype=bool), ValueError)])
def test_bad_positions_are_refused_and_change_nothing(bad, error):
    x, y, pred = data()
    tr, te = INDEX_KINDS["unsorted"]
    f = fz.FrailZone(None, ["X1"], task_type="regression")
    f.fit(x, y, tr, te, prediction=pred)
    before = dict(vars(f))
    with pytest.raises(error):
        f.fit(x, y, bad, te, prediction=pred)
    assert vars(f).keys() == before.keys() and all(vars(f)[k] is before[k] for k in before)


def test_memory_limit_and_release():
    n = 1_000_000  # blocks of several MiB, which the cache keeps
    x, y, pred = data(n)
    tr, te = np.arange(700_000), np.arange(700_000, n)
    f = fz.FrailZone(None, ["X1", "X2"], task_type="regression")
    previous = orrin.set_memory_limit(512 << 20)
    try:
        assert previous == 64 << 20 and orrin.memory.memory_limit() == 512 << 20
        f.fit(x, y, tr, te, prediction=pred)
        del f
        assert orrin.memory.cached_bytes() > 0
        assert orrin.release_memory() > 0 and orrin.memory.cached_bytes() == 0
        orrin.set_memory_limit(0)
        g = fz.FrailZone(None, ["X1", "X2"], task_type="regression")
        g.fit(x, y, tr, te, prediction=pred)
        del g
        assert orrin.memory.cached_bytes() == 0
    finally:
        orrin.set_memory_limit(previous)
    for bad, error in [(-1, ValueError), (1.5, TypeError), (True, TypeError), ("1", TypeError)]:
        with pytest.raises(error):
            orrin.set_memory_limit(bad)
