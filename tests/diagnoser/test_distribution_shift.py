from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LinearRegression

from orrin.diagnoser import frailzone as fz
from orrin.diagnoser.utils import calculate_distance
from orrin.exceptions import OrrinError

REMAINING = "Distribution Shift: Weak vs Remaining Regions"
FULL = "Distribution Shift: Weak vs Full Regions"


def diagnoser(n_features=3, use_test=True, n=40, seed=0):
    """A fitted-looking diagnoser: weak region [0, 0.3) on feature 0 of the fitted rows."""
    rng = np.random.default_rng(seed)
    x = rng.random((n, n_features))
    f = fz.FrailZone(None, ["f0"], method="tree")
    f.x = x
    f.train_idx = np.arange(0, n, 2)
    f.test_idx = np.arange(1, n, 2)
    f.feature_names = [f"f{i}" for i in range(n_features)]
    f.feature_types = ["numerical"] * (n_features - 1) + ["categorical"]
    fit_rows = x[f.test_idx] if use_test else x[f.train_idx]
    f.diag = SimpleNamespace(weak_region_stats=[{"lb1": 0.0, "ub1": 0.3}], x=fit_rows, fidx=[0],
                             use_test=use_test)
    return f, fit_rows


@pytest.mark.parametrize("use_test", [True, False])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
def test_groups_are_formed_over_the_fitted_rows(use_test, compare_to):
    f, rows = diagnoser(use_test=use_test)
    weak = rows[:, 0] < 0.3
    data = f.get_shift(compare_to=compare_to).value["data"]
    label = "Remaining Regions" if compare_to == "remaining" else "Full Regions"
    reference = rows[~weak] if compare_to == "remaining" else rows
    np.testing.assert_array_equal(data.loc[data.resi_type_ == label, f.feature_names], reference)
    np.testing.assert_array_equal(data.loc[data.resi_type_ == "Weak Regions", f.feature_names],
                                  rows[weak])
    dist = f.get_distance(compare_to=compare_to).value
    expected = [calculate_distance(reference[:, i], rows[weak][:, i]) for i in range(3)]
    order = np.argsort(expected)[::-1]
    assert dist["x"] == [f.feature_names[i] for i in order]
    np.testing.assert_array_equal(dist["y"], np.round(np.array(expected)[order], 4))


def test_distance_record_keys_and_configuration():
    f, _ = diagnoser()
    f.bins, f.threshold, f.min_samples, f.metric = 7, 1.5, 11, {"name": "MAE"}
    record = f.get_distance("quantile", "KS")
    assert record.key == "resilience_shift_histogram"
    assert list(record.value) == ["purpose", "distance_metric", "slice_features", "bins",
                                  "threshold_value", "method", "min_samples", "metric", "title",
                                  "x", "y"]
    v = record.value
    assert (v["purpose"], v["distance_metric"], v["bins"], v["threshold_value"]) == (
        "diagnose", "KS", 7, 1.5)
    assert (v["method"], v["min_samples"], v["metric"], v["title"]) == (
        "tree", 11, {"name": "MAE"}, REMAINING)


@pytest.mark.parametrize("n_features, listed", [(3, 3), (10, 10), (14, 10)])
def test_at_most_ten_features_listed(n_features, listed):
    f, _ = diagnoser(n_features=n_features)
    value = f.get_distance().value
    assert len(value["x"]) == listed and len(value["y"]) == listed
    assert np.all(np.diff(value["y"]) <= 0)


def test_ordering_uses_unrounded_distances_and_ties_reverse(monkeypatch):
    distances = iter([0.12341, 0.12344, 0.5, 0.5])
    monkeypatch.setattr(fz, "calculate_distance", lambda *a, **k: next(distances))
    f, _ = diagnoser(n_features=4)
    value = f.get_distance().value
    assert value["x"] == ["f3", "f2", "f1", "f0"]
    np.testing.assert_array_equal(value["y"], [0.5, 0.5, 0.1234, 0.1234])


