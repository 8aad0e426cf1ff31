import numpy as np
import pytest
from scipy import stats
from sklearn import metrics as skm
from sklearn.linear_model import LinearRegression, LogisticRegression
from sklearn.preprocessing import MinMaxScaler, StandardScaler

from orrin.diagnoser.base import BaseDiagnoser
from orrin.diagnoser.utils import calculate_distance, get_scoring_metric
from orrin.exceptions import OrrinError, OrrinInfo, OrrinWarning
from orrin.plots import scale_plot_ticks
from orrin.utils import TestDataResult

rng = np.random.default_rng(7)


def test_exception_classes():
    assert issubclass(OrrinWarning, Warning)
    for cls in (OrrinInfo, OrrinError):
        with pytest.raises(cls, match="boom"):
            raise cls("boom")


def test_result_record_is_keyword_only_and_readable():
    with pytest.raises(TypeError):
        TestDataResult("k", {})
    value = {"a": 1, "b": [1, 2]}
    record = TestDataResult(key="frailzone_result", value=value)
    assert record.value is value and record.key == "frailzone_result"
    assert "frailzone_result" in repr(record) and "'a'" in repr(record)


@pytest.mark.parametrize(
    "name, sign, needs_proba, additive",
    [
        ("MSE", -1, False, True),
        ("MAE", -1, False, True),
        ("R2", 1, False, False),
        ("ACC", 1, False, True),
        ("F1", 1, False, False),
        ("AUC", 1, True, False),
        ("LogLoss", -1, True, True),
        ("Brier", -1, True, True),
    ],
)
def test_metric_table(name, sign, needs_proba, additive):
    score_name, score_sign, func, proba, is_additive = get_scoring_metric({"name": name})
    assert (score_name, score_sign, proba, is_additive) == (name, sign, needs_proba, additive)
    assert callable(func)


def test_default_metric_is_mse():
    assert get_scoring_metric(None)[0] == "MSE"


@pytest.mark.parametrize("metric", [{"name": "mse"}, {"name": "RMSE"}, "MSE", {}])
def test_unknown_metric_lists_known_names(metric):
    with pytest.raises(OrrinError, match="MSE"):
        get_scoring_metric(metric)


def _labels_and_probs(n=200):
    y = rng.integers(0, 2, n)
    p = np.clip(0.5 * y + 0.5 * rng.uniform(size=n), 0, 1)
    return y, p


@pytest.mark.parametrize("weighted", [False, True])
def test_additive_metrics_match_scikit_learn(weighted):
    y = rng.normal(size=300)
    p = y + rng.normal(size=300)
    w = rng.uniform(size=300) if weighted else None
    _, _, mse, _, _ = get_scoring_metric({"name": "MSE"})
    _, _, mae, _, _ = get_scoring_metric({"name": "MAE"})
    np.testing.assert_array_equal(mse(y, p), (y - p) ** 2)
    assert mse(y, p, sample_weight=w) == pytest.approx(skm.mean_squared_error(y, p, sample_weight=w))
    assert mae(y, p, sample_weight=w) == pytest.approx(skm.mean_absolute_error(y, p, sample_weight=w))

    labels, probs = _labels_and_probs(300)
    _, _, acc, _, _ = get_scoring_metric({"name": "ACC"})
    _, _, logloss, _, _ = get_scoring_metric({"name": "LogLoss"})
    _, _, brier, _, _ = get_scoring_metric({"name": "Brier"})
    hard = (probs > 0.5).astype(int)
    assert acc(labels, hard).dtype == np.float64
    assert acc(labels, hard, sample_weight=w) == pytest.approx(skm.accuracy_score(labels, hard, sample_weight=w))
    assert logloss(labels, probs, sample_weight=w) == pytest.approx(skm.log_loss(labels, probs, sample_weight=w))
    assert brier(labels, probs, sample_weight=w) == pytest.approx(
        skm.brier_score_loss(labels, probs, sample_weight=w))


def test_log_loss_is_finite_at_certain_wrong_predictions():
    _, _, logloss, _, _ = get_scoring_metric({"name": "LogLoss"})
    scores = logloss(np.array([1, 0]), np.array([0.0, 1.0]))
    assert np.all(np.isfinite(scores)) and scores[0] == pytest.approx(-np.log(1e-15))


