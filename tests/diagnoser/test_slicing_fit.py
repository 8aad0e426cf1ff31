import copy

import numpy as np
import pandas as pd
import pytest
from sklearn.metrics import r2_score

from orrin.diagnoser import frailzone as fz


class Stub(fz.BaseSlicing):
    """A strategy whose weak regions are given up front."""

    def _fit(self, x, y, preds, scores, sample_weight=None):
        self.fit_args = (x, y, preds, scores, sample_weight)
        self.x, self.fidx, self.threshold_value = x, list(self.columns), 0.0
        self.weak_region = copy.deepcopy(self.regions)


def stub(regions, columns=(0,), metric=None, slice_features=None):
    s = Stub(slice_features=slice_features, metric=metric)
    s.regions, s.columns = regions, columns
    return s


def run(s, train_x, test_x, train_y=None, test_y=None, train_p=None, test_p=None, **kw):
    n, m = len(train_x), len(test_x)
    names = kw.pop("feature_names", [f"c{i}" for i in range(np.shape(train_x)[1])])
    return s.fit(train_x, np.zeros(n) if train_y is None else train_y, test_x,
                 np.zeros(m) if test_y is None else test_y,
                 np.ones(n) if train_p is None else train_p, np.ones(m) if test_p is None else test_p,
                 feature_names=names, **kw)


def col(*values):
    return np.array(values, dtype=float).reshape(-1, 1)


@pytest.mark.parametrize(
    "train, test, region, counts",
    [
        ((1, 2, 3, 3), (1, 2, 2, 3), (1.0, 3.0), (4, 4)),  # ub is the test max: closed
        ((1, 2, 3, 3), (1, 2, 2, 3), (1.0, 2.0), (1, 1)),  # any other ub: open
        ((0, 1, 2, 5), (0, 1, 2), (2.0, 5.0), (1, 1)),  # train max above test max: still open
        ((0, 1, 2, 5), (0, 1, 2), (1.0, 2.0), (2, 2)),  # closed from the test max
    ],
)
def test_one_feature_closure_follows_the_test_maximum(train, test, region, counts):
    s = stub([{"lb1": region[0], "ub1": region[1]}])
    run(s, col(*train), col(*test))
    assert (s.weak_region_stats[0]["#Train"], s.weak_region_stats[0]["#Test"]) == counts


@pytest.mark.parametrize(
    "train, test, counts",
    [
        # inside [0, 1) on the first feature the largest second value is 4 in both sets
        ([[0.1, 1], [0.5, 4], [0.7, 4], [2, 9]], [[0.1, 1], [0.5, 4], [0.7, 4], [2, 9]], (3, 3)),
        # decided per set: the training set has a 6 inside the first-feature bounds
        ([[0.1, 1], [0.5, 4], [0.5, 6]], [[0.1, 1], [0.5, 4], [2, 9]], (1, 2)),
    ],
)
def test_second_upper_bound_closes_at_largest_value_inside_first_condition(train, test, counts):
    s = stub([{"lb1": 0.0, "ub1": 1.0, "lb2": 1.0, "ub2": 4.0}], columns=(0, 1))
    run(s, np.array(train, float), np.array(test, float))
    assert (s.weak_region_stats[0]["#Train"], s.weak_region_stats[0]["#Test"]) == counts


def test_rows_keys_table_and_empty_region():
    regions = [{"lb1": 0.0, "ub1": 1.0, "lb2": 0.0, "ub2": 1.0, "nested": [1]},
               {"lb1": 7.0, "ub1": 8.0, "lb2": 0.0, "ub2": 1.0, "nested": [2]}]
    s = stub(regions, columns=(1, 0))
    x = np.array([[0.2, 0.3], [0.9, 0.9]])
    out = run(s, x, x, feature_names=["a", "b"])
    assert list(out.columns) == ["[b", "b)", "[a", "a)", "#Test", "#Train", "test_MSE",
                                 "train_MSE", "Gap"]
    first, empty = s.weak_region_stats
    assert list(first) == ["lb1", "ub1", "lb2", "ub2", "nested", "#Train", "#Test",
                           "train_MSE All", "train_MSE", "test_MSE All", "test_MSE", "Gap"]
    assert first["nested"] is s.weak_region[0]["nested"] and first is not s.weak_region[0]
    assert empty["#Test"] == 0 and empty["test_MSE All"] == [] and np.isnan(empty["test_MSE"])
    assert np.isnan(empty["Gap"]) and list(out.index) == [0, 1]


