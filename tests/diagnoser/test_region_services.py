import numpy as np
import pandas as pd
import pytest

from orrin.diagnoser.frailzone import BaseSlicing
from histogram_reference import ReferenceSlicing


def make(fidx=(0,), threshold_value=1.0, metric=None):
    s = BaseSlicing(metric=metric)
    s.fidx = list(fidx)
    s.threshold_value = threshold_value
    return s


class Recorder:
    """A non-additive scoring callable that records its calls."""

    def __init__(self, value=0.5):
        self.calls = []
        self.value = value

    def __call__(self, y, p, sample_weight=None):
        self.calls.append((np.asarray(y).copy(), np.asarray(p).copy(), sample_weight))
        return self.value


@pytest.mark.parametrize("metric, threshold, expected", [
    (None, 1.2, 1.2), ({"name": "R2"}, 1.2, 1 / 1.2), ({"name": "R2"}, -1, -1),
    ({"name": "ACC"}, 0, 0), ({"name": "MAE"}, 2, 2),
])
def test_threshold_conversion(metric, threshold, expected):
    assert BaseSlicing(threshold=threshold, metric=metric).threshold == expected


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("right", [False, True, 0, None, 1])
@pytest.mark.parametrize("fidx", [(0,), (0, 1)])
def test_get_index_matches_numpy(seed, right, fidx):
    rng = np.random.default_rng(seed)
    x = rng.integers(0, 6, size=rng.integers(1, 300)).astype(float)
    lb, ub = sorted(rng.integers(0, 7, size=2).astype(float))
    s = make(fidx)
    ref = ReferenceSlicing(list(fidx), 1.0)
    if len(fidx) == 1:
        got = s.get_index(x, lb, ub, right=right)
        want = ref.get_index(x, lb, ub, right=right)
    else:
        # The first-feature bounds take no part in the two-feature test.
        got = s.get_index(x, 1e9, -1e9, lb, ub, right=right)
        want = ref.get_index(x, None, None, lb, ub, right=right)
    assert got.dtype == np.intp
    np.testing.assert_array_equal(got, want)


def test_upper_bound_closed_only_with_right():
    s = make()
    x = np.array([0.0, 1.0, 2.0, 2.0])
    np.testing.assert_array_equal(s.get_index(x, 1.0, 2.0), [1])
    np.testing.assert_array_equal(s.get_index(x, 1.0, 2.0, right=True), [1, 2, 3])


@pytest.mark.parametrize("convert", [
    lambda a: a.astype(np.float32), lambda a: a.astype(np.int64), lambda a: a.astype(object),
    lambda a: pd.Series(a), lambda a: list(a), lambda a: np.repeat(a, 2)[::2],
    lambda a: np.stack([a, a], axis=1)[:, 1],
])
def test_get_index_accepts_array_likes(convert):
    x = np.array([3.0, 1.0, 2.0, 5.0, 2.0, 4.0])
    np.testing.assert_array_equal(make().get_index(convert(x), 2, 4), [0, 2, 4])


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("weighted", [False, True])
def test_rule_list_score_is_numpy_average(seed, weighted):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 3000))
    x = rng.normal(size=n)
    scores = rng.exponential(size=n) * 10 ** rng.uniform(-3, 3, size=n)
    w = rng.uniform(0, 2, size=n) if weighted else None
    s = make()
    (rec,) = s.get_rule_list(x, None, None, scores, -0.5, 1.0, sample_weight=w)
    idx = np.where((x >= -0.5) & (x < 1.0))[0]
    assert rec["counts"] == len(idx)
    if len(idx):
        expected = np.average(scores[idx], weights=None if w is None else w[idx])
        assert rec["values"] == expected
    assert list(rec) == ["splits", "values", "counts"]
    assert rec["splits"] == {"f0": {"lb": -0.5, "ub": 1.0}}


def test_empty_region_record_and_no_weak_region():
    s = make()
    x = np.array([1.0, 2.0])
    (rec,) = s.get_rule_list(x, None, None, np.ones(2), 5.0, 6.0)
    assert np.isnan(rec["values"]) and rec["counts"] == 0
    assert s.evaluate_slice(x, None, None, np.ones(2), 5.0, 6.0) == []