@pytest.mark.parametrize("weighted", [False, True])
def test_whole_set_metrics_match_scikit_learn(weighted):
    labels, probs = _labels_and_probs()
    w = rng.uniform(size=labels.size) if weighted else None
    hard = (probs > 0.5).astype(int)
    y = rng.normal(size=labels.size)
    p = y + rng.normal(size=labels.size)
    r2 = get_scoring_metric({"name": "R2"})[2]
    f1 = get_scoring_metric({"name": "F1"})[2]
    auc = get_scoring_metric({"name": "AUC"})[2]
    assert r2(y, p, sample_weight=w) == pytest.approx(skm.r2_score(y, p, sample_weight=w))
    assert r2(y, p) == pytest.approx(skm.r2_score(y, p))
    assert f1(labels, hard, sample_weight=w) == pytest.approx(skm.f1_score(labels, hard, sample_weight=w))
    assert auc(labels, probs, sample_weight=w) == pytest.approx(skm.roc_auc_score(labels, probs, sample_weight=w))


def test_auc_of_one_class_is_nan():
    auc = get_scoring_metric({"name": "AUC"})[2]
    assert np.isnan(auc(np.ones(5), np.linspace(0, 1, 5)))


def test_scorers_pickle():
    import pickle

    func = get_scoring_metric({"name": "MAE"})[2]
    again = pickle.loads(pickle.dumps(func))
    np.testing.assert_array_equal(again([1.0, 2.0], [2.0, 0.0]), [1.0, 2.0])


def _psi_reference(ref, weak, edges, eps=1e-6):
    ref_counts = np.histogram(np.clip(ref, edges[0], edges[-1]), bins=edges)[0]
    weak_counts = np.histogram(np.clip(weak, edges[0], edges[-1]), bins=edges)[0]
    p = np.maximum(ref_counts / ref.size, eps)
    q = np.maximum(weak_counts / weak.size, eps)
    return np.sum((q - p) * np.log(q / p))


def test_distances_match_direct_computations():
    ref = rng.normal(size=500)
    weak = rng.normal(0.7, 1.3, size=120)
    edges = np.linspace(ref.min(), ref.max(), 11)
    assert calculate_distance(ref, weak) == pytest.approx(_psi_reference(ref, weak, edges))
    qedges = np.quantile(ref, np.linspace(0, 1, 11))
    assert calculate_distance(ref, weak, buckettype="quantile") == pytest.approx(_psi_reference(ref, weak, qedges))
    assert calculate_distance(ref, weak, method="WD1") == pytest.approx(stats.wasserstein_distance(ref, weak))
    assert calculate_distance(ref, weak, method="KS") == pytest.approx(stats.ks_2samp(ref, weak).statistic)


@pytest.mark.parametrize("method", ["PSI", "WD1", "KS"])
def test_distance_grows_with_shift_and_is_zero_for_same_sample(method):
    ref = rng.normal(size=1000)
    assert calculate_distance(ref, ref, method=method) == pytest.approx(0.0, abs=1e-12)
    near = calculate_distance(ref, ref + 0.2, method=method)
    far = calculate_distance(ref, ref + 2.0, method=method)
    assert 0 < near < far


def test_distance_of_constant_reference_is_defined():
    assert np.isfinite(calculate_distance(np.ones(10), np.array([1.0, 3.0])))


@pytest.mark.parametrize("kwargs", [{"method": "psi"}, {"buckettype": "bins"}])
def test_distance_rejects_unknown_options(kwargs):
    with pytest.raises(OrrinError):
        calculate_distance(np.arange(5.0), np.arange(3.0), **kwargs)


def test_distance_rejects_empty_samples():
    with pytest.raises(ValueError):
        calculate_distance(np.arange(5.0), np.array([]))


@pytest.mark.parametrize("axis", [0, 1])
@pytest.mark.parametrize("form", ["frame", "single", "dict"])
def test_scale_plot_ticks_relabels_in_original_units(axis, form):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd

    raw = pd.DataFrame({"a": rng.normal(50, 10, 100), "b": rng.normal(-3, 2, 100)})
    if form == "frame":
        scaler = StandardScaler().fit(raw)
    elif form == "single":
        scaler = MinMaxScaler().fit(raw[["b"]].to_numpy())
    else:
        scaler = {"b": StandardScaler().fit(raw[["b"]].to_numpy())}
    one = scaler["b"] if isinstance(scaler, dict) else scaler
    scaled = one.transform(raw if form == "frame" else raw[["b"]].to_numpy())
    column = scaled[:, 1] if form == "frame" else scaled[:, 0]
    fig, ax = plt.subplots()
    if axis == 0:
        ax.plot(column, np.zeros_like(column))
    else:
        ax.plot(np.zeros_like(column), column)
    scale_plot_ticks(ax=ax, feature="b", scaler=scaler, axis=axis)
    ticks = ax.get_xticks() if axis == 0 else ax.get_yticks()
    labels = [t.get_text() for t in (ax.get_xticklabels() if axis == 0 else ax.get_yticklabels())]
    std, mean = raw["b"].std(ddof=0), raw["b"].mean()
    if form == "single":
        expected = ticks * (raw["b"].max() - raw["b"].min()) + raw["b"].min()
    else:
        expected = ticks * std + mean
    np.testing.assert_allclose([float(s.replace("\u2212", "-")) for s in labels], expected, rtol=1e-3, atol=1e-3)
    plt.close(fig)