def test_sorted_by_gap_ties_keep_order_and_nan_last():
    # gaps by id: 0 nan, 1 one, 2 one, 3 four, 4 nan, 5 zero
    regions = [{"lb1": lb, "ub1": lb + 0.5, "id": i}
               for i, lb in enumerate([100.0, 1.0, 2.0, 3.0, 300.0, 5.0])]
    s = stub(regions)
    out = run(s, col(1, 2, 3, 5, 100, 300), col(0, 1, 2, 3, 5),
              np.zeros(6), np.array([0, 1, 1, 2, 0.0]), np.zeros(6), np.zeros(5))
    assert [r["id"] for r in s.weak_region_stats] == [3, 1, 2, 5, 0, 4]
    gaps = out["Gap"].to_numpy()
    assert np.array_equal(gaps[:4], [4.0, 1.0, 1.0, 0.0]) and np.isnan(gaps[4:]).all()


@pytest.mark.parametrize("use_test", [True, False])
def test_fitting_set_follows_use_test_and_gap_is_test_minus_train(use_test):
    s = stub([{"lb1": 0.0, "ub1": 1.0}])
    run(s, col(0, 1, 2), col(0, 1), np.zeros(3), np.zeros(2), np.full(3, 2.0), np.full(2, 3.0),
        use_test=use_test)
    assert s.fit_args[0].shape[0] == (2 if use_test else 3) and s.use_test is use_test
    assert s.weak_region_stats[0]["Gap"] == 9.0 - 4.0


@pytest.mark.parametrize("metric", [None, {"name": "R2"}])
def test_weights_reach_the_region_scores(metric):
    rng = np.random.default_rng(1)
    x, y, p, w = rng.random((50, 1)), rng.random(50), rng.random(50), rng.random(50)
    s = stub([{"lb1": 0.0, "ub1": 0.6}], metric=metric)
    run(s, x, x, y, y, p, p, train_sample_weight=w)
    idx = np.flatnonzero(x[:, 0] < 0.6)
    row = s.weak_region_stats[0]
    if metric is None:
        err = (y[idx] - p[idx]) ** 2
        assert row["train_MSE"] == np.average(err, weights=w[idx])
        assert row["test_MSE"] == np.average(err) and np.array_equal(row["train_MSE All"], err)
    else:
        assert row["train_R2"] == row["train_R2 All"] == r2_score(y[idx], p[idx], sample_weight=w[idx])


@pytest.mark.parametrize("metric", [None, {"name": "R2"}])
def test_region_whose_weights_sum_to_zero_scores_nan(metric):
    x, y, p = col(0, 0, 1, 1), np.array([0, 1, 0, 1.0]), np.array([0.5, 0.5, 0, 0.0])
    w = np.array([0, 0, 1, 1.0])
    s = stub([{"lb1": 0.0, "ub1": 0.5}, {"lb1": 0.5, "ub1": 1.0}], metric=metric)
    out = run(s, x, x, y, y, p, p, train_sample_weight=w, test_sample_weight=w)
    zero = next(r for r in s.weak_region_stats if r["ub1"] == 0.5)
    assert zero["#Train"] == 2 and np.isnan(zero["train_" + s.score_name]) and len(out) == 2


def test_no_weak_region_returns_none():
    s = stub([])
    assert run(s, col(0, 1), col(0, 1)) is None and s.weak_region_stats == []


