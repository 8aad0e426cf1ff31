"""FrailZone on dask arrays against the in-memory diagnoser on the same rows."""
import numpy as np
import pytest

da = pytest.importorskip("dask.array")

from orrin.diagnoser.frailzone import FrailZone  # noqa: E402
from orrin.exceptions import OrrinError  # noqa: E402

RTOL = 1e-12


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    n = 4000
    X = rng.normal(size=(n, 4))
    X[:, 2] = np.round(X[:, 2])          # few distinct values: fewer bins than asked
    X[:, 3] = np.where(X[:, 3] > 1.0, 1.0, X[:, 3])  # many rows on the maximum
    y = X[:, 0] ** 2 + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=n)
    pred = X[:, 0] + 0.5
    w = rng.uniform(0.2, 2.0, size=n)
    w[::17] = 0.0
    train = np.sort(rng.choice(n, 2800, replace=False))
    test = np.setdiff1d(np.arange(n), train)
    return X, y, pred, w, train, test


def fitted(data, features, dask_input, weights=False, use_test=False, method="histogram",
           mask=False, metric=None):
    X, y, pred, w, train, test = data
    fz = FrailZone(None, features, task_type="regression", bins=6, min_samples=10,
                   use_test=use_test, method=method, metric=metric, threshold=1.1)
    x, tr, te = X, train, test
    if dask_input:
        x = da.from_array(X, chunks=(650, 4))
        if mask:
            m_tr = np.zeros(len(X), bool)
            m_tr[train] = True
            tr = da.from_array(m_tr, chunks=650)
            te = ~tr
    fz.fit(x, y, tr, te, prediction=pred, sample_weight=w if weights else None)
    return fz


def assert_close(a, b):
    if isinstance(a, dict):
        assert list(a) == list(b)
        for k in a:
            assert_close(a[k], b[k])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for p, q in zip(a, b):
            assert_close(p, q)
    elif hasattr(b, "compute"):
        raise AssertionError("compute the lazy parts first")
    elif isinstance(a, (int, np.integer)) and not isinstance(a, bool):
        assert a == b
    else:
        np.testing.assert_allclose(a, b, rtol=RTOL)


CASES = [(["X0"], True, False), (["X3"], False, True), (["X0", "X1"], False, False),
         (["X2", "X0"], True, True), (["X3", "X2"], False, True)]


@pytest.mark.parametrize("features,weights,use_test", CASES)
def test_histogram_fit_equals_in_memory(client, data, features, weights, use_test):
    ref = fitted(data, features, False, weights, use_test)
    got = fitted(data, features, True, weights, use_test, mask=use_test)
    assert ref.output is not None and len(ref.output) > 0
    assert list(got.output.columns) == list(ref.output.columns)
    counts = ["#Test", "#Train"]
    np.testing.assert_array_equal(got.output[counts].values, ref.output[counts].values)
    bounds = [c for c in ref.output.columns if c.startswith("[") or c.endswith(")")]
    np.testing.assert_array_equal(got.output[bounds].values, ref.output[bounds].values)
    np.testing.assert_allclose(got.output.drop(columns=counts + bounds).values,
                               ref.output.drop(columns=counts + bounds).values, rtol=RTOL)
    d, r = got.diag, ref.diag
    assert d.fidx == r.fidx
    np.testing.assert_array_equal(d.bins1d, r.bins1d)
    np.testing.assert_allclose(d.threshold_value, r.threshold_value, rtol=RTOL)
    assert_close(r.weak_region, d.weak_region)
    assert_close(r.rule_list, d.rule_list)
    import dask

    # The per-sample scores of each region ("... All") are lazy: compute them in one go.
    stats = dask.compute(d.weak_region_stats)[0]
    assert_close(r.weak_region_stats, stats)
    if len(features) == 2:
        assert_close(r.bin_stats, d.bin_stats)
    target = got.get_target_idx()
    assert isinstance(target, da.Array)
    np.testing.assert_array_equal(target.compute(), ref.get_target_idx())
    assert got.get_result().value["threshold_value"] == d.threshold_value
    marginal = got.get_marginal().value
    assert isinstance(marginal["x"], da.Array) and marginal["fidx"] == r.fidx


