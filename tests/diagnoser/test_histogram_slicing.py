import math

import numpy as np
import pandas as pd
import pytest
import scipy.stats
from hypothesis import given, settings, strategies as st

from orrin.diagnoser.frailzone import HistogramSlicing
from histogram_reference import ReferenceSlicing, reference_fit


def same(a, b, path="result"):
    """Exact equality of nested records: key order, types of numbers, NaN equal to NaN."""
    if isinstance(a, dict):
        assert isinstance(b, dict) and list(a) == list(b), f"{path}: keys {list(a)} != {list(b)}"
        for k in a:
            same(a[k], b[k], f"{path}[{k!r}]")
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), f"{path}: length {len(a)} != {len(b)}"
        for i, (u, v) in enumerate(zip(a, b)):
            same(u, v, f"{path}[{i}]")
    elif isinstance(a, np.ndarray):
        np.testing.assert_array_equal(a, b)
    elif isinstance(a, float) or isinstance(b, float):
        assert (math.isnan(a) and math.isnan(b)) or a == b, f"{path}: {a!r} != {b!r}"
    else:
        assert a == b, f"{path}: {a!r} != {b!r}"


def slicer(features, names=("a", "b", "c"), **kwargs):
    s = HistogramSlicing(slice_features=list(features), **kwargs)
    s.feature_names = list(names)
    return s


def column(rng, kind, n):
    if kind == "normal":
        return rng.normal(size=n) * 10 ** rng.uniform(-3, 3)
    if kind == "integer":
        return rng.integers(-3, int(rng.integers(1, 40)), size=n).astype(float)
    if kind == "ties":
        return rng.choice(rng.normal(size=5), size=n)
    if kind == "constant":
        return np.full(n, rng.normal())
    if kind == "edges":
        # Values on the edges of ten equal-width bins over [0, 10], maximum included.
        return rng.integers(0, 11, size=n) * 1.0
    raise AssertionError(kind)


KINDS = ["normal", "integer", "ties", "constant", "edges"]


def scores_for(rng, x):
    return (np.sin(x * 1.7) + 1.2) ** 2 * rng.exponential(size=len(x))


def weights_for(rng, n, mode):
    if mode == "none":
        return None
    w = rng.uniform(0, 3, size=n)
    if mode == "zeros":
        w[rng.uniform(size=n) < 0.5] = 0.0
    if mode == "allzero":
        w[:] = 0.0
    return w


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("weights", ["none", "positive", "zeros", "allzero"])
def test_one_feature_fit_matches_transcription(seed, kind, weights):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 800))
    x = np.column_stack([rng.normal(size=n), column(rng, kind, n)])
    scores = scores_for(rng, x[:, 1])
    w = weights_for(rng, n, weights)
    bins = int(rng.choice([1, 2, 3, 10, 37]))
    min_samples = int(rng.choice([0, 1, 5, 30]))
    threshold = float(rng.choice([0.6, 0.9, 1.0, 1.2]))
    s = slicer(["b"], threshold=threshold, min_samples=min_samples, bins=bins)
    s._fit(x, None, None, scores, sample_weight=w)
    weak, rules, edges = reference_fit([1], x, scores, threshold=threshold, sample_weight=w,
                                       min_samples=min_samples, bins=bins)
    assert s.fidx == [1]
    same(s.weak_region, weak)
    same(s.rule_list, rules)
    assert s.bins1d.dtype == np.float64
    np.testing.assert_array_equal(s.bins1d, edges)


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("kinds", [("normal", "normal"), ("integer", "ties"), ("ties", "constant"),
                                   ("edges", "edges"), ("constant", "normal")])