@pytest.mark.parametrize(
    "convert",
    [lambda a: a.astype(np.int64), lambda a: a.astype(np.float32), lambda a: a.astype(object),
     np.asfortranarray, lambda a: np.repeat(a, 2, axis=1)[:, ::2],
     lambda a: pd.DataFrame(a, columns=["a", "b", "c"]), lambda a: (a > 4).astype(bool)],
    ids=["int", "float32", "object", "fortran", "strided", "dataframe", "bool"],
)
def test_matrix_kinds_give_the_same_table(convert):
    x = np.random.default_rng(3).integers(0, 10, size=(60, 3)).astype(float)
    y = (x[:, 1] > 4).astype(float)
    regions = [{"lb1": 0.0, "ub1": 5.0, "lb2": 0.0, "ub2": 9.0},
               {"lb1": 1.0, "ub1": 9.0, "lb2": 1.0, "ub2": 6.0}]
    got = run(stub(regions, (1, 2)), convert(x), convert(x), pd.Series(y), y.tolist())
    ref = np.asarray(convert(x), dtype=float)
    pd.testing.assert_frame_equal(got, run(stub(regions, (1, 2)), ref, ref, y, y))


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(train_y=np.zeros(3)), ValueError, "train_y"),
        (dict(test_pred=None), ValueError, "test_pred"),
        (dict(train_pred=np.ones((4, 2))), ValueError, "train_pred"),
        (dict(train_sample_weight=np.ones(5)), ValueError, "train_sample_weight"),
        (dict(test_sample_weight=np.array(list("abcd"))), TypeError, "test_sample_weight"),
        (dict(train_sample_weight=np.ones(4) * 1j), TypeError, "train_sample_weight"),
        (dict(train_x=np.zeros((4, 2)) * 1j), TypeError, "train_x"),
        (dict(test_x=np.zeros((4, 2)).astype(str)), TypeError, "test_x"),
        (dict(train_x=np.zeros((4, 2), dtype="datetime64[s]")), TypeError, "train_x"),
        (dict(train_x=np.zeros(4)), ValueError, "train_x"),
        (dict(test_x=np.zeros((4, 3))), ValueError, "columns"),
        (dict(test_x=np.zeros((0, 2)), test_y=[], test_pred=[]), ValueError, "test_x"),
        (dict(feature_names=None), TypeError, "feature_names"),
        (dict(feature_names=["a"]), IndexError, "feature_names"),
        (dict(train_x=np.array([[np.nan, 0]] * 4)), ValueError, "NaN"),
        (dict(test_x=np.array([[np.inf, 0]] * 4)), ValueError, "NaN or infinite"),
        (dict(feature_names=["b", "c"]), ValueError, "'a' is not a feature name"),
        (dict(feature_names=["b", "c", "a"]), IndexError, "outside"),
    ],
)
def test_bad_input_is_refused_before_the_object_changes(change, error, message):
    s = stub([{"lb1": 0.0, "ub1": 1.0}], slice_features=["a"])
    args = dict(train_x=np.zeros((4, 2)), train_y=np.zeros(4), test_x=np.zeros((4, 2)),
                test_y=np.zeros(4), train_pred=np.zeros(4), test_pred=np.zeros(4),
                feature_names=["a", "b"])
    args.update(change)
    with pytest.raises(error, match=message):
        s.fit(**args)
    assert not hasattr(s, "weak_region_stats") and not hasattr(s, "fit_args")


def weak_data(n=3000, seed=5):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n) * (1 + 3 * (x[:, 0] > 0.5))
    return x, y, x[:, 0].copy()


@pytest.mark.parametrize("bad", [np.nan, -np.inf])
@pytest.mark.parametrize("column, row", [(0, 0), (1, 2999), (2, 1234)])
@pytest.mark.parametrize("features", [["a"], ["a", "b"], ["b", "a"]])
@pytest.mark.parametrize("use_test", [True, False])
@pytest.mark.parametrize("weak", [True, False])
def test_training_values_that_are_not_finite_leave_a_fitted_object_as_it_was(
        bad, column, row, features, use_test, weak):
    # The training columns may be checked while their regions' rows are found, after the
    # pass: the refusal must still name them and leave the earlier fit in place, with or
    # without weak regions to look for.
    x, y, p = weak_data()
    s = fz.HistogramSlicing(slice_features=features, bins=6)
    names = ["a", "b", "c"]
    s.fit(x, y, x, y, p, p, feature_names=names)
    before = dict(vars(s))
    train_x = x.copy()
    train_x[row, column] = bad
    fit_p = p if weak else y + 1.0  # equal errors everywhere: no region is weak
    if names[column] not in features:
        found = s.fit(train_x, y, x, y, fit_p, fit_p, feature_names=names, use_test=use_test)
        assert (found is not None) == weak
        return
    with pytest.raises(ValueError, match=f"train_x holds NaN .* feature '{names[column]}'"):
        s.fit(train_x, y, x, y, fit_p, fit_p, feature_names=names, use_test=use_test)
    assert vars(s).keys() == before.keys()
    assert all(vars(s)[k] is v for k, v in before.items())


