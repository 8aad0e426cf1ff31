import copy

import numpy as np
import pandas as pd
import pytest
from sklearn.metrics import r2_score

from orrin.diagnoser import frailzone as fz


class Stub(fz.BaseSlicing):
    """A strategy whose weak regions are given up front."""

    regions = []
    columns = [0]

    def _fit(self, x, y, preds, scores, sample_weight=None):
        self.fit_args = (x, y, preds, scores, sample_weight)
        self.x = x
        self.fidx = list(self.columns)
        self.threshold_value = 0.0
        self.weak_region = copy.deepcopy(self.regions)


def stub(regions, columns=(0,), metric=None, slice_features=None):
    s = Stub(slice_features=slice_features, metric=metric)
    s.regions = regions
    s.columns = list(columns)
    return s


def run(s, train_x, test_x, train_y=None, test_y=None, train_pred=None, test_pred=None, **kw):
    train_y = np.zeros(len(train_x)) if train_y is None else train_y
    test_y = np.zeros(len(test_x)) if test_y is None else test_y
    train_pred = np.ones(len(train_x)) if train_pred is None else train_pred
    test_pred = np.ones(len(test_x)) if test_pred is None else test_pred
    names = kw.pop("feature_names", [f"c{i}" for i in range(np.shape(train_x)[1])])
    return s.fit(train_x, train_y, test_x, test_y, train_pred, test_pred, feature_names=names, **kw)


def col(*values):
    return np.array(values, dtype=float).reshape(-1, 1)


@pytest.mark.parametrize(
    "ub, expected_train, expected_test",
    [
        (3.0, 4, 4),  # the test maximum: rows at 3 counted in both sets
        (2.0, 1, 1),  # any other bound: rows at the bound excluded
    ],
)
def test_upper_bound_closed_only_at_test_maximum(ub, expected_train, expected_test):
    train_x = col(1, 2, 3, 3)
    test_x = col(1, 2, 2, 3)
    s = stub([{"lb1": 1.0, "ub1": ub}])
    run(s, train_x, test_x)
    row = s.weak_region_stats[0]
    assert (row["#Train"], row["#Test"]) == (expected_train, expected_test)


def test_training_maximum_above_test_maximum_uses_test_closure():
    train_x = col(0, 1, 2, 5)
    test_x = col(0, 1, 2)
    s = stub([{"lb1": 1.0, "ub1": 2.0}, {"lb1": 2.0, "ub1": 5.0}])
    run(s, train_x, test_x)
    by_ub = {r["ub1"]: r for r in s.weak_region_stats}
    assert by_ub[2.0]["#Train"] == 2 and by_ub[2.0]["#Test"] == 2  # 2 is the test max
    assert by_ub[5.0]["#Train"] == 1  # the 2 only: 5 is open, not the test max


def test_region_without_test_rows_has_nan_score_and_gap():
    s = stub([{"lb1": 10.0, "ub1": 20.0}])
    run(s, col(11, 12), col(1, 2))
    row = s.weak_region_stats[0]
    assert row["#Test"] == 0 and row["test_MSE All"] == [] and np.isnan(row["test_MSE"])
    assert row["#Train"] == 2 and row["train_MSE"] == 1.0 and np.isnan(row["Gap"])


def test_row_keys_order_and_table_columns_one_feature():
    s = stub([{"lb1": 0.0, "ub1": 1.0, "extra": "kept"}])
    out = run(s, col(0, 0.5), col(0, 0.5), feature_names=["age"])
    assert list(s.weak_region_stats[0]) == [
        "lb1", "ub1", "extra", "#Train", "#Test", "train_MSE All", "train_MSE",
        "test_MSE All", "test_MSE", "Gap",
    ]
    assert list(out.columns) == ["[age", "age)", "#Test", "#Train", "test_MSE", "train_MSE", "Gap"]
    assert list(out.index) == [0]


def test_table_columns_two_features_and_shallow_copy():
    regions = [{"lb1": 0.0, "ub1": 1.0, "lb2": 0.0, "ub2": 1.0, "nested": [1]}]
    s = stub(regions, columns=(1, 0))
    x = np.array([[0.2, 0.3], [0.9, 0.9]])
    out = run(s, x, x, feature_names=["a", "b"])
    assert list(out.columns) == [
        "[b", "b)", "[a", "a)", "#Test", "#Train", "test_MSE", "train_MSE", "Gap",
    ]
    # shallow copy: the row is a new dict, its values are the record's objects
    assert s.weak_region_stats[0] is not s.weak_region[0]
    assert s.weak_region_stats[0]["nested"] is s.weak_region[0]["nested"]