@pytest.mark.parametrize("weights", ["none", "zeros"])
def test_two_feature_fit_matches_transcription(seed, kinds, weights):
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(1, 1500))
    x = np.column_stack([column(rng, kinds[0], n), rng.normal(size=n), column(rng, kinds[1], n)])
    scores = scores_for(rng, x[:, 0] + x[:, 2])
    w = weights_for(rng, n, weights)
    bins = int(rng.choice([2, 5, 10]))
    min_samples = int(rng.choice([1, 3, 20]))
    s = slicer(["a", "c"], min_samples=min_samples, bins=bins, threshold=0.9)
    s._fit(x, None, None, scores, sample_weight=w)
    ref = ReferenceSlicing([0, 2], 0.9 * np.average(
        scores, weights=None if w is None or not np.sum(w) > 0 else w),
        min_samples=min_samples, bins=bins)
    weak, rules, edges = ref._fit2d(x[:, [0, 2]], np.zeros(n), None, scores, sample_weight=w)
    assert s.fidx == [0, 2]
    same(s.weak_region, weak)
    same(s.rule_list, rules)
    same(s.bin_stats, ref.bin_stats)
    np.testing.assert_array_equal(s.bins1d, edges)


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.UndefinedMetricWarning")
@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("features", [["b"], ["a", "b"]])
def test_non_additive_metric_keeps_weak_bins_unmerged(seed, features):
    rng = np.random.default_rng(seed)
    n = 600
    x = rng.normal(size=(n, 2))
    y = x[:, 0] + x[:, 1] + rng.normal(size=n) * (1 + np.abs(x[:, 1]))
    p = x[:, 0] + x[:, 1]
    w = rng.uniform(0.5, 1.5, size=n)
    s = slicer(features, names=("a", "b"), metric={"name": "R2"}, min_samples=10 ** 6)
    overall = s.scoring_func(y, p, sample_weight=w)
    s._fit(x, y, p, overall, sample_weight=w)
    fidx = [1] if features == ["b"] else [0, 1]
    ref = ReferenceSlicing(fidx, s.threshold * overall, score_sign=1,
                           scoring_func=s.scoring_func, additive=False, bins=10)
    if len(fidx) == 1:
        weak, rules, _ = ref._fit1d(x[:, 1], y, p, overall, sample_weight=w)
    else:
        weak, rules, _ = ref._fit2d(x, y, p, overall, sample_weight=w)
    assert s.threshold_value == s.threshold * overall
    assert len(weak) > 0
    same(s.weak_region, weak)
    same(s.rule_list, rules)


@pytest.mark.parametrize("distinct, bins, expected", [(4, 10, 4), (10, 10, 10), (50, 10, 10),
                                                      (1, 10, 1), (7, 1, 1)])
def test_number_of_bins(distinct, bins, expected):
    x = np.tile(np.arange(distinct, dtype=float), 3)[:, None]
    s = slicer(["a"], names=["a"], bins=bins)
    s._fit(x, None, None, np.ones(len(x)))
    assert len(s.bins1d) == expected + 1
    assert len(s.rule_list) == expected


def test_merge_and_fold_of_two_runs():
    # Bins 2, 3 and 5 of ten are weak.
    x = np.repeat(np.arange(10.0) + 0.5, 40)
    x[0], x[-1] = 0.0, 10.0
    scores = np.where(np.isin(np.floor(x).clip(0, 9), [2, 3, 5]), 10.0, 1.0)
    s = slicer(["a"], names=["a"], min_samples=40)
    s._fit(x[:, None], None, None, scores)
    edges = s.bins1d
    assert s.weak_region == [{"lb1": edges[2], "ub1": edges[4]},
                             {"lb1": edges[5], "ub1": edges[6]}]
    assert [r["counts"] for r in s.rule_list[:2]] == [80, 40]
    assert [r["splits"]["f0"]["lb"] for r in s.rule_list[2:]] == list(edges[[0, 1, 4, 6, 7, 8, 9]])
    # A merged region below min_samples is dropped and its bins stay unfolded.
    s = slicer(["a"], names=["a"], min_samples=41)
    s._fit(x[:, None], None, None, scores)
    assert s.weak_region == [{"lb1": edges[2], "ub1": edges[4]}]
    assert len(s.rule_list) == 9