@pytest.mark.parametrize(
    "train_bad, test_bad, named",
    [((0,), (1,), "train_x.*'a'"), ((1,), (0,), "test_x.*'a'"), ((1,), (1,), "train_x.*'b'"),
     ((0, 1), (), "train_x.*'a'"), ((), (1,), "test_x.*'b'")],
)
def test_the_first_slicing_feature_that_is_not_finite_is_named_train_before_test(
        train_bad, test_bad, named):
    x, y, p = weak_data()
    train_x, test_x = x.copy(), x.copy()
    for c in train_bad:
        train_x[7, c] = np.nan
    for c in test_bad:
        test_x[9, c] = np.inf
    s = fz.HistogramSlicing(slice_features=["a", "b"], bins=6)
    with pytest.raises(ValueError, match=named):
        s.fit(train_x, y, test_x, y, p, p, feature_names=["a", "b", "c"])
    assert not hasattr(s, "weak_region_stats")


def test_training_values_that_are_not_finite_are_refused_before_a_bad_bins():
    x, y, p = weak_data()
    train_x = x.copy()
    train_x[3, 1] = np.nan
    s = fz.HistogramSlicing(slice_features=["a", "b"], bins=0)
    with pytest.raises(ValueError, match="train_x holds NaN"):
        s.fit(train_x, y, x, y, p, p, feature_names=["a", "b", "c"])
    assert not hasattr(s, "weak_region_stats") and not hasattr(s, "bins1d")
    with pytest.raises(ValueError, match="bins"):
        s.fit(x, y, x, y, p, p, feature_names=["a", "b", "c"])


@pytest.mark.parametrize(
    "regions, columns, error",
    [([{"lb1": 0.0}], (0,), KeyError), ([{"lb1": "low", "ub1": 1.0}], (0,), TypeError),
     ([{"lb1": 0.0, "ub1": 1.0}], (5,), ValueError), ([{"lb1": 0.0, "ub1": 1.0}], (), ValueError),
     ([{"lb1": 0.0, "ub1": 1.0}], (0, 1), KeyError)],
)
def test_malformed_strategy_results_raise_cleanly(regions, columns, error):
    s = stub(regions, columns=columns)
    with pytest.raises(error):
        run(s, np.zeros((3, 2)), np.zeros((3, 2)))
    assert not hasattr(s, "weak_region_stats")  # a refused fit leaves the object as it was


class Rescaling(fz.HistogramSlicing):
    """Changes the slicing columns in place before the built-in pass reads them."""

    def _fit(self, x, y, preds, scores, sample_weight=None):
        x *= 3.0
        x += 1.0
        return super()._fit(x, y, preds, scores, sample_weight=sample_weight)


@pytest.mark.parametrize("features", [["a"], ["a", "b"]])
@pytest.mark.parametrize("cls", [fz.HistogramSlicing, Rescaling])
def test_histogram_pass_in_fit_matches_the_pass_alone(cls, features):
    # The driver's checked ranges are reused by the built-in pass only; a subclass that
    # changes the data before the pass still gets edges from the changed data.
    rng = np.random.default_rng(11)
    x = rng.normal(size=(3000, 3))
    y = x[:, 0] + rng.normal(size=3000) * (1 + 2 * (x[:, 0] > 0.5))
    p = x[:, 0]
    s = cls(slice_features=features, bins=7)
    s.fit(x.copy(), y, x.copy(), y, p, p, feature_names=["a", "b", "c"])
    ref = fz.HistogramSlicing(slice_features=features, bins=7)
    ref.feature_names = ["a", "b", "c"]
    ref_x = x * 3.0 + 1.0 if cls is Rescaling else x
    ref._fit(ref_x, y, p, (y - p) ** 2)
    np.testing.assert_array_equal(s.bins1d, ref.bins1d)
    # repr compares floats exactly and NaN equal to NaN
    assert repr(s.weak_region) == repr(ref.weak_region)
    assert repr(s.rule_list) == repr(ref.rule_list)


def _unaligned(a):
    """A float64 copy of `a` at an odd address (numpy keeps such views as they are)."""
    a = np.asarray(a, dtype=float)
    buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.ndarray(a.shape, dtype=a.dtype, buffer=buf, offset=1)
    out[...] = a
    return out


