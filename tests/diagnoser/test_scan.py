import inspect
import math
import pickle
import sys

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone

from orrin.diagnoser.frailzone import FrailZone
from orrin.diagnoser.scan import WeakRegionScan
from orrin.exceptions import OrrinError
from scan_reference import reference_scan


def planted(n=4000, p=10, seed=0):
    """A model that is wrong where x3 in [0.6, 0.8) and x7 > 0.5 (the last two for p < 8)."""
    rng = np.random.default_rng(seed)
    x = rng.random((n, p))
    y = x[:, 0] + rng.normal(size=n) * 0.1
    pred = x[:, 0].copy()
    a, b = (3, 7) if p > 7 else (p - 2, p - 1)
    weak = (x[:, a] >= 0.6) & (x[:, a] < 0.8) & (x[:, b] > 0.5)
    pred[weak] += 0.6
    return x, y, pred, np.arange(n // 2), np.arange(n // 2, n)


def mixed(metric, seed, n=700):
    """Continuous, discrete and constant columns; labels or probabilities as the metric needs."""
    rng = np.random.default_rng(seed)
    x = np.column_stack([rng.random(n), rng.integers(0, 3, n).astype(float),
                         rng.normal(size=n), np.full(n, 2.5)])
    bump = (x[:, 0] > 0.55) & (x[:, 2] > 0)
    if metric in ("ACC", "LogLoss", "AUC"):
        proba = np.clip(0.5 + 0.4 * (x[:, 0] - 0.5) + rng.normal(size=n) * 0.1, 0.01, 0.99)
        y = (rng.random(n) < np.where(bump, 0.5, proba)).astype(int)
        return x, y, (proba > 0.5).astype(int), proba
    y = x[:, 0] + x[:, 2] * 0.1 + rng.normal(size=n) * np.where(bump, 0.6, 0.1)
    return x, y, x[:, 0].copy(), None


def regions_of(scan, f1, f2):
    r = scan.regions_
    other = r["feature_2"].isna() if f2 is None else r["feature_2"] == f2
    return r[(r["feature_1"] == f1) & other]


def same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


def assert_matches_reference(scan, ref):
    assert len(scan.results_) == len(ref)
    for row in scan.results_.itertuples():
        key = (row.feature_1, row.feature_2 if isinstance(row.feature_2, str) else None)
        expected, fz = ref[key]
        for k in ("n_regions", "test_share", "max_gap", "excess", "lift"):
            assert same(getattr(row, k), expected[k]), (key, k, getattr(row, k), expected[k])
        got = regions_of(scan, *key)
        table = fz.output
        assert len(got) == (0 if table is None else len(table))
        if table is None:
            continue
        name = fz.diag.score_name
        bounds = ["lb1", "ub1"] + (["lb2", "ub2"] if key[1] else [])
        want = table.to_numpy()
        have = got[bounds + ["#Test", "#Train", "test_score", "train_score", "Gap"]].to_numpy()
        np.testing.assert_array_equal(have.astype(float), want.astype(float))
        assert list(table.columns[-3:]) == ["test_" + name, "train_" + name, "Gap"]


def test_planted_pair_ranks_first_and_its_features_lead_the_singles():
    x, y, pred, tr, te = planted()
    scan = WeakRegionScan(None).fit(x, y, tr, te, prediction=pred)
    res = scan.results_
    assert len(res) == 10 + 45 and res["excess"].is_monotonic_decreasing
    assert (res.loc[0, "feature_1"], res.loc[0, "feature_2"]) == ("X3", "X7")
    singles = res[res["feature_2"].isna()]
    assert set(singles["feature_1"].iloc[:2]) == {"X3", "X7"}
    pairs = res[res["feature_2"].notna()]
    assert pairs["lift"].idxmax() == 0 and res.loc[0, "lift"] > 0
    regions = regions_of(scan, "X3", "X7")
    best = regions.loc[regions["contribution"].idxmax()]
    assert 0.59 <= best["lb1"] < best["ub1"] <= 0.81 and best["lb2"] >= 0.45
    assert res.loc[0, "top_region"].startswith(f"X3 [{best['lb1']:.4g}, {best['ub1']:.4g}], X7 [")


@pytest.mark.parametrize("metric", ["MSE", "MAE", "ACC", "LogLoss", "AUC"])
@pytest.mark.parametrize("use_test", [False, True])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("seed", [0, 1])
def test_every_candidate_equals_its_own_frailzone(metric, use_test, weighted, seed):
    x, y, pred, proba = mixed(metric, seed)
    n = len(y)
    rng = np.random.default_rng(seed + 10)
    w = rng.random(n) * (rng.random(n) > 0.1) if weighted else None
    tr, te = np.arange(0, n, 3), np.setdiff1d(np.arange(n), np.arange(0, n, 3))
    settings = dict(metric={"name": metric}, use_test=use_test, bins=6 if seed else 10,
                    min_samples=5)
    names = [f"X{i}" for i in range(4)]
    scan = WeakRegionScan(None, **settings).fit(x, y, tr, te, prediction=pred,
                                                 prediction_proba=proba, sample_weight=w)
    ref = reference_scan(settings, names, True, x, y, tr, te, prediction=pred,
                         prediction_proba=proba, sample_weight=w, feature_names=names)
    assert_matches_reference(scan, ref)
    assert scan.results_["n_regions"].sum() > 0


def test_tree_method_runs_one_frailzone_per_candidate():
    x, y, pred, _ = mixed("MSE", 0)
    tr, te = np.arange(400), np.arange(400, 700)
    settings = dict(method="tree", max_depth=3, min_samples=10)
    scan = WeakRegionScan(None, features=["X0", "X2"], **settings).fit(x, y, tr, te,
                                                                         prediction=pred)
    ref = reference_scan(settings, ["X0", "X2"], True, x, y, tr, te, prediction=pred,
                         feature_names=["X0", "X1", "X2", "X3"])
    assert_matches_reference(scan, ref)


def deep_equal(a, b):
    if isinstance(a, pd.DataFrame):
        return isinstance(b, pd.DataFrame) and a.equals(b) and list(a.columns) == list(b.columns)
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(deep_equal(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(map(deep_equal, a, b))
    if isinstance(a, float):
        return isinstance(b, float) and same(a, b)
    if hasattr(a, "__dict__") and not callable(a):
        return type(a) is type(b) and deep_equal(vars(a), vars(b))
    return a == b or a is b or repr(a) == repr(b)


@pytest.mark.parametrize("features", [["X1"], ["X0", "X2"], ["X2", "X0"]])
def test_frailzone_is_identical_to_a_direct_fit(features):
    x, y, pred, proba = mixed("LogLoss", 3)
    w = np.random.default_rng(0).random(len(y))
    tr, te = np.arange(500), np.arange(500, 700)
    kw = dict(metric={"name": "LogLoss"}, bins=7, min_samples=4, use_test=True)
    scan = WeakRegionScan(None, **kw).fit(x, y, tr, te, prediction=pred, prediction_proba=proba,
                                          sample_weight=w)
    got = scan.frailzone(features)
    direct = FrailZone(None, features, **kw)
    direct.fit(x, y, tr, te, prediction=pred, prediction_proba=proba, sample_weight=w)
    assert deep_equal(vars(got), vars(direct))
    assert deep_equal(got.get_marginal().value, direct.get_marginal().value)


def test_weak_region_limit_is_the_fitting_sets():
    # Regions of a non-additive metric are single weak bins, never merged or size-limited.
    x, y, pred, proba = mixed("AUC", 2)
    tr, te = np.arange(350), np.arange(350, 700)
    scan = WeakRegionScan(None, metric={"name": "AUC"}, min_samples=10_000, pairs=False).fit(
        x, y, tr, te, prediction=pred, prediction_proba=proba)
    assert scan.score_name_ == "AUC" and scan.results_["n_regions"].sum() > 0
    assert scan.test_score_ == pytest.approx(
        __import__("sklearn.metrics").metrics.roc_auc_score(y[te], proba[te]), abs=0)


def unchanged(obj, before):
    return vars(obj).keys() == before.keys() and all(vars(obj)[k] is before[k] for k in before)


def direct_error(features, x, y, tr, te, **kw):
    fit_kw = {k: kw.pop(k) for k in ("prediction", "prediction_proba") if k in kw}
    with pytest.raises(Exception) as info:
        FrailZone(None, features, **kw).fit(x, y, tr, te, **fit_kw)
    return info


@pytest.mark.parametrize("case", ["method", "metric", "no_prediction", "nan_column", "bins",
                                  "unknown_feature"])
def test_refused_fit_raises_as_frailzone_and_keeps_state(case):
    x, y, pred, tr, te = planted(n=400, p=4)
    scan = WeakRegionScan(None).fit(x, y, tr, te, prediction=pred)
    bad_x = x.copy()
    bad_x[5, 3] = np.nan
    args = {"method": ({"method": "Tree"}, x, {"prediction": pred}, ["X0"]),
            "metric": ({"metric": {"name": "RMSE"}}, x, {"prediction": pred}, ["X0"]),
            "no_prediction": ({}, x, {}, ["X0"]),
            "nan_column": ({}, bad_x, {"prediction": pred}, ["X3"]),
            "bins": ({"bins": 0}, x, {"prediction": pred}, ["X0"])}
    if case == "unknown_feature":
        scan.features = ["X0", "nope"]
        before = dict(vars(scan))
        with pytest.raises(ValueError, match="'nope' is not a feature name"):
            scan.fit(x, y, tr, te, prediction=pred)
    else:
        settings, data, fit_kw, features = args[case]
        expected = direct_error(features, data, y, tr, te, **settings, **fit_kw)
        scan.set_params(**settings)
        before = dict(vars(scan))
        with pytest.raises(expected.type) as info:
            scan.fit(data, y, tr, te, **fit_kw)
        assert str(info.value) == str(expected.value)
        if case == "method":
            assert isinstance(info.value, OrrinError)
    assert unchanged(scan, before)


def test_signature_params_clone_and_pickle():
    params = list(inspect.signature(WeakRegionScan).parameters)
    assert params == ["estimator", "task_type", "method", "features", "pairs", "threshold",
                      "bins", "max_depth", "min_samples", "metric", "use_test", "random_state",
                      "progress"]
    scan = WeakRegionScan("model", bins=5, pairs=False)
    assert clone(scan).get_params() == scan.get_params()
    assert repr(scan) == "WeakRegionScan(bins=5, estimator='model', pairs=False)"
    x, y, pred, tr, te = planted(n=300, p=3)
    fitted = WeakRegionScan(None).fit(x, y, tr, te, prediction=pred)
    again = pickle.loads(pickle.dumps(fitted))
    assert again.results_.equals(fitted.results_)
    assert list(fitted.results_.columns) == ["feature_1", "feature_2", "n_regions", "test_share",
                                             "max_gap", "excess", "lift", "top_region"]


def test_progress_bar_and_missing_tqdm(monkeypatch, capsys):
    pytest.importorskip("tqdm")
    x, y, pred, tr, te = planted(n=300, p=3)
    WeakRegionScan(None, progress=True).fit(x, y, tr, te, prediction=pred)
    assert "6/6" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError, match="pip install tqdm"):
        WeakRegionScan(None, progress=True).fit(x, y, tr, te, prediction=pred)
    WeakRegionScan(None).fit(x, y, tr, te, prediction=pred)  # no progress: tqdm never imported


@pytest.mark.parametrize("p, top", [(5, 20), (50, 20)])
def test_plot_draws_the_excess_matrix_and_top_bars(p, top):
    import matplotlib.pyplot as plt

    x, y, pred, tr, te = planted(n=1500, p=max(p, 8))
    features = [f"X{i}" for i in range(p)] if p >= 8 else ["X0", "X2", "X3", "X5", "X7"]
    scan = WeakRegionScan(None, features=features, bins=5).fit(x, y, tr, te, prediction=pred)
    fig = scan.plot(top=top)
    heat, bars = fig.axes[0], fig.axes[1]
    image = heat.images[0].get_array()
    res = scan.results_
    expected = np.full((p, p), np.nan)
    pos = {f: i for i, f in enumerate(features)}
    for row in res.itertuples():
        a = pos[row.feature_1]
        b = pos[row.feature_2] if isinstance(row.feature_2, str) else a
        expected[a, b] = expected[b, a] = row.excess
    np.testing.assert_array_equal(np.ma.filled(image, np.nan), expected)
    assert [t.get_text() for t in heat.get_xticklabels()] == features
    shown = min(top, len(res))
    widths = [patch.get_width() for patch in bars.patches]
    np.testing.assert_array_equal(widths, res["excess"].to_numpy()[:shown])
    labels = [t.get_text() for t in bars.get_yticklabels()]
    names = [f if not isinstance(g, str) else f"{f} x {g}"
             for f, g in zip(res["feature_1"], res["feature_2"])]
    assert labels == names[:shown]
    assert [t.get_text() for t in bars.texts] == list(res["top_region"][:shown])
    plt.close(fig)