def test_distance_service_receives_reference_then_weak_and_keywords(monkeypatch):
    calls = []

    def record(reference, weak, **kw):
        calls.append((len(reference), len(weak), kw))
        return 0.0

    monkeypatch.setattr(fz, "calculate_distance", record)
    f, rows = diagnoser(n_features=2)
    n_weak = int(np.count_nonzero(rows[:, 0] < 0.3))
    f.get_distance("quantile", "WD1", "full")
    assert calls == [(len(rows), n_weak, {"buckettype": "quantile", "method": "WD1"})] * 2


@pytest.mark.parametrize("compare_to", ["Remaining", "Full", "", None, 3, ["remaining"],
                                        np.array(["remaining", "full"])])
def test_unsupported_compare_to(compare_to):
    f, _ = diagnoser()
    with pytest.raises(OrrinError, match=r"^Unsupported value of compare_to\.$"):
        f.get_distance(compare_to=compare_to)
    with pytest.raises(OrrinError, match=r"^Unsupported value of compare_to\.$"):
        f.get_shift(compare_to=compare_to)


def test_shift_defaults_and_record():
    f, rows = diagnoser()
    record = f.get_shift()
    assert record.key == "frailzone_shift"
    assert list(record.value) == ["title", "show_feature", "slice_features", "bins",
                                  "threshold_value", "method", "min_samples", "metric",
                                  "feature_type", "data"]
    v = record.value
    assert (v["title"], v["show_feature"], v["feature_type"]) == (REMAINING, "f0", "numerical")
    data = v["data"]
    assert list(data.columns) == ["f0", "f1", "f2", "resi_type_"]
    assert list(data.index) == list(range(len(rows)))
    assert set(data.resi_type_) == {"Remaining Regions", "Weak Regions"}
    first_weak = data.resi_type_.eq("Weak Regions").idxmax()
    assert (data.resi_type_.iloc[first_weak:] == "Weak Regions").all()


def test_shift_full_repeats_weak_rows():
    f, rows = diagnoser()
    v = f.get_shift("f2", "full").value
    n_weak = int(np.count_nonzero(rows[:, 0] < 0.3))
    assert (v["title"], v["feature_type"]) == (FULL, "categorical")
    assert len(v["data"]) == len(rows) + n_weak
    assert v["data"].resi_type_.value_counts().to_dict() == {"Full Regions": len(rows),
                                                             "Weak Regions": n_weak}


def test_shift_unknown_feature_is_a_value_error_before_anything_else():
    f, _ = diagnoser()
    f.diag = None  # nothing past the lookup may run
    with pytest.raises(ValueError, match="not in list"):
        f.get_shift("nope")


def test_positions_outside_the_fitted_rows_are_refused(monkeypatch):
    f, rows = diagnoser()
    monkeypatch.setattr(f, "get_target_idx", lambda: np.array([0, len(rows)]), raising=False)
    with pytest.raises(IndexError, match="outside"):
        f.get_distance()


def test_end_to_end_with_training_split_fit():
    rng = np.random.default_rng(5)
    n = 3000
    x = rng.random((n, 4))
    y = x[:, 0] + np.where(x[:, 0] > 0.7, rng.normal(size=n), 0.0)
    model = LinearRegression().fit(x, y)
    # Unequal splits: positions of the training rows exceed the test split's length.
    train, test = np.arange(2500), np.arange(2500, n)
    f = fz.FrailZone(model, ["X0"], method="tree", use_test=False)
    f.fit(x, y, train, test)
    weak = f.get_target_idx()
    assert weak.max() >= len(test)
    data = f.get_shift().value["data"]
    assert len(data) == len(train)
    np.testing.assert_array_equal(
        data.loc[data.resi_type_ == "Weak Regions", f.feature_names].to_numpy(), x[train][weak])
    assert f.get_distance().value["x"][0] == "X0"
    assert isinstance(data, pd.DataFrame)