@pytest.mark.parametrize("metric", [None, {"name": "R2"}])
def test_unaligned_arrays_fit_like_aligned_ones(metric):
    rng = np.random.default_rng(8)
    x = rng.normal(size=(400, 2))
    y = x[:, 0] + rng.normal(size=400) * (1 + (x[:, 0] > 0.5))
    p, w = x[:, 0].copy(), rng.random(400)
    args = dict(train_x=x, train_y=y, test_x=x, test_y=y, train_pred=p, test_pred=p,
                feature_names=["a", "b"], train_sample_weight=w, test_sample_weight=w)
    odd = {k: _unaligned(v) if k != "feature_names" else v for k, v in args.items()}
    assert not odd["test_sample_weight"].flags.aligned
    ref = fz.HistogramSlicing(slice_features=["a"], metric=metric).fit(**args)
    got = fz.HistogramSlicing(slice_features=["a"], metric=metric).fit(**odd)
    pd.testing.assert_frame_equal(got, ref)


class Passthrough(fz.HistogramSlicing):
    """The built-in pass behind a Python `_fit`, so the fit locates every set's rows itself."""

    def _fit(self, x, y, preds, scores, sample_weight=None):
        return super()._fit(x, y, preds, scores, sample_weight=sample_weight)


def _same_records(a, b):
    assert [list(r) for r in a] == [list(r) for r in b]
    for ra, rb in zip(a, b):
        for key in ra:
            va, vb = ra[key], rb[key]
            if isinstance(va, np.ndarray) or isinstance(vb, np.ndarray):
                np.testing.assert_array_equal(va, vb)
            else:
                assert repr(va) == repr(vb), key


# R2 of a bin with a single sample is undefined (NaN), and sklearn warns about each one.
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.UndefinedMetricWarning")
@pytest.mark.parametrize("use_test", [True, False])
@pytest.mark.parametrize("features", [["a"], ["a", "b"]])
@pytest.mark.parametrize("metric", [None, {"name": "R2"}, {"name": "MAE"}])
@pytest.mark.parametrize("data", ["normal", "integers", "constant second", "many bins", "weights"])
def test_fitting_set_rows_from_the_pass_match_locating_them(features, metric, data, use_test):
    # The built-in pass hands its regions' rows on the fitting set to the fit; they must be
    # the rows the fit locates itself, and an additive metric's region scores taken from the
    # pass's scores must be those the metric gives on the region's rows. On the training set
    # the first bounds close on the test maximum: the integer data share it, the others do
    # not.
    rng = np.random.default_rng(len(data) + 7 * len(features))
    n = 4000
    x = rng.normal(size=(n, 3))
    bins = 10
    weights = None
    if data == "integers":
        x = rng.integers(0, 6, size=(n, 3)).astype(float)
    elif data == "constant second":
        x[:, 1] = np.where(x[:, 0] > 0.8, 2.0, x[:, 1])
    elif data == "many bins":
        bins = 300
    elif data == "weights":
        weights = rng.random(n) * (rng.random(n) > 0.2)
    y = x[:, 0] + rng.normal(size=n) * (1 + 2 * ((x[:, 0] > 0.5) & (x[:, 1] < 0.3)))
    p = x[:, 0] + 0.1 * x[:, 1]
    train_x = rng.normal(size=(n, 3)) if data != "integers" else x[::-1].copy()
    kw = dict(train_x=train_x, train_y=y, test_x=x, test_y=y, train_pred=p, test_pred=p,
              feature_names=["a", "b", "c"], train_sample_weight=weights,
              test_sample_weight=weights, use_test=use_test)
    threshold = 0.95 if metric == {"name": "R2"} else 1.0
    got = fz.HistogramSlicing(slice_features=features, bins=bins, metric=metric,
                              threshold=threshold, min_samples=5)
    ref = Passthrough(slice_features=features, bins=bins, metric=metric, threshold=threshold,
                      min_samples=5)
    table, ref_table = got.fit(**kw), ref.fit(**kw)
    assert ref_table is not None and len(ref_table) > 0
    pd.testing.assert_frame_equal(table, ref_table)
    _same_records(got.weak_region_stats, ref.weak_region_stats)
    assert repr(got.threshold_value) == repr(ref.threshold_value)


_MISSING = object()