def test_constant_column_region_is_clipped_and_not_folded():
    x = np.full((50, 1), 3.0)
    s = slicer(["a"], names=["a"], min_samples=1, threshold=1.0)
    s._fit(x, None, None, np.ones(50))
    np.testing.assert_array_equal(s.bins1d, [2.5, 3.5])
    assert s.weak_region == [{"lb1": 3.0, "ub1": 3.0}]
    assert s.rule_list == [{"splits": {"f0": {"lb": 2.5, "ub": 3.5}}, "values": 1.0, "counts": 50}]


@pytest.mark.parametrize("features, fidx", [(["b", "a", "b"], [1, 0]), (["b", "b"], [1]),
                                            (["a", "c", "b"], [0, 2, 1])])
def test_slicing_feature_positions(features, fidx):
    rng = np.random.default_rng(0)
    x = rng.normal(size=(100, 3))
    s = slicer(features)
    s._fit(x, None, None, np.ones(100))
    assert s.fidx == fidx
    assert hasattr(s, "bin_stats") == (len(fidx) > 1)
    if len(fidx) > 1:
        # The first slicing feature is binned first.
        assert s.bins1d[0] == x[:, fidx[0]].min()


def test_all_zero_weights_give_unweighted_overall_score():
    scores = np.array([1.0, 2.0, 4.0])
    s = slicer(["a"], names=["a"])
    s._fit(np.arange(3.0)[:, None], None, None, scores, sample_weight=np.zeros(3))
    assert s.threshold_value == 1.2 * np.mean(scores)


def test_empty_first_feature_bin_and_percentile_ranks():
    rng = np.random.default_rng(3)
    x0 = np.concatenate([rng.uniform(0, 1, 200), rng.uniform(9, 10, 200)])
    x1 = rng.normal(size=400)
    scores = np.where(x1 > 0.5, 50.0, 1.0)
    s = slicer(["a", "b"], names=["a", "b"], min_samples=5)
    s._fit(np.column_stack([x0, x1]), None, None, scores)
    empty = [b for b in s.bin_stats if b["support"] == 0]
    assert len(empty) == 8
    assert all(math.isnan(b["lb2"]) and math.isnan(b["ub2"]) for b in empty)
    assert sum(b["support"] for b in s.bin_stats) == 400
    assert len(s.weak_region) == 2
    # Each of the two occupied bins: ten bin records, a run of weak bins folded into one.
    assert sum(r["counts"] for r in s.rule_list) == 400
    for item in s.weak_region:
        assert list(item) == ["lb1", "ub1", "lb2", "ub2", "lb2q", "ub2q"]
        loc = (x0 >= item["lb1"]) & (x0 <= item["ub1"])
        assert item["ub2q"] == 100.0 == scipy.stats.percentileofscore(x1[loc], item["ub2"], "weak")
        assert item["lb2q"] == scipy.stats.percentileofscore(x1[loc], item["lb2"], "strict")


def test_constant_second_feature_bin_spans_value():
    x = np.column_stack([np.repeat([0.0, 1.0], 30), np.repeat([5.0, 7.0], 30)])
    s = slicer(["a", "b"], names=["a", "b"], min_samples=1, threshold=0.5)
    s._fit(x, None, None, np.ones(60))
    assert [r["splits"]["f1"] for r in s.rule_list] == [{"lb": 4.5, "ub": 5.5}, {"lb": 6.5, "ub": 7.5}]
    assert s.weak_region[0]["lb2"] == 5.0 and s.weak_region[0]["ub2"] == 5.0
    assert (s.weak_region[0]["lb2q"], s.weak_region[0]["ub2q"]) == (0.0, 100.0)


@pytest.mark.parametrize("convert", [
    lambda a: a.astype(object),
    lambda a: pd.DataFrame(a, columns=["a", "b", "c"]), lambda a: np.asfortranarray(a),
    lambda a: np.repeat(a, 2, axis=1)[:, ::2], lambda a: a[::-1][::-1],
    lambda a: a.astype(">f8"),
    lambda a: np.frombuffer(b"\0" + np.ascontiguousarray(a).tobytes(), dtype=np.float64,
                            offset=1).reshape(a.shape),
])
def test_array_likes_give_the_same_result(convert):
    rng = np.random.default_rng(5)
    x = np.round(rng.normal(size=(300, 3)), 2)
    scores = scores_for(rng, x[:, 0])
    a = slicer(["a", "c"], min_samples=3)
    a._fit(x, None, None, scores)
    b = slicer(["a", "c"], min_samples=3)
    b._fit(convert(x), None, None, pd.Series(scores), sample_weight=None)
    same(a.weak_region, b.weak_region)
    same(a.rule_list, b.rule_list)