def test_two_feature_records_carry_both_bounds():
    s = make((0, 1), threshold_value=0.0)
    x = np.array([1.0, 2.0, 3.0])
    (rec,) = s.get_rule_list(x, None, None, np.ones(3), 10, 20, 1.0, 3.0)
    assert rec["splits"] == {"f0": {"lb": 10, "ub": 20}, "f1": {"lb": 1.0, "ub": 3.0}}
    assert rec["counts"] == 2
    assert s.evaluate_slice(x, None, None, np.ones(3), 10, 20, 1.0, 3.0) == [
        {"lb1": 10, "ub1": 20, "lb2": 1.0, "ub2": 3.0}]


@pytest.mark.parametrize("metric, scores, limit, weak", [
    (None, [2.0, 4.0], 3.0, True),     # smaller is better: score >= limit is weak
    (None, [2.0, 4.0], 3.0 + 1e-15, False),
    ({"name": "ACC"}, [1.0, 0.0], 0.5, True),  # larger is better: score <= limit is weak
    ({"name": "ACC"}, [1.0, 0.0], 0.5 - 1e-16, False),
])
def test_weak_rule_includes_equality(metric, scores, limit, weak):
    s = make(threshold_value=limit, metric=metric)
    got = s.evaluate_slice(np.array([0.0, 1.0]), np.zeros(2), np.zeros(2), np.array(scores),
                           0.0, 1.0, right=True)
    assert got == ([{"lb1": 0.0, "ub1": 1.0}] if weak else [])


def test_non_additive_metric_calls_scorer_with_keyword_weights():
    s = make(threshold_value=0.6, metric={"name": "R2"})
    rec = Recorder(0.5)
    s.scoring_func = rec
    x = np.array([0.0, 1.0, 2.0, 3.0])
    y = np.array([10, 11, 12, 13])
    p = np.array([1.5, 2.5, 3.5, 4.5])
    w = np.array([1.0, 2.0, 3.0, 4.0])
    out = s.evaluate_slice(x, y, p, 0.9, 1.0, 3.0, sample_weight=w)
    assert out == [{"lb1": 1.0, "ub1": 3.0}]
    (yy, pp, ww), = rec.calls
    np.testing.assert_array_equal(yy, [11, 12])
    assert yy.dtype == y.dtype
    np.testing.assert_array_equal(pp, [2.5, 3.5])
    np.testing.assert_array_equal(ww, [2.0, 3.0])


@pytest.mark.parametrize("metric", [None, {"name": "R2"}])
def test_zero_weight_region_scores_nan_and_is_never_weak(metric):
    s = make(threshold_value=-1e9 if metric is None else 1e9, metric=metric)
    rec = Recorder()
    if metric is not None:
        s.scoring_func = rec
    x = np.array([0.0, 1.0, 2.0, 3.0])
    w = np.array([1.0, 0.0, 0.0, 1.0])
    args = (x, np.zeros(4), np.zeros(4), np.ones(4), 1.0, 3.0)
    (r,) = s.get_rule_list(*args, sample_weight=w)
    assert np.isnan(r["values"]) and r["counts"] == 2
    assert s.evaluate_slice(*args, sample_weight=w) == []
    assert rec.calls == []


@pytest.mark.parametrize("kwargs, error, word", [
    (dict(scores=np.ones(3)), ValueError, "scores"),
    (dict(sample_weight=np.ones(5)), ValueError, "sample_weight"),
    (dict(y=np.ones(2)), ValueError, "y"),
    (dict(preds=np.ones(7)), ValueError, "preds"),
    (dict(x=np.array(["a", "b", "c", "d"])), TypeError, "x"),
    (dict(x=np.ones((4, 2))), ValueError, "x"),
    (dict(lb1=None), TypeError, "lb1"),
    (dict(scores=np.ones((4, 1))), ValueError, "scores"),
])
def test_bad_region_arguments(kwargs, error, word):
    s = make()
    args = dict(x=np.arange(4.0), y=np.zeros(4), preds=np.zeros(4), scores=np.ones(4),
                lb1=0.0, ub1=2.0)
    args.update(kwargs)
    with pytest.raises(error, match=word):
        s.get_rule_list(**args)
    with pytest.raises(error, match=word):
        s.evaluate_slice(**args)