def test_sorted_by_gap_ties_keep_order_and_nan_last():
    # Region gaps: r0 nan (no test rows), r1 1, r2 1, r3 4, r4 nan, r5 0
    test_x = col(0, 1, 2, 3, 5)
    test_y = np.array([0, 1, 1, 2, 0.0])
    test_pred = np.zeros(5)
    regions = [
        {"lb1": 100.0, "ub1": 200.0, "id": 0},
        {"lb1": 1.0, "ub1": 1.5, "id": 1},
        {"lb1": 2.0, "ub1": 2.5, "id": 2},
        {"lb1": 3.0, "ub1": 3.5, "id": 3},
        {"lb1": 300.0, "ub1": 400.0, "id": 4},
        {"lb1": 5.0, "ub1": 5.0 + 1, "id": 5},
    ]
    train_x = col(1, 2, 3, 5, 100, 300)
    s = stub(regions)
    out = run(s, train_x, test_x, np.zeros(6), test_y, np.zeros(6), test_pred)
    assert [r["id"] for r in s.weak_region_stats] == [3, 1, 2, 5, 0, 4]
    gaps = out["Gap"].to_numpy()
    assert np.array_equal(gaps[:4], [4.0, 1.0, 1.0, 0.0]) and np.isnan(gaps[4:]).all()


@pytest.mark.parametrize("use_test", [True, False])
def test_fitting_set_follows_use_test_and_gap_is_test_minus_train(use_test):
    train_x, test_x = col(0, 1, 2), col(0, 1)
    s = stub([{"lb1": 0.0, "ub1": 1.0}])
    run(s, train_x, test_x, np.zeros(3), np.zeros(2), np.full(3, 2.0), np.full(2, 3.0),
        use_test=use_test)
    assert s.fit_args[0].shape[0] == (2 if use_test else 3)
    assert s.use_test is use_test
    row = s.weak_region_stats[0]
    assert row["Gap"] == 9.0 - 4.0


def test_additive_metric_weighted_mean_of_per_sample_scores():
    rng = np.random.default_rng(1)
    x, y, p, w = rng.random((50, 1)), rng.random(50), rng.random(50), rng.random(50)
    s = stub([{"lb1": 0.0, "ub1": 0.6}])
    run(s, x, x, y, y, p, p, train_sample_weight=w, test_sample_weight=None)
    idx = np.flatnonzero((x[:, 0] >= 0) & (x[:, 0] < 0.6))
    row = s.weak_region_stats[0]
    err = (y[idx] - p[idx]) ** 2
    assert row["train_MSE"] == np.average(err, weights=w[idx])
    assert row["test_MSE"] == np.average(err)
    assert np.array_equal(row["train_MSE All"], err)


def test_non_additive_metric_receives_weights_by_keyword():
    rng = np.random.default_rng(2)
    x, y, p, w = rng.random((40, 1)), rng.random(40), rng.random(40), rng.random(40)
    s = stub([{"lb1": 0.0, "ub1": 0.5}], metric={"name": "R2"})
    run(s, x, x, y, y, p, p, train_sample_weight=w, test_sample_weight=w)
    idx = np.flatnonzero(x[:, 0] < 0.5)
    row = s.weak_region_stats[0]
    assert row["train_R2"] == r2_score(y[idx], p[idx], sample_weight=w[idx])
    assert row["train_R2 All"] == row["train_R2"]
    assert s.fit_args[3] == r2_score(y, p, sample_weight=w)


def test_second_upper_bound_closes_at_largest_value_inside_first_condition():
    # Inside the first-feature bin [0, 1) the largest second value is 4; the test column's
    # maximum (9) lies in another bin. The rows at 4 belong to the region.
    x = np.array([[0.1, 1.0], [0.5, 4.0], [0.7, 4.0], [2.0, 9.0]])
    s = stub([{"lb1": 0.0, "ub1": 1.0, "lb2": 1.0, "ub2": 4.0}], columns=(0, 1))
    run(s, x, x)
    row = s.weak_region_stats[0]
    assert row["#Train"] == 3 and row["#Test"] == 3


def test_second_upper_bound_closure_is_decided_per_set():
    train = np.array([[0.1, 1.0], [0.5, 4.0], [0.5, 6.0]])
    test = np.array([[0.1, 1.0], [0.5, 4.0], [2.0, 9.0]])
    s = stub([{"lb1": 0.0, "ub1": 1.0, "lb2": 1.0, "ub2": 4.0}], columns=(0, 1))
    run(s, train, test)
    row = s.weak_region_stats[0]
    assert (row["#Train"], row["#Test"]) == (1, 2)