def test_reversed_rows_read_in_order():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(400, 2))
    scores = scores_for(rng, x[:, 0])
    a = slicer(["a", "b"], names=["a", "b"], min_samples=3)
    a._fit(x[::-1], None, None, scores[::-1])
    ref = ReferenceSlicing([0, 1], a.threshold_value, min_samples=3)
    weak, rules, _ = ref._fit2d(np.ascontiguousarray(x[::-1]), np.zeros(400), None,
                                np.ascontiguousarray(scores[::-1]))
    same(a.weak_region, weak)
    same(a.rule_list, rules)


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.uint8, np.bool_, np.float32])
def test_numeric_dtypes_are_read_as_float64(dtype):
    rng = np.random.default_rng(1)
    x = rng.integers(0, 2 if dtype is np.bool_ else 9, size=(200, 1)).astype(dtype)
    scores = rng.exponential(size=200)
    s = slicer(["a"], names=["a"], min_samples=1, threshold=1.0)
    s._fit(x, None, None, scores.astype(np.float32))
    weak, rules, edges = reference_fit([0], x.astype(np.float64), scores.astype(np.float32)
                                       .astype(np.float64), threshold=1.0, min_samples=1)
    same(s.rule_list, rules)
    np.testing.assert_array_equal(s.bins1d, edges)


def fitted_state(s):
    return {k: v for k, v in vars(s).items()}


@pytest.mark.parametrize("change, error, word", [
    (dict(x=np.ones(20)), ValueError, "2-D"),
    (dict(x=np.ones((0, 3))), ValueError, "empty"),
    (dict(y=np.ones(19)), ValueError, "y"),
    (dict(preds=np.ones(21)), ValueError, "preds"),
    (dict(scores=np.ones(19)), ValueError, "scores"),
    (dict(sample_weight=np.ones(3)), ValueError, "sample_weight"),
    (dict(x=np.where(np.eye(20, 3) == 1, np.nan, 1.0)), ValueError, "NaN"),
    (dict(x=np.where(np.eye(20, 3) == 1, np.inf, 1.0)), ValueError, "NaN or infinite"),
    (dict(slice_features=["z"]), ValueError, "slice_features"),
    (dict(slice_features=[]), IndexError, "slice_features"),
    (dict(bins=0), ValueError, "bins"),
    (dict(bins=-3), ValueError, "bins"),
    (dict(bins=True), TypeError, "bins"),
    (dict(bins=2.5), TypeError, "bins"),
    (dict(bins="10"), TypeError, "bins"),
    (dict(x=np.full((20, 3), "a")), TypeError, "x"),
])
def test_bad_input_is_refused_before_any_state_change(change, error, word):
    s = slicer(["a", "b"])
    for key in ("slice_features", "bins"):
        if key in change:
            setattr(s, key, change.pop(key))
    before = fitted_state(s)
    args = dict(x=np.arange(60.0).reshape(20, 3), y=np.zeros(20), preds=np.zeros(20),
                scores=np.ones(20), sample_weight=None)
    args.update(change)
    with pytest.raises(error, match=word):
        s._fit(**args)
    assert fitted_state(s).keys() == before.keys()


@pytest.mark.parametrize("bad_columns, named", [([0], 0), ([1], 1), ([0, 1], 0)])
@pytest.mark.parametrize("value", [np.nan, -np.inf])
def test_the_first_non_finite_binned_column_is_named(bad_columns, named, value):
    x = np.arange(60.0).reshape(20, 3)
    for j in bad_columns:
        x[7 + j, j] = value
    s = slicer(["a", "b"])
    with pytest.raises(ValueError, match=["'a'", "'b'"][named]):
        s._fit(x, None, None, np.ones(20))
    with pytest.raises(ValueError, match=[r"x\[:, 0\]", r"x\[:, 1\]"][named]):
        s._fit2d(x[:, :2], None, None, np.ones(20))