@pytest.mark.parametrize("metric,compare_to", [("PSI", "remaining"), ("PSI", "full"),
                                               ("KS", "remaining"), ("WD1", "full")])
def test_distances(client, data, metric, compare_to):
    ref = fitted(data, ["X0"], False, use_test=True)
    got = fitted(data, ["X0"], True, use_test=True)
    want = ref.get_distance(distance_metric=metric, compare_to=compare_to).value
    have = got.get_distance(distance_metric=metric, compare_to=compare_to).value
    assert have["title"] == want["title"]
    if metric == "PSI":  # counts over the same buckets: exact
        assert have["x"] == want["x"]
        np.testing.assert_array_equal(have["y"], want["y"])
        return
    # KS within half a grid cell's largest mass, WD1 within half a cell's width.
    X = data[0][data[5]]
    from orrin._dask.frailzone import DISTANCE_GRID

    for name, value in zip(have["x"], have["y"]):
        j = int(name[1:])
        exact = want["y"][want["x"].index(name)]
        col = X[:, j]
        if metric == "KS":
            # A group's share of a cell is at most the cell's rows over the group's size.
            n_weak = len(ref.get_target_idx())
            cells = np.histogram(col, bins=DISTANCE_GRID)[0]
            bound = 0.5 * cells.max() / min(n_weak, len(col) - n_weak)
        else:
            bound = 0.5 * (col.max() - col.min()) / DISTANCE_GRID
        assert abs(value - exact) <= bound + 1e-4  # the record rounds to 4 decimals


def test_shift_is_a_lazy_frame_equal_to_in_memory(client, data):
    ref = fitted(data, ["X0", "X1"], False, use_test=True)
    got = fitted(data, ["X0", "X1"], True, use_test=True)
    for compare_to in ("remaining", "full"):
        want = ref.get_shift(show_feature="X1", compare_to=compare_to).value
        have = got.get_shift(show_feature="X1", compare_to=compare_to).value
        frame = have.pop("data")
        assert hasattr(frame, "compute")
        import pandas as pd

        # The label column comes back in dask's string dtype.
        pd.testing.assert_frame_equal(frame.compute(), want.pop("data"), check_dtype=False)
        assert have == want
    with pytest.raises(OrrinError, match="compare_to"):
        got.get_shift(compare_to="Full")


def test_plot_marginal_on_a_dask_fit(client, data):
    import matplotlib

    matplotlib.use("Agg")
    got = fitted(data, ["X0", "X1"], True)
    fig = FrailZone.plot_marginal(got.get_marginal())
    assert fig is not None


def test_tree_method_gathers_the_slicing_columns(client, data):
    ref = fitted(data, ["X0", "X2"], False, method="tree")
    got = fitted(data, ["X0", "X2"], True, method="tree")
    np.testing.assert_allclose(got.output.values, ref.output.values, rtol=RTOL)
    np.testing.assert_array_equal(got.get_target_idx().compute(), ref.get_target_idx())


def test_refusals_are_clear(client, data):
    with pytest.raises(OrrinError, match="not a mean of per-sample scores"):
        fitted(data, ["X0"], True, metric={"name": "R2"})
    X, y, pred, w, train, test = data
    bad = X.copy()
    bad[test[3], 0] = np.nan
    fz = FrailZone(None, ["X0"], task_type="regression")
    with pytest.raises(ValueError) as expected:
        fz.fit(bad, y, train, test, prediction=pred)
    with pytest.raises(ValueError) as got:
        fz.fit(da.from_array(bad, chunks=(500, 4)), y, train, test, prediction=pred)
    assert str(got.value) == str(expected.value)
    ref = fitted(data, ["X0"], False, use_test=True)
    dfit = fitted(data, ["X0"], True, use_test=True)
    with pytest.raises(OrrinError, match="quantile"):
        dfit.get_distance(psi_buckets="quantile")
    assert ref.get_distance(psi_buckets="quantile") is not None