@pytest.mark.parametrize("metric", [None, {"name": "R2"}])
def test_region_whose_weights_sum_to_zero_scores_nan(metric):
    x = col(0, 0, 1, 1)
    y, p = np.array([0, 1, 0, 1.0]), np.array([0.5, 0.5, 0, 0.0])
    w = np.array([0, 0, 1, 1.0])
    s = stub([{"lb1": 0.0, "ub1": 0.5}, {"lb1": 0.5, "ub1": 1.0}], metric=metric)
    out = run(s, x, x, y, y, p, p, train_sample_weight=w, test_sample_weight=w)
    zero = next(r for r in s.weak_region_stats if r["ub1"] == 0.5)
    assert zero["#Train"] == 2 and np.isnan(zero["train_" + s.score_name])
    assert np.isnan(zero["Gap"]) and len(out) == 2


def test_no_weak_region_returns_none():
    s = stub([])
    assert run(s, col(0, 1), col(0, 1)) is None
    assert s.weak_region_stats == []


def base_matrix():
    rng = np.random.default_rng(3)
    return rng.integers(0, 10, size=(60, 3)).astype(float)


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: a.astype(np.int64),
        lambda a: a.astype(np.float32),
        lambda a: a.astype(object),
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=1)[:, ::2],
        lambda a: pd.DataFrame(a, columns=["a", "b", "c"]),
    ],
    ids=["int", "float32", "object", "fortran", "strided", "dataframe"],
)
def test_matrix_kinds_give_the_same_table(convert):
    x = base_matrix()
    y = (x[:, 1] > 4).astype(float)
    regions = [{"lb1": 2.0, "ub1": 5.0, "lb2": 0.0, "ub2": 9.0}, {"lb1": 5.0, "ub1": 9.0,
                                                              "lb2": 3.0, "ub2": 6.0}]
    expected = run(stub(regions, columns=(1, 2)), x, x, y, y)
    got = run(stub(regions, columns=(1, 2)), convert(x), convert(x), pd.Series(y), y.tolist())
    pd.testing.assert_frame_equal(got, expected)


def test_boolean_slicing_column():
    x = np.array([[True], [False], [True]])
    s = stub([{"lb1": 1.0, "ub1": 1.0}])
    run(s, x, x)
    assert s.weak_region_stats[0]["#Test"] == 2


@pytest.mark.parametrize(
    "change, error, message",
    [
        (dict(train_y=np.zeros(3)), ValueError, "train_y"),
        (dict(test_pred=None), ValueError, "test_pred"),
        (dict(train_pred=np.ones((4, 2))), ValueError, "train_pred"),
        (dict(train_sample_weight=np.ones(5)), ValueError, "train_sample_weight"),
        (dict(test_sample_weight=np.array(["a", "b", "c", "d"])), TypeError, "test_sample_weight"),
        (dict(train_x=np.zeros(4)), ValueError, "train_x"),
        (dict(test_x=np.zeros((4, 3))), ValueError, "columns"),
        (dict(test_x=np.zeros((0, 2)), test_y=[], test_pred=[]), ValueError, "test_x"),
        (dict(feature_names=None), TypeError, "feature_names"),
        (dict(feature_names=["a"]), IndexError, "feature_names"),
        (dict(train_x=np.array([[np.nan, 0]] * 4)), ValueError, "NaN"),
        (dict(test_x=np.array([[np.inf, 0]] * 4)), ValueError, "NaN or infinite"),
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


def test_slice_feature_not_a_feature_name_is_refused_before_fitting():
    s = stub([{"lb1": 0.0, "ub1": 1.0}], slice_features=["zzz"])
    with pytest.raises(ValueError, match="zzz"):
        run(s, col(0, 1), col(0, 1))
    assert not hasattr(s, "fit_args")


@pytest.mark.parametrize(
    "regions, columns, error",
    [
        ([{"lb1": 0.0}], (0,), KeyError),
        ([{"lb1": "low", "ub1": 1.0}], (0,), TypeError),
        ([{"lb1": 0.0, "ub1": 1.0}], (5,), ValueError),
        ([{"lb1": 0.0, "ub1": 1.0}], (), ValueError),
        ([{"lb1": 0.0, "ub1": 1.0}], (0, 1), KeyError),
    ],
)
def test_malformed_strategy_results_raise_cleanly(regions, columns, error):
    s = stub(regions, columns=columns)
    with pytest.raises(error):
        run(s, np.zeros((3, 2)), np.zeros((3, 2)))
    assert s.weak_region_stats == []


def test_refit_starts_from_empty_stats():
    s = stub([{"lb1": 0.0, "ub1": 1.0}])
    run(s, col(0, 1), col(0, 1))
    s.regions = []
    assert run(s, col(0, 1), col(0, 1)) is None and s.weak_region_stats == []