def test_nan_outside_the_binned_columns_is_accepted():
    x = np.arange(60.0).reshape(20, 3)
    x[4, 2] = np.nan
    s = slicer(["a", "b"])
    s._fit(x, None, None, np.ones(20))
    assert sum(r["counts"] for r in s.rule_list) == 20


@pytest.mark.parametrize("x", [[0.0, 5e-324], [-1.7e308, 1.7e308]])
def test_numpy_refusal_of_bins_passes_through(x):
    with pytest.raises(ValueError, match="Too many bins"), np.errstate(all="ignore"):
        np.histogram(x, bins=2)
    s = slicer(["a"], names=["a"])
    with pytest.raises(ValueError, match="Too many bins"):
        s._fit(np.array(x)[:, None], None, None, np.ones(2))


def test_fit1d_and_fit2d_called_directly():
    rng = np.random.default_rng(8)
    x = rng.normal(size=(500, 2))
    scores = scores_for(rng, x[:, 0])
    s = slicer(["a"], names=["a", "b"], min_samples=5)
    s._fit(x, None, None, scores)
    weak, rules, edges = s._fit1d(x[:, 0], None, None, scores)
    same(weak, s.weak_region)
    same(rules, s.rule_list)
    s.fidx = [0, 1]
    weak2, rules2, edges2 = s._fit2d(x, np.zeros(500), None, scores)
    ref = ReferenceSlicing([0, 1], s.threshold_value, min_samples=5)
    same((weak2, rules2), ref._fit2d(x, np.zeros(500), None, scores)[:2])
    with pytest.raises(ValueError, match="two columns"):
        s._fit2d(np.ones((5, 3)), None, None, np.ones(5))
    with pytest.raises(AttributeError):
        slicer(["a"])._fit1d(x[:, 0], None, None, scores)


@settings(max_examples=150, deadline=None)
@given(values=st.lists(st.one_of(st.integers(-5, 5).map(float),
                                 st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False)),
                       min_size=1, max_size=200),
       bins=st.integers(1, 30))
def test_rows_partition_into_bins(values, bins):
    x = np.array(values)
    s = slicer(["a"], names=["a"], bins=bins, min_samples=10 ** 9)
    try:
        np.histogram(x, bins=min(len(np.unique(x)), bins))
    except ValueError:
        return
    s._fit(x[:, None], None, None, np.ones(len(x)))
    edges = s.bins1d
    bin_of = np.digitize(x, edges[1:-1])
    seen = np.zeros(len(x), dtype=int)
    for i, rec in enumerate(s.rule_list):
        lb, ub = rec["splits"]["f0"]["lb"], rec["splits"]["f0"]["ub"]
        assert (lb, ub) == (edges[i], edges[i + 1])
        idx = s.get_index(x, lb, ub, right=(x.max() == ub))
        np.testing.assert_array_equal(idx, np.where(bin_of == i)[0])
        assert rec["counts"] == len(idx)
        seen[idx] += 1
    assert (seen == 1).all()


@pytest.mark.parametrize("features", [["a"], ["a", "b"]])
def test_zero_weight_bin_scores_nan_and_the_fit_completes(features):
    # np.average raises for a bin whose weights sum to zero; such a bin is scored like an
    # empty one: NaN, never weak, its rows still counted.
    x = np.column_stack([np.repeat(np.arange(4.0), 25), np.tile(np.arange(5.0), 20)])
    w = np.where(x[:, 0] == 1.0, 0.0, 1.0)
    scores = np.where(x[:, 0] == 1.0, 100.0, 1.0)
    s = slicer(features, names=["a", "b"], min_samples=1)
    s._fit(x, None, None, scores, sample_weight=w)
    nan_records = [r for r in s.rule_list if math.isnan(r["values"])]
    assert nan_records and all(r["counts"] > 0 for r in nan_records)
    assert sum(r["counts"] for r in s.rule_list) == 100
    assert s.weak_region == []
