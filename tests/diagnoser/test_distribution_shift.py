from types import SimpleNamespace

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression

from orrin.diagnoser import frailzone as fz
from orrin.diagnoser.utils import calculate_distance
from orrin.exceptions import OrrinError

REMAINING = "Distribution Shift: Weak vs Remaining Regions"
FULL = "Distribution Shift: Weak vs Full Regions"
CONFIG = ["slice_features", "bins", "threshold_value", "method", "min_samples", "metric"]


def diagnoser(n_features=3, use_test=True, n=40):
    """A fitted-looking diagnoser: weak region [0, 0.3) on feature 0 of the fitted rows."""
    x = np.random.default_rng(0).random((n, n_features))
    f = fz.FrailZone(None, ["f0"], method="tree", bins=7, threshold=1.5)
    f.x, f.train_idx, f.test_idx = x, np.arange(0, n, 2), np.arange(1, n, 2)
    f.feature_names = [f"f{i}" for i in range(n_features)]
    f.feature_types = ["numerical"] * (n_features - 1) + ["categorical"]
    rows = x[f.test_idx] if use_test else x[f.train_idx]
    f.diag = SimpleNamespace(weak_region_stats=[{"lb1": 0.0, "ub1": 0.3}], x=rows, fidx=[0],
                             use_test=use_test)
    return f, rows


@pytest.mark.parametrize("use_test", [True, False])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
def test_groups_are_formed_over_the_fitted_rows(use_test, compare_to):
    f, rows = diagnoser(use_test=use_test)
    weak = rows[:, 0] < 0.3
    reference = rows[~weak] if compare_to == "remaining" else rows
    label = "Remaining Regions" if compare_to == "remaining" else "Full Regions"
    data = f.get_shift(compare_to=compare_to).value["data"]
    assert list(data.columns) == f.feature_names + ["resi_type_"]
    assert list(data.index) == list(range(len(reference) + weak.sum()))
    assert data.resi_type_.tolist() == [label] * len(reference) + ["Weak Regions"] * weak.sum()
    np.testing.assert_array_equal(data[f.feature_names], np.vstack([reference, rows[weak]]))
    dist = f.get_distance(compare_to=compare_to).value
    expected = np.array([calculate_distance(reference[:, i], rows[weak][:, i]) for i in range(3)])
    order = np.argsort(expected)[::-1]
    assert dist["x"] == [f.feature_names[i] for i in order]
    np.testing.assert_array_equal(dist["y"], np.round(expected[order], 4))
    assert dist["title"] == (REMAINING if compare_to == "remaining" else FULL)


def test_record_keys_and_configuration():
    f, _ = diagnoser()
    dist, shift = f.get_distance("quantile", "KS"), f.get_shift("f2", "full")
    assert dist.key == "resilience_shift_histogram" and shift.key == "frailzone_shift"
    assert list(dist.value) == ["purpose", "distance_metric"] + CONFIG + ["title", "x", "y"]
    assert list(shift.value) == ["title", "show_feature"] + CONFIG + ["feature_type", "data"]
    expected = [["f0"], 7, 1.5, "tree", 20, None]
    assert [dist.value[k] for k in CONFIG] == expected == [shift.value[k] for k in CONFIG]
    assert (dist.value["purpose"], dist.value["distance_metric"]) == ("diagnose", "KS")
    assert (shift.value["title"], shift.value["show_feature"], shift.value["feature_type"]) == (
        FULL, "f2", "categorical")
    default = f.get_shift().value
    assert (default["title"], default["show_feature"], default["feature_type"]) == (
        REMAINING, "f0", "numerical")


@pytest.mark.parametrize("n_features, listed", [(3, 3), (10, 10), (14, 10)])
def test_at_most_ten_features_listed(n_features, listed):
    value = diagnoser(n_features=n_features)[0].get_distance().value
    assert len(value["x"]) == len(value["y"]) == listed and np.all(np.diff(value["y"]) <= 0)


def test_ordering_uses_unrounded_distances_and_ties_reverse(monkeypatch):
    calls = []

    def fake(reference, weak, **kw):
        calls.append((len(reference), len(weak), kw))
        return [0.12341, 0.12344, 0.5, 0.5][len(calls) - 1]

    monkeypatch.setattr(fz, "calculate_distance", fake)
    f, rows = diagnoser(n_features=4)
    value = f.get_distance("quantile", "WD1", "full").value
    assert value["x"] == ["f3", "f2", "f1", "f0"]
    np.testing.assert_array_equal(value["y"], [0.5, 0.5, 0.1234, 0.1234])
    kw = {"buckettype": "quantile", "method": "WD1"}
    assert calls == [(len(rows), int(np.sum(rows[:, 0] < 0.3)), kw)] * 4


