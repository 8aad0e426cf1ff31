import inspect
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression, LogisticRegression

from orrin.diagnoser import frailzone as fz
from orrin.diagnoser.base import BaseDiagnoser
from orrin.exceptions import OrrinError


def regression(n=2000, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.random((n, 3))
    y = x[:, 0] + np.where(x[:, 0] > 0.7, rng.normal(size=n), 0.0)
    return LinearRegression().fit(x, y), x, y, np.arange(n // 2), np.arange(n // 2, n)


def fitted(method="tree", features=("X0",), use_test=False, **kw):
    model, x, y, tr, te = regression()
    f = fz.FrailZone(model, list(features), method=method, use_test=use_test, **kw)
    f.fit(x, y, tr, te)
    return f, x, y, tr, te


def test_construction_defaults_signature_and_docs():
    f = fz.FrailZone("model", ["x1"])
    assert isinstance(f, BaseDiagnoser) and (f.estimator, f.slice_features) == ("model", ["x1"])
    assert (f.task_type, f.threshold, f.method, f.bins, f.max_depth, f.min_samples, f.metric,
            f.use_test, f.random_state, f.diag, f.output) == (
        None, 1.2, "histogram", 10, 2, 20, None, False, 0, None, None)
    assert list(inspect.signature(fz.FrailZone.__init__).parameters)[1:] == [
        "estimator", "slice_features", "task_type", "threshold", "method", "bins", "max_depth",
        "min_samples", "metric", "use_test", "random_state"]
    heads = {"fit": "Fit frailzone diagnoser", "get_target_idx": "Get sample index in Weak region",
             "get_result": "Get frailzone result", "get_marginal": "Get marginal frailzone result"}
    assert fz.FrailZone.__doc__.startswith("Frailzone Test")
    for name, head in heads.items():
        assert inspect.getdoc(getattr(fz.FrailZone, name)).splitlines()[0] == head


@pytest.mark.parametrize("method, strategy", [("tree", "TreeSlicing"), ("histogram", "HistogramSlicing")])
def test_fit_keeps_strategy_and_table(method, strategy):
    f, x, y, tr, te = fitted(method=method, bins=7)
    assert type(f.diag).__name__ == strategy and isinstance(f.output, pd.DataFrame)
    assert f.diag.threshold == 1.2 and f.diag.min_samples == 20
    assert f.diag.x.shape == (len(tr), 3) and f.diag.feature_names == ["X0", "X1", "X2"]


def unchanged(f, before):
    return f.__dict__.keys() == before.keys() and all(f.__dict__[k] is before[k] for k in before)


@pytest.mark.parametrize("method", ["Tree", "HISTOGRAM", None, 3])
def test_unsupported_method_keeps_previous_state(method):
    f, x, y, tr, te = fitted()
    f.method = method
    before = dict(f.__dict__)
    with pytest.raises(OrrinError, match=r"^frailzone method should be either histogram or tree\.$"):
        f.fit(x[:100], y[:100], np.arange(50), np.arange(50, 100))
    assert unchanged(f, before)


@pytest.mark.parametrize(
    "args, error",
    [(dict(train_idx=np.array([0, 5000])), ValueError), (dict(train_idx=[0.5, 1.0]), TypeError),
     (dict(test_idx=np.zeros(7, dtype=bool)), ValueError), (dict(sample_weight=np.ones(3)), ValueError),
     (dict(feature_names=["a", "b"]), ValueError), (dict(slice_features=["nope"]), ValueError),
     (dict(slice_features="X0"), TypeError), (dict(metric={"name": "R2"}), OrrinError)],
)
def test_bad_input_leaves_the_diagnoser_unchanged(args, error):
    f, x, y, tr, te = fitted()
    for key in ("slice_features", "metric"):
        if key in args:
            setattr(f, key, args.pop(key))
    before = dict(f.__dict__)
    with pytest.raises(error):
        f.fit(**{**dict(x=x, y=y, train_idx=tr, test_idx=te), **args})
    assert unchanged(f, before)


@pytest.mark.parametrize("metric, uses_proba", [({"name": "Brier"}, True), ({"name": "ACC"}, False)])
def test_metric_chooses_probabilities_or_labels(metric, uses_proba):
    rng = np.random.default_rng(1)
    x = rng.random((1200, 2))
    y = (x[:, 0] + 0.3 * rng.normal(size=1200) > 0.5).astype(int)
    model = LogisticRegression().fit(x, y)
    proba, te = model.predict_proba(x)[:, 1], np.arange(600, 1200)
    f = fz.FrailZone(model, ["X0"], task_type="classification", method="tree", metric=metric,
                     use_test=True)
    f.fit(x, y, np.arange(600), te, prediction_proba=proba)
    source = proba if uses_proba else model.predict(x)
    assert np.array_equal(f.diag.scores, f.diag.scoring_func(y[te], source[te]))


def test_probability_metric_without_probabilities_is_refused():
    rng = np.random.default_rng(0)
    x, y = rng.random((100, 2)), rng.integers(0, 2, 100)
    f = fz.FrailZone(None, ["X0"], task_type="classification", method="tree",
                     metric={"name": "LogLoss"})
    with pytest.raises(ValueError, match="probabilities"):
        f.fit(x, y, np.arange(50), np.arange(50, 100), prediction=y)
    assert f.diag is None and not hasattr(f, "x")


def target_idx(rows, x, fidx):
    f = fz.FrailZone(None, ["a"])
    f.diag = SimpleNamespace(weak_region_stats=rows, x=np.asarray(x, dtype=float), fidx=fidx)
    return f.get_target_idx().tolist()


X2 = [[1.0, 7.0], [2.0, 7.0], [3.0, 8.0], [2.0, 7.0], [0.5, 1.0]]


@pytest.mark.parametrize(
    "rows, fidx, expected",
    [
        # open upper bound, region order kept, overlaps repeat positions
        ([{"lb1": 2.0, "ub1": 3.0}, {"lb1": 0.0, "ub1": 2.0}], [0], [1, 3, 0, 4]),
        ([{"lb1": 1.0, "ub1": 3.0}, {"lb1": 2.0, "ub1": 9.0}], np.array([0]), [0, 1, 3, 1, 2, 3]),
        # two features: both conditions, each with an open upper bound
        ([{"lb1": 0.0, "ub1": 2.0, "lb2": 1.0, "ub2": 7.0}], [0, 1], [4]),
        ([{"lb1": 0.0, "ub1": 3.0, "lb2": 7.0, "ub2": 9.0}], [0, 1], [0, 1, 3]),
        # equal bounds hold the rows equal to that value
        ([{"lb1": 2.0, "ub1": 2.0}], [0], [1, 3]),
        ([{"lb1": 0.0, "ub1": 9.0, "lb2": 7.0, "ub2": 7.0}], [0, 1], [0, 1, 3]),
        ([{"lb1": 2.0, "ub1": 2.0, "lb2": 7.0, "ub2": 7.0}], [1, 0], []),
    ],
)
def test_target_idx_membership(rows, fidx, expected):
    assert target_idx(rows, X2, fidx) == expected


def test_target_idx_without_regions_is_numpys_error():
    with pytest.raises(ValueError, match="need at least one array"):
        target_idx([], X2, [0])


def test_target_idx_indexes_the_fitted_split():
    f, x, y, tr, te = fitted(use_test=False)
    rows = x[tr][:, 0]
    expected = np.concatenate([np.flatnonzero((rows >= r["lb1"]) & (rows < r["ub1"]))
                               for r in f.diag.weak_region_stats])
    assert np.array_equal(f.get_target_idx(), expected)


def test_large_target_idx_results_keep_their_rows_while_alive():
    # 5e6 rows: the kernels' blocks are large enough to be kept for reuse once freed, so a
    # result still referenced must never be handed out again.
    n = 5_000_000
    x = np.arange(n, dtype=float)[::-1].reshape(-1, 1).copy()
    f = fz.FrailZone(None, ["a"])
    f.diag = SimpleNamespace(weak_region_stats=[{"lb1": 0.0, "ub1": float(n)}], x=x, fidx=[0])
    first = f.get_target_idx()
    f.diag.weak_region_stats = [{"lb1": 10.0, "ub1": float(n)}]
    for _ in range(3):
        second = f.get_target_idx()
        del second
    again = f.get_target_idx()
    assert np.array_equal(first, np.arange(n))
    assert np.array_equal(again, np.arange(n - 10))


def test_get_result_and_get_marginal_records():
    f, *_ = fitted(use_test=True)
    result, marginal = f.get_result(), f.get_marginal()
    assert (result.key, marginal.key) == ("frailzone_result", "frailzone_plot")
    assert list(result.value) == ["slice_features", "bins", "method", "min_samples", "metric",
                                  "threshold_value", "data"]
    assert result.value["data"] is f.output and result.value["threshold_value"] == f.diag.threshold_value
    assert list(marginal.value) == [
        "slice_features", "bins", "method", "min_samples", "metric", "weak_region_stats", "fidx",
        "rule_list", "x", "y", "threshold_value", "score_name", "_sign", "scores", "use_test",
        "is_metric_additive", "feature_names"]
    assert marginal.value["rule_list"] is f.diag.rule_list and marginal.value["_sign"] == -1


def test_dataframe_input_and_boolean_masks():
    model, x, y, tr, te = regression()
    mask = np.isin(np.arange(len(x)), te)
    f = fz.FrailZone(model, ["a"], method="tree")
    f.fit(pd.DataFrame(x, columns=["a", "b", "c"]), pd.Series(y), ~mask, mask,
          prediction=model.predict(x))
    assert list(f.output.columns[:2]) == ["[a", "a)"]
    np.testing.assert_array_equal(f.output.to_numpy(), fitted()[0].output.to_numpy())
