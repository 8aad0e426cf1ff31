import inspect
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression

from orrin.diagnoser import frailzone as fz
from orrin.diagnoser.base import BaseDiagnoser
from orrin.exceptions import OrrinError
from orrin.utils import TestDataResult

needs_histogram = pytest.mark.skipif(
    not hasattr(fz, "HistogramSlicing"), reason="histogram slicing not built in this tree"
)


def regression(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.random((n, 3))
    y = x[:, 0] + np.where(x[:, 0] > 0.7, rng.normal(size=n), 0.0)
    model = LinearRegression().fit(x, y)
    return model, x, y, np.arange(n // 2), np.arange(n // 2, n)


def test_construction_defaults_and_signature():
    f = fz.FrailZone("model", ["x1"])
    assert isinstance(f, BaseDiagnoser)
    assert (f.estimator, f.slice_features, f.task_type) == ("model", ["x1"], None)
    assert (f.threshold, f.method, f.bins, f.max_depth, f.min_samples) == (1.2, "histogram", 10, 2, 20)
    assert (f.metric, f.use_test, f.random_state, f.diag, f.output) == (None, False, 0, None, None)
    params = list(inspect.signature(fz.FrailZone.__init__).parameters)
    assert params == ["self", "estimator", "slice_features", "task_type", "threshold", "method",
                      "bins", "max_depth", "min_samples", "metric", "use_test", "random_state"]
    assert fz.FrailZone.__doc__.startswith("Frailzone Test")
    heads = {"fit": "Fit frailzone diagnoser", "get_target_idx": "Get sample index in Weak region",
             "get_result": "Get frailzone result", "get_marginal": "Get marginal frailzone result"}
    for name, head in heads.items():
        assert inspect.getdoc(getattr(fz.FrailZone, name)).splitlines()[0] == head


def fitted(method="tree", features=("X0",), use_test=False, **kw):
    model, x, y, tr, te = regression()
    f = fz.FrailZone(model, list(features), method=method, use_test=use_test, **kw)
    f.fit(x, y, tr, te)
    return f, x, y, tr, te


def test_fit_keeps_strategy_and_table():
    f, x, y, tr, te = fitted()
    assert isinstance(f.diag, fz.TreeSlicing) and isinstance(f.output, pd.DataFrame)
    assert f.diag.threshold == 1.2 and f.threshold == 1.2 and f.diag.min_samples == 20
    assert f.diag.x.shape == (len(tr), 3)  # use_test False fits on the training split
    assert f.diag.feature_names == ["X0", "X1", "X2"]


@needs_histogram
def test_histogram_method_builds_histogram_strategy():
    f, *_ = fitted(method="histogram", bins=7)
    assert isinstance(f.diag, fz.HistogramSlicing) and f.diag.bins == 7


@pytest.mark.parametrize("method", ["Tree", "HISTOGRAM", "forest", None, 3])
def test_unsupported_method_keeps_previous_state(method):
    f, x, y, tr, te = fitted()
    before = dict(f.__dict__)
    f.method = method
    with pytest.raises(OrrinError, match=r"^frailzone method should be either histogram or tree\.$"):
        f.fit(x[:100], y[:100], np.arange(50), np.arange(50, 100))
    before["method"] = method
    assert f.__dict__.keys() == before.keys()
    assert all(f.__dict__[k] is before[k] for k in before)


@pytest.mark.parametrize(
    "args, error",
    [
        (dict(train_idx=np.array([0, 5000])), ValueError),
        (dict(train_idx=np.array([0.5, 1.0])), TypeError),
        (dict(test_idx=np.zeros(7, dtype=bool)), ValueError),
        (dict(sample_weight=np.ones(3)), ValueError),
        (dict(feature_names=["a", "b"]), ValueError),
        (dict(slice_features=["nope"]), ValueError),
        (dict(slice_features="X0"), TypeError),
    ],
)
def test_bad_input_leaves_the_diagnoser_unchanged(args, error):
    f, x, y, tr, te = fitted()
    before = dict(f.__dict__)
    if "slice_features" in args:
        f.slice_features = args.pop("slice_features")
        before["slice_features"] = f.slice_features
    call = dict(x=x, y=y, train_idx=tr, test_idx=te)
    call.update(args)
    with pytest.raises(error):
        f.fit(**call)
    assert all(f.__dict__[k] is before[k] for k in before) and f.__dict__.keys() == before.keys()


def classification(n=1200, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.random((n, 2))
    y = (x[:, 0] + 0.3 * rng.normal(size=n) > 0.5).astype(int)
    return LogisticRegression().fit(x, y), x, y


@pytest.mark.parametrize("metric, uses_proba", [({"name": "Brier"}, True), ({"name": "ACC"}, False)])
def test_metric_chooses_probabilities_or_labels(metric, uses_proba):
    model, x, y = classification()
    proba = model.predict_proba(x)[:, 1]
    f = fz.FrailZone(model, ["X0"], task_type="classification", method="tree", metric=metric,
                     use_test=True)
    f.fit(x, y, np.arange(600), np.arange(600, 1200), prediction_proba=proba)
    source = proba if uses_proba else model.predict(x)
    te = np.arange(600, 1200)
    expected = f.diag.scoring_func(y[te], source[te])
    assert np.array_equal(f.diag.scores, expected)


def test_probability_metric_without_probabilities_is_refused():
    rng = np.random.default_rng(0)
    x, y = rng.random((100, 2)), rng.integers(0, 2, 100)
    f = fz.FrailZone(None, ["X0"], task_type="classification", method="tree",
                     metric={"name": "LogLoss"})
    with pytest.raises(ValueError, match="probabilities"):
        f.fit(x, y, np.arange(50), np.arange(50, 100), prediction=y)
    assert f.diag is None and not hasattr(f, "x")


def test_tree_strategy_refusal_passes_through():
    model, x, y, tr, te = regression(n=200)
    f = fz.FrailZone(model, ["X0"], method="tree", metric={"name": "R2"})
    with pytest.raises(OrrinError, match="tree slicing is incompatible"):
        f.fit(x, y, tr, te)
    assert f.diag is None


def with_regions(rows, x, fidx):
    f = fz.FrailZone(None, ["a"])
    f.diag = SimpleNamespace(weak_region_stats=rows, x=x, fidx=fidx)
    return f


def test_target_idx_open_upper_bound_one_feature():
    x = np.array([[0.0], [1.0], [2.0], [3.0], [3.0]])
    f = with_regions([{"lb1": 2.0, "ub1": 3.0}, {"lb1": 0.0, "ub1": 2.0}], x, [0])
    idx = f.get_target_idx()
    assert idx.dtype == np.int64 and idx.tolist() == [2, 0, 1]


def test_target_idx_two_features_needs_both_conditions():
    # Row 1 meets only the first feature; row 2 only the second. Row 3 sits on the upper
    # bound of the second feature (open).
    x = np.array([[0.5, 0.5], [0.5, 5.0], [5.0, 0.5], [0.5, 1.0]])
    f = with_regions([{"lb1": 0.0, "ub1": 1.0, "lb2": 0.0, "ub2": 1.0}], x, [0, 1])
    assert f.get_target_idx().tolist() == [0]


@pytest.mark.parametrize(
    "row, fidx, expected",
    [
        ({"lb1": 2.0, "ub1": 2.0}, [0], [1, 3]),
        ({"lb1": 0.0, "ub1": 9.0, "lb2": 7.0, "ub2": 7.0}, [0, 1], [0, 1, 3]),
        ({"lb1": 2.0, "ub1": 2.0, "lb2": 7.0, "ub2": 7.0}, [0, 1], [1, 3]),
    ],
)
def test_target_idx_equal_bounds_hold_that_value(row, fidx, expected):
    x = np.array([[1.0, 7.0], [2.0, 7.0], [3.0, 8.0], [2.0, 7.0]])
    assert with_regions([row], x, fidx).get_target_idx().tolist() == expected


def test_target_idx_overlapping_regions_repeat_positions():
    x = np.array([[0.0], [1.0], [2.0]])
    f = with_regions([{"lb1": 0.0, "ub1": 2.0}, {"lb1": 1.0, "ub1": 3.0}], x, np.array([0]))
    assert f.get_target_idx().tolist() == [0, 1, 1, 2]


def test_target_idx_without_regions_is_numpys_error():
    f = with_regions([], np.zeros((3, 1)), [0])
    with pytest.raises(ValueError, match="need at least one array"):
        f.get_target_idx()


def test_target_idx_indexes_the_fitted_split():
    f, x, y, tr, te = fitted(use_test=False)
    idx = f.get_target_idx()
    assert idx.max() < len(tr)
    stats = f.diag.weak_region_stats
    rows = x[tr][:, 0]
    expected = np.concatenate(
        [np.flatnonzero((rows >= r["lb1"]) & (rows < r["ub1"])) for r in stats])
    assert np.array_equal(idx, expected)


def test_get_result_and_get_marginal_records():
    f, *_ = fitted(use_test=True)
    result = f.get_result()
    assert isinstance(result, TestDataResult) and result.key == "frailzone_result"
    assert list(result.value) == ["slice_features", "bins", "method", "min_samples", "metric",
                                  "threshold_value", "data"]
    assert result.value["data"] is f.output
    assert result.value["threshold_value"] == f.diag.threshold_value
    marginal = f.get_marginal()
    assert marginal.key == "frailzone_plot"
    assert list(marginal.value) == [
        "slice_features", "bins", "method", "min_samples", "metric", "weak_region_stats",
        "fidx", "rule_list", "x", "y", "threshold_value", "score_name", "_sign", "scores",
        "use_test", "is_metric_additive", "feature_names"]
    assert marginal.value["rule_list"] is f.diag.rule_list and marginal.value["use_test"] is True
    assert marginal.value["_sign"] == -1


def test_marginal_without_rule_list_gives_none():
    f = fz.FrailZone(None, ["a"])
    f.feature_names = ["a"]
    f.diag = SimpleNamespace(weak_region_stats=[], fidx=[0], x=None, y=None, threshold_value=1,
                             score_name="MSE", score_sign=-1, scores=None, use_test=False,
                             is_metric_additive=True)
    assert f.get_marginal().value["rule_list"] is None


def test_getters_before_fit_raise_attribute_error():
    f = fz.FrailZone(None, ["a"])
    for getter in (f.get_target_idx, f.get_result, f.get_marginal):
        with pytest.raises(AttributeError):
            getter()


def test_dataframe_input_and_boolean_masks():
    model, x, y, tr, te = regression()
    frame = pd.DataFrame(x, columns=["a", "b", "c"])
    mask = np.zeros(len(x), dtype=bool)
    mask[te] = True
    f = fz.FrailZone(model, ["a"], method="tree")
    f.fit(frame, pd.Series(y), ~mask, mask, prediction=model.predict(x))
    g, *_ = fitted()
    assert list(f.output.columns[:2]) == ["[a", "a)"]
    np.testing.assert_array_equal(f.output.to_numpy(), g.output.to_numpy())