@pytest.mark.parametrize("compare_to", ["Remaining", "Full", "", None, 3, ["remaining"],
                                        np.array(["remaining", "full"])])
def test_unsupported_compare_to(compare_to):
    f, _ = diagnoser()
    for method in (f.get_distance, f.get_shift):
        with pytest.raises(OrrinError, match=r"^Unsupported value of compare_to\.$"):
            method(compare_to=compare_to)


def test_unknown_show_feature_and_bad_positions(monkeypatch):
    f, rows = diagnoser()
    monkeypatch.setattr(f, "get_target_idx", None, raising=False)  # nothing past the lookup runs
    with pytest.raises(ValueError, match="not in list"):
        f.get_shift("nope")
    monkeypatch.setattr(f, "get_target_idx", lambda: np.array([0, len(rows)]), raising=False)
    with pytest.raises(IndexError, match="outside"):
        f.get_distance()


def test_end_to_end_with_training_split_fit():
    rng = np.random.default_rng(5)
    x = rng.random((3000, 4))
    y = x[:, 0] + np.where(x[:, 0] > 0.7, rng.normal(size=3000), 0.0)
    # Unequal splits: positions within the training rows exceed the test split's length.
    train, test = np.arange(2500), np.arange(2500, 3000)
    f = fz.FrailZone(LinearRegression().fit(x, y), ["X0"], method="tree", use_test=False)
    f.fit(x, y, train, test)
    weak = f.get_target_idx()
    data = f.get_shift().value["data"]
    assert weak.max() >= len(test) and len(data) == len(train)
    np.testing.assert_array_equal(
        data.loc[data.resi_type_ == "Weak Regions", f.feature_names].to_numpy(), x[train][weak])
    assert f.get_distance().value["x"][0] == "X0"


def psi_with_the_service(f, compare_to):
    """The unrounded PSI of every feature, each computed by the distance service."""
    rows = f.x[f.test_idx if f.diag.use_test else f.train_idx]
    pos = f.get_target_idx()
    keep = np.ones(len(rows), dtype=bool)
    keep[pos] = False
    reference = rows if compare_to == "full" else rows[keep]
    return np.array([calculate_distance(reference[:, i], rows[pos][:, i])
                     for i in range(rows.shape[1])])


@pytest.mark.parametrize("use_test", [True, False])
@pytest.mark.parametrize("compare_to", ["remaining", "full"])
@pytest.mark.parametrize("column", ["normal", "integers", "constant", "nan", "inf", "tiny"])
def test_counted_psi_equals_the_service(use_test, compare_to, column, monkeypatch):
    f, rows = diagnoser(n_features=4, use_test=use_test, n=3000)
    rng = np.random.default_rng(1)
    f.x[:, 1] = rng.normal(size=len(f.x)) + (f.x[:, 0] < 0.3)
    f.x[:, 2] = {"normal": rng.normal(size=len(f.x)), "integers": rng.integers(0, 4, len(f.x)),
                 "constant": np.full(len(f.x), 2.5), "nan": np.where(f.x[:, 3] < 0.1, np.nan, 1.0),
                 "inf": np.where(f.x[:, 3] < 0.1, np.inf, f.x[:, 3]),
                 "tiny": 1.0 + 1e-16 * rng.integers(0, 3, len(f.x))}[column]
    f.diag.x = f.x[f.test_idx] if use_test else f.x[f.train_idx]
    with np.errstate(all="ignore"):
        want = psi_with_the_service(f, compare_to)
        got = f.get_distance(compare_to=compare_to).value
    order = np.argsort(want)[::-1][:10]
    assert got["x"] == [f.feature_names[i] for i in order]
    np.testing.assert_array_equal(got["y"], np.round(want[order], 4))
    # The service itself, called for every feature, gives the same record.
    monkeypatch.setattr(fz, "calculate_distance", lambda a, b, **kw: calculate_distance(a, b, **kw))
    with np.errstate(all="ignore"):
        slow = f.get_distance(compare_to=compare_to).value
    assert slow["x"] == got["x"]
    np.testing.assert_array_equal(slow["y"], got["y"])