def _scaled_squared_error(y, p, sample_weight=_MISSING):
    # Per-sample scores that depend on every sample of the call: not elementwise.
    y, p = np.ravel(y), np.ravel(p)
    scores = (y - p) ** 2 / np.mean(np.abs(y))
    return scores if sample_weight is _MISSING else np.average(scores, weights=sample_weight)


@pytest.mark.parametrize("features", [["a"], ["a", "b"]])
def test_region_scores_of_a_scorer_that_is_not_elementwise_are_computed_on_the_region(features):
    rng = np.random.default_rng(5)
    x = rng.normal(size=(3000, 3))
    y = x[:, 0] + 2.0 + rng.normal(size=3000) * (1 + 2 * (x[:, 0] > 0.5))
    p = x[:, 0] + 2.0
    kw = dict(train_x=x[::-1].copy(), train_y=y[::-1].copy(), test_x=x, test_y=y,
              train_pred=p[::-1].copy(), test_pred=p, feature_names=["a", "b", "c"])
    tables = []
    for cls in (fz.HistogramSlicing, Passthrough):
        s = cls(slice_features=features, bins=10, threshold=1.0, min_samples=5)
        s.scoring_func = _scaled_squared_error
        tables.append(s.fit(**kw))
    assert tables[0] is not None and len(tables[0]) > 0
    pd.testing.assert_frame_equal(tables[0], tables[1])


def _numpy_squared_error(y, p, sample_weight=_MISSING):
    y, p = np.asarray(y, dtype=np.float64).ravel(), np.asarray(p, dtype=np.float64).ravel()
    scores = (y - p) ** 2
    return scores if sample_weight is _MISSING else np.average(scores, weights=sample_weight)


@pytest.mark.parametrize("use_test", [True, False])
@pytest.mark.parametrize("layout", ["float64", "float32", "column", "strided", "weights"])
def test_built_in_squared_error_scores_equal_numpys(layout, use_test):
    # The squared error of the built-in metric is computed natively where the arrays allow;
    # the table and every region's scores must be numpy's.
    rng = np.random.default_rng(11)
    n = 5000
    x = rng.normal(size=(n, 3))
    y = x[:, 0] + rng.normal(size=n) * (1 + 2 * (x[:, 1] > 0.3))
    p = x[:, 0] + 0.25 * x[:, 2]
    kw = dict(train_x=rng.normal(size=(n, 3)), test_x=x, feature_names=["a", "b", "c"],
              use_test=use_test)
    ys = {"float64": y, "float32": y.astype(np.float32), "column": y.reshape(-1, 1),
          "strided": np.repeat(y, 2)[::2], "weights": y}[layout]
    kw.update(train_y=ys[::-1].copy() if layout != "strided" else ys[::-1], test_y=ys,
              train_pred=p[::-1].copy(), test_pred=p)
    if layout == "weights":
        kw.update(train_sample_weight=rng.random(n), test_sample_weight=rng.random(n))
    got = fz.HistogramSlicing(slice_features=["a", "b"], bins=10, threshold=1.0, min_samples=5)
    ref = fz.HistogramSlicing(slice_features=["a", "b"], bins=10, threshold=1.0, min_samples=5)
    ref.scoring_func = _numpy_squared_error
    table, ref_table = got.fit(**kw), ref.fit(**kw)
    assert ref_table is not None and len(ref_table) > 0
    pd.testing.assert_frame_equal(table, ref_table)
    _same_records(got.weak_region_stats, ref.weak_region_stats)
    assert repr(got.threshold_value) == repr(ref.threshold_value)


@pytest.mark.parametrize("n", [1, 7, 129, 1000, 4099, 100003])
@pytest.mark.parametrize("features", [["a"], ["a", "b"]])
def test_limit_is_threshold_times_numpys_mean_score(n, features):
    # The built-in pass may take the mean of the squared errors from the fit that computed
    # them; it must still be np.mean of those scores to the last bit.
    rng = np.random.default_rng(n)
    x = rng.normal(size=(n, 2))
    y = rng.lognormal(0.0, 3.0, size=n) * rng.choice([-1.0, 1.0], size=n)
    p = rng.lognormal(0.0, 3.0, size=n)
    s = fz.HistogramSlicing(slice_features=features, bins=5, min_samples=1)
    s.fit(x, y, x, y, p, p, feature_names=["a", "b"])
    assert repr(s.threshold_value) == repr(float(s.threshold * np.mean((y - p) ** 2)))