class _Model:
    def __init__(self, classifier):
        self.classifier = classifier

    def predict(self, x):
        return np.asarray(x)[:, 0] > 0 if self.classifier else np.asarray(x)[:, 0] * 2

    def predict_proba(self, x):
        p = 1 / (1 + np.exp(-np.asarray(x)[:, 0]))
        return np.column_stack([1 - p, p])


def test_base_diagnoser_defaults_call_the_model():
    x = rng.normal(size=(20, 3))
    y = rng.normal(size=20)
    diag = BaseDiagnoser(_Model(False), "regression", 3)
    assert (diag.estimator is not None, diag.task_type, diag.random_state) == (True, "regression", 3)
    diag.fit(x, y, np.arange(10), np.arange(10, 20))
    np.testing.assert_array_equal(diag.pred, x[:, 0] * 2)
    assert diag.pred_proba is None and diag.sample_weight is None
    assert diag.feature_names == ["X0", "X1", "X2"] and diag.feature_types == ["numerical"] * 3

    clf = BaseDiagnoser(_Model(True), "classification").fit(x, y > 0, np.arange(10), np.arange(10, 20))
    np.testing.assert_allclose(clf.pred_proba, 1 / (1 + np.exp(-x[:, 0])))


def test_base_diagnoser_keeps_column_one_of_probabilities_and_frame_names():
    import pandas as pd

    x = pd.DataFrame(rng.normal(size=(8, 2)), columns=["u", "v"])
    proba = rng.uniform(size=(8, 2))
    diag = BaseDiagnoser(None).fit(x, np.zeros(8), [0, 1, 2], np.array([True] * 4 + [False] * 4),
                                   prediction=np.zeros(8), prediction_proba=proba)
    np.testing.assert_array_equal(diag.pred_proba, proba[:, 1])
    np.testing.assert_array_equal(diag.test_idx, [0, 1, 2, 3])
    assert diag.feature_names == ["u", "v"] and isinstance(diag.x, np.ndarray)


def test_base_diagnoser_with_real_estimators():
    x = rng.normal(size=(60, 2))
    y = x @ [1.0, -2.0]
    reg = LinearRegression().fit(x, y)
    diag = BaseDiagnoser(reg).fit(x, y, np.arange(30), np.arange(30, 60))
    np.testing.assert_allclose(diag.pred, reg.predict(x))
    clf = LogisticRegression().fit(x, y > 0)
    diag = BaseDiagnoser(clf).fit(x, y > 0, np.arange(30), np.arange(30, 60))
    np.testing.assert_allclose(diag.pred_proba, clf.predict_proba(x)[:, 1])


@pytest.mark.parametrize(
    "change, error, match",
    [
        ({"x": np.zeros(10)}, ValueError, "x must be a two-dimensional"),
        ({"y": np.zeros(9)}, ValueError, "y has 9"),
        ({"train_idx": [0, 10]}, ValueError, "train_idx holds positions outside"),
        ({"test_idx": [0.5, 1.0]}, TypeError, "test_idx must hold integer"),
        ({"test_idx": np.array([True, False])}, ValueError, "test_idx as a boolean mask"),
        ({"train_idx": []}, ValueError, "at least one row"),
        ({"sample_weight": np.ones(3)}, ValueError, "sample_weight has 3"),
        ({"sample_weight": np.full(10, np.nan)}, ValueError, "sample_weight must hold finite"),
        ({"prediction": np.ones(4)}, ValueError, "prediction has 4"),
        ({"feature_names": ["a"]}, ValueError, "feature_names has 1"),
        ({"feature_types": ["numerical"]}, ValueError, "feature_types has 1"),
    ],
)
def test_base_diagnoser_rejects_bad_input_before_storing(change, error, match):
    args = {"x": rng.normal(size=(10, 2)), "y": np.zeros(10), "train_idx": np.arange(5),
            "test_idx": np.arange(5, 10), "prediction": np.zeros(10)}
    args.update(change)
    diag = BaseDiagnoser(None)
    with pytest.raises(error, match=match):
        diag.fit(**args)
    assert not hasattr(diag, "x")


def test_base_diagnoser_without_estimator_or_task_type():
    diag = BaseDiagnoser(None).fit(np.zeros((4, 1)), np.zeros(4), [0, 1], [2, 3], prediction=np.zeros(4))
    assert diag.pred_proba is None
