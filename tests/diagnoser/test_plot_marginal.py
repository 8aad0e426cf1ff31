"""FrailZone.plot_marginal, checked through the data that ends up on the figure."""

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
import scipy.stats  # noqa: E402
from matplotlib.colors import to_rgba  # noqa: E402

from orrin.diagnoser import frailzone as fz  # noqa: E402
from orrin.exceptions import OrrinInfo  # noqa: E402
from orrin.utils import TestDataResult  # noqa: E402

LIGHT = to_rgba("#c0dbec")
DARK = to_rgba("#69a5cf")


plot_marginal = fz.FrailZone.plot_marginal


pytestmark = pytest.mark.filterwarnings(
    "ignore:Attempting to set identical low and high xlims",  # a constant slice column
    "ignore:Converting input from bool:RuntimeWarning",  # numpy's reference on booleans
)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def rule(lb, ub, value):
    return {"splits": {"f0": {"lb": lb, "ub": ub}}, "values": value, "counts": 1}


def record(x, fidx, regions, rules=None, scores=None, threshold=0.5, sign=-1, additive=True,
           use_test=False, bins=10, score_name="MSE"):
    x = np.asarray(x)
    if scores is None:
        scores = np.random.default_rng(1).random(len(x))
    value = {
        "slice_features": [f"f{i}" for i in fidx], "bins": bins, "method": "histogram",
        "min_samples": 20, "metric": None, "weak_region_stats": regions, "fidx": list(fidx),
        "rule_list": rules, "x": x, "y": np.zeros(len(x)), "threshold_value": threshold,
        "score_name": score_name, "_sign": sign, "scores": scores, "use_test": use_test,
        "is_metric_additive": additive,
        "feature_names": [f"f{i}" for i in range(x.shape[1])],
    }
    return TestDataResult(key="frailzone_plot", value=value)


# Reference drawing data, written directly from the plot's rules with numpy and scipy.

def ref_curve(x0, rules, grid):
    xgrid = np.linspace(np.min(x0), np.max(x0), grid)
    ygrid = np.zeros(grid)
    for r in rules:
        lb, ub, v = r["splits"]["f0"]["lb"], r["splits"]["f0"]["ub"], r["values"]
        upper = (xgrid <= ub) if ub == np.max(x0) else (xgrid < ub)
        loc = np.where((xgrid >= lb) & upper)[0]
        if len(loc):
            ygrid[loc] = v
            continue
        below = np.where(xgrid < lb)[0]
        idx_low = below[-1] if len(below) else -1
        idx_up = np.where(xgrid >= ub)[0][0]
        xgrid = np.hstack([xgrid[:idx_low + 1], np.linspace(lb, ub, 10), xgrid[idx_up:]])
        ygrid = np.hstack([ygrid[:idx_low + 1], np.full(10, v), ygrid[idx_up:]])
    return xgrid, ygrid


def ref_histogram(v, bins, split=None):
    n = min(len(np.unique(v)), bins)
    density, edges = np.histogram(v, bins=n, density=True)
    xint = ((edges[1:] + edges[:-1]) / 2).ravel()
    width = xint[1] - xint[0] if len(xint) >= 2 else 0.8
    share = None
    if split is not None:
        # scipy cannot round a boolean sample; the plot reads such a column as 0.0 / 1.0
        sample = v.astype(float) if v.dtype == bool else v
        mean = scipy.stats.binned_statistic(sample, split, statistic="mean", bins=edges).statistic
        share = density * mean
    return xint, density, width, share


def ref_map(x0, x1, regions, grid):
    img = np.zeros((grid, grid)) - 1
    g0 = np.linspace(x0.min(), x0.max(), grid)
    g1 = np.linspace(x1.min(), x1.max(), grid)
    labels = []
    for idx, r in enumerate(regions):
        if r["ub1"] == x0.max():
            loc1 = np.where((g0 >= r["lb1"]) & (g0 <= r["ub1"]))[0]
            loc11 = np.where((x0 >= r["lb1"]) & (x0 <= r["ub1"]))[0]
        else:
            loc1 = np.where((g0 >= r["lb1"]) & (g0 < r["ub1"]))[0]
            loc11 = np.where((x0 >= r["lb1"]) & (x0 < r["ub1"]))[0]
        if len(loc11) and r["ub2"] == np.max(x1[loc11]):
            loc2 = np.where((g1 >= r["lb2"]) & (g1 <= r["ub2"]))[0]
        else:
            loc2 = np.where((g1 >= r["lb2"]) & (g1 < r["ub2"]))[0]
        img[np.ix_(loc1, loc2)] = idx % 5
        if len(loc1) and len(loc2):
            locy = (np.mean(loc2) - 0.015 * grid) / grid
            locx = (np.mean(loc1) - 0.01 * grid) / grid
            labels.append((str(idx), locx, locy))
    return img, labels


def bar_data(ax, horizontal=False):
    """(positions, lengths, thicknesses, face colour, edge colour) of each bar set on ax."""
    out = []
    for container in ax.containers:
        patches = list(container)
        if horizontal:
            pos = np.array([p.get_y() + p.get_height() / 2 for p in patches])
            length = np.array([p.get_width() for p in patches])
            thick = np.array([p.get_height() for p in patches])
        else:
            pos = np.array([p.get_x() + p.get_width() / 2 for p in patches])
            length = np.array([p.get_height() for p in patches])
            thick = np.array([p.get_width() for p in patches])
        out.append((pos, length, thick, patches[0].get_facecolor(), patches[0].get_edgecolor()))
    return out


RNG = np.random.default_rng(7)
X = RNG.normal(size=(400, 3))
X0 = X[:, 1]

ONE_FEATURE_RULES = {
    "plain bins": [rule(e0, e1, v) for e0, e1, v in zip(
        np.linspace(X0.min(), X0.max(), 6)[:-1], np.linspace(X0.min(), X0.max(), 6)[1:],
        [0.2, 0.4, 0.9, 0.3, 0.1])],
    "narrow rules refine the grid": [rule(-1.0, 0.5, 0.7), rule(0.6, 0.6001, 1.3),
                                     rule(0.61, 0.6102, 1.1)],
    "rule at the maximum": [rule(0.0, X0.max(), 0.9)],
    "zero-width rule at the minimum": [rule(X0.min(), X0.min(), 2.0), rule(0.0, 1.0, 0.4)],
    "nan score": [rule(-1.0, 0.0, np.nan), rule(0.0, 1.0, 0.8)],
}


@pytest.mark.parametrize("grid", [2, 7, 1000])
@pytest.mark.parametrize("case", list(ONE_FEATURE_RULES))
def test_score_curve_equals_reference(case, grid):
    rules = ONE_FEATURE_RULES[case]
    fig = plot_marginal(record(X, [1], [{"lb1": -1.0, "ub1": 0.5, "train_MSE": 0.7}], rules),
                        grid=grid)
    line = fig.axes[0].lines[0]
    xs, ys = ref_curve(X0, rules, grid)
    np.testing.assert_array_equal(line.get_xdata(), xs)
    np.testing.assert_array_equal(line.get_ydata(), ys)
    assert line.get_color() == "black" and line.get_linewidth() == 1


def test_rule_before_first_grid_point_is_inserted_at_the_start():
    # No grid point lies below lb: the ten points open the curve instead of failing.
    lo = X0.min()
    fig = plot_marginal(record(X, [1], [{"lb1": lo, "ub1": lo, "train_MSE": 2.0}],
                               [rule(lo, lo, 2.0)]), grid=50)
    line = fig.axes[0].lines[0]
    np.testing.assert_array_equal(line.get_xdata()[:10], np.full(10, lo))
    np.testing.assert_array_equal(line.get_ydata()[:10], np.full(10, 2.0))
    assert len(line.get_xdata()) == 60


@pytest.mark.parametrize("threshold, values", [
    (0.5, [0.2, 0.9]),
    (-0.3, [0.1, -0.8]),
    (2e-4, [1e-4, 3e-4]),  # all within 1e-3 of zero: padding scales with the values
])
def test_threshold_line_and_y_limits(threshold, values):
    rules = [rule(-1.0, 0.0, values[0]), rule(0.0, 1.0, values[1])]
    fig = plot_marginal(record(X, [1], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": values[1]}],
                               rules, threshold=threshold))
    ax = fig.axes[0]
    _, ys = ref_curve(X0, rules, 1000)
    lo, hi = min(threshold, np.nanmin(ys)), max(threshold, np.nanmax(ys))
    absmax = max(abs(lo), abs(hi))
    span = hi - lo
    pad = 0.1 * absmax if absmax < 0.001 else 0.001
    assert ax.get_ylim() == (lo - 0.15 * span - pad, hi + 0.15 * span + pad)
    hline = ax.lines[1]
    assert list(hline.get_ydata()) == [threshold, threshold]
    assert (hline.get_linestyle(), hline.get_linewidth(), hline.get_color()) == ("--", 0.5, "red")


@pytest.mark.parametrize("use_test, key", [(False, "train_MSE"), (True, "test_MSE")])
def test_one_feature_region_numbers_and_labels(use_test, key):
    regions = [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9, "test_MSE": 0.8},
               {"lb1": -2.0, "ub1": -1.0, "train_MSE": 0.7, "test_MSE": 0.6}]
    rules = [rule(-2.0, -1.0, 0.7), rule(0.0, 1.0, 0.9)]
    fig = plot_marginal(record(X, [1], regions, rules, use_test=use_test))
    ax_main, ax_bottom = fig.axes
    _, ys = ref_curve(X0, rules, 1000)
    rise = 0.02 * (np.nanmax(ys) - np.nanmin(ys))
    texts = ax_main.texts
    assert [t.get_text() for t in texts] == ["0", "1"]
    for t, r in zip(texts, regions):
        locx = r["lb1"] + 0.55 * (r["ub1"] - r["lb1"]) - 0.01 * (X0.max() - X0.min())
        assert t.xy == (locx, r[key] + rise)
        assert t.get_color() == "red"
    assert ax_main.get_title() == "Weak Regions" and ax_main.title.get_fontsize() == 15
    assert ax_main.get_ylabel() == "MSE"
    assert all(lbl.get_text() == "" for lbl in ax_main.get_xticklabels())
    assert ax_main.get_xlim() == (X0.min(), X0.max())
    assert ax_bottom.get_xlabel() == "f1" and ax_bottom.get_ylabel() == "Density"
    assert ax_bottom.get_xlim() == (X0.min(), X0.max())


COLUMNS = {
    "continuous": RNG.normal(size=300),
    "on bin edges": np.repeat(np.linspace(0.0, 1.0, 11), 5),
    "few distinct integers": RNG.integers(0, 4, size=200),
    "constant": np.full(50, 3.0),
    "booleans": RNG.random(60) < 0.3,
}


@pytest.mark.parametrize("sign", [-1, 1])
@pytest.mark.parametrize("column", list(COLUMNS))
def test_one_feature_histogram_equals_numpy_and_scipy(column, sign):
    v = COLUMNS[column]
    x = np.column_stack([v, v])
    scores = np.random.default_rng(3).random(len(v))
    threshold = 0.4
    res = record(x, [0], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}], [rule(0.0, 1.0, 0.9)],
                 scores=scores, threshold=threshold, sign=sign)
    fig = plot_marginal(res)
    ax = fig.axes[1]
    xint, density, width, share = ref_histogram(v, 10, sign * scores <= sign * threshold)
    (pos, heights, widths, face, edge), (pos2, heights2, widths2, face2, _) = bar_data(ax)
    np.testing.assert_allclose(pos, xint, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(heights, density)
    np.testing.assert_array_equal(heights2, share)
    np.testing.assert_allclose(np.hstack([widths, widths2]), width, rtol=1e-12, atol=0)
    assert face == LIGHT and face2 == DARK and edge == to_rgba("black")
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    expected = ["Below threshold", "Above threshold"]
    assert labels == (expected if sign == -1 else expected[::-1])
    assert ax.get_legend().get_texts()[0].get_fontsize() == 8


def test_non_additive_metric_draws_only_light_bars():
    fig = plot_marginal(record(X, [1], [{"lb1": 0.0, "ub1": 1.0, "train_R2": 0.2}],
                               [rule(0.0, 1.0, 0.2)], additive=False, sign=1, score_name="R2",
                               scores=np.full(len(X), np.nan)))
    bars = bar_data(fig.axes[1])
    assert len(bars) == 1 and bars[0][3] == LIGHT
    assert fig.axes[1].get_legend() is None


X2 = np.column_stack([RNG.uniform(0, 10, 500), RNG.normal(size=500), RNG.uniform(-5, 5, 500)])


def two_feature_regions():
    x0, x1 = X2[:, 0], X2[:, 2]
    in_first = (x0 >= 2.0) & (x0 < 4.0)
    return {
        "disjoint": [{"lb1": 2.0, "ub1": 4.0, "lb2": -5.0, "ub2": 0.0},
                     {"lb1": 6.0, "ub1": x0.max(), "lb2": 1.0, "ub2": 3.0}],
        "second bound at the bin's maximum": [
            {"lb1": 2.0, "ub1": 4.0, "lb2": 0.0, "ub2": x1[in_first].max()}],
        "overlapping, later wins": [{"lb1": 0.0, "ub1": 8.0, "lb2": -4.0, "ub2": 4.0},
                                    {"lb1": 3.0, "ub1": 5.0, "lb2": -1.0, "ub2": 1.0}],
        "numbers repeat every five": [
            {"lb1": float(i), "ub1": i + 1.0, "lb2": -5.0, "ub2": 5.0} for i in range(7)],
        "no grid point in one direction": [{"lb1": 2.0, "ub1": 2.0001, "lb2": 0.0, "ub2": 1.0},
                                           {"lb1": 5.0, "ub1": 6.0, "lb2": 0.0, "ub2": 1.0}],
    }


@pytest.mark.parametrize("grid", [3, 50, 1000])
@pytest.mark.parametrize("case", list(two_feature_regions()))
def test_region_map_equals_reference(case, grid):
    regions = two_feature_regions()[case]
    fig = plot_marginal(record(X2, [0, 2], regions), grid=grid)
    ax_main = fig.axes[0]
    image = ax_main.images[0]
    img, labels = ref_map(X2[:, 0], X2[:, 2], regions, grid)
    np.testing.assert_array_equal(image.get_array(), np.flipud(img.T))
    assert [(t.get_text(), *t.xy) for t in ax_main.texts] == labels
    assert all(t.get_color() == "black" and t.xycoords == "axes fraction" for t in ax_main.texts)
    extent = [X2[:, 0].min(), X2[:, 0].max(), X2[:, 2].min(), X2[:, 2].max()]
    assert list(image.get_extent()) == extent
    assert image.get_interpolation() == "nearest"


def test_many_rows_draw_like_the_reference():
    # Enough rows that the panels and the conditional maxima are counted in two parts;
    # rounded values put ties and values on the edges in both parts.
    rng = np.random.default_rng(17)
    n = 300_001
    x = np.column_stack([np.round(rng.uniform(0, 10, n), 2), rng.normal(size=n),
                         np.round(rng.uniform(-5, 5, n), 1)])
    in_first = (x[:, 0] >= 2.0) & (x[:, 0] < 4.0)
    regions = [{"lb1": 2.0, "ub1": 4.0, "lb2": 0.0, "ub2": x[in_first, 2].max()},
               {"lb1": 6.0, "ub1": 10.0, "lb2": -2.0, "ub2": 1.5}]
    scores = rng.random(n)
    fig = plot_marginal(record(x, [0, 2], regions, scores=scores, threshold=0.3), grid=200)
    ax_main, ax_bottom, ax_left = fig.axes
    img, labels = ref_map(x[:, 0], x[:, 2], regions, 200)
    np.testing.assert_array_equal(ax_main.images[0].get_array(), np.flipud(img.T))
    assert [(t.get_text(), *t.xy) for t in ax_main.texts] == labels
    extent = [x[:, 0].min(), x[:, 0].max(), x[:, 2].min(), x[:, 2].max()]
    assert list(ax_main.images[0].get_extent()) == extent
    split = -scores <= -0.3
    for ax, v, horizontal in ((ax_bottom, x[:, 0], False), (ax_left, x[:, 2], True)):
        _, density, _, share = ref_histogram(v, 10, split)
        (_, length, _, _, _), (_, length2, _, _, _) = bar_data(ax, horizontal)
        np.testing.assert_array_equal(length, density)
        np.testing.assert_array_equal(length2, share)


@pytest.mark.parametrize("ub2, closed", [(6.0, True), (5.0, False)])
def test_second_bound_closes_at_the_largest_value_of_its_rows(ub2, closed):
    # Rows with 2 <= x0 < 5 have x1 in {3, 6, 4}; the grid points are the integers 0..10.
    x = np.column_stack([np.arange(11.0), [0, 9, 3, 6, 4, 2, 10, 1, 5, 7, 8]])
    regions = [{"lb1": 2.0, "ub1": 5.0, "lb2": 0.0, "ub2": ub2}]
    fig = plot_marginal(record(x, [0, 1], regions), grid=11)
    img = np.flipud(fig.axes[0].images[0].get_array()).T
    assert bool(img[2, int(ub2)] == 0) is closed
    np.testing.assert_array_equal(img, ref_map(x[:, 0], x[:, 1], regions, 11)[0])


def test_region_without_rows_in_first_interval_keeps_open_bound():
    # No row lies in [lb1, ub1): the second upper bound stays open instead of failing.
    x = np.array([[0.0, 0.0], [10.0, 4.0], [9.0, 1.0]])
    regions = [{"lb1": 2.0, "ub1": 5.0, "lb2": 0.0, "ub2": 4.0}]
    fig = plot_marginal(record(x, [0, 1], regions), grid=5)
    img = np.flipud(fig.axes[0].images[0].get_array()).T
    rows = np.linspace(0.0, 10.0, 5)
    inside = (rows >= 2.0) & (rows < 5.0)
    np.testing.assert_array_equal(img[inside][:, :4], np.zeros((inside.sum(), 4)))
    assert (img[:, 4] == -1).all()  # ub2 = 4 is the column maximum, yet left open


def test_every_region_number_gets_its_own_colour():
    regions = [{"lb1": float(i), "ub1": i + 1.0, "lb2": -5.0, "ub2": 5.0} for i in range(5)]
    fig = plot_marginal(record(X2, [0, 2], regions), grid=100)
    image = fig.axes[0].images[0]
    assert (image.norm.vmin, image.norm.vmax) == (-1, 5)
    colours = [tuple(image.cmap(image.norm(v))) for v in range(-1, 5)]
    assert colours[0] == (1.0, 1.0, 1.0, 1.0)
    assert len(set(colours)) == 6  # region 0 is not white, and all five colours are used
    dark2 = plt.get_cmap("Dark2").colors[:5]
    np.testing.assert_allclose([c[:3] for c in colours[1:]], dark2, atol=1e-12)
    assert image.cmap.name == "Dark2withWhite" and image.cmap.N == 6


def test_two_feature_panels():
    scores = np.random.default_rng(5).random(len(X2))
    res = record(X2, [0, 2], [{"lb1": 2.0, "ub1": 4.0, "lb2": -5.0, "ub2": 0.0}],
                 scores=scores, threshold=0.3, sign=-1)
    fig = plot_marginal(res)
    ax_main, ax_bottom, ax_left = fig.axes
    split = -scores <= -0.3
    for ax, v, horizontal in ((ax_bottom, X2[:, 0], False), (ax_left, X2[:, 2], True)):
        xint, density, width, share = ref_histogram(v, 10, split)
        (pos, length, thick, face, _), (_, length2, _, face2, _) = bar_data(ax, horizontal)
        np.testing.assert_allclose(pos, xint, rtol=1e-12, atol=1e-12)
        np.testing.assert_array_equal(length, density)
        np.testing.assert_array_equal(length2, share)
        np.testing.assert_allclose(thick, width, rtol=1e-12, atol=0)
        assert face == LIGHT and face2 == DARK
        assert ax.get_legend() is None
    assert ax_bottom.get_xlabel() == "f0" and ax_left.get_ylabel() == "f2"
    assert ax_main.get_title() == "Weak Regions"
    assert all(t.get_text() == "" for t in ax_main.get_xticklabels() + ax_main.get_yticklabels())
    assert all(t.get_text() == "" for t in ax_bottom.get_yticklabels())
    assert all(t.get_text() == "" for t in ax_left.get_xticklabels())


def test_no_weak_region_raises_info_before_any_figure():
    before = plt.get_fignums()
    with pytest.raises(OrrinInfo, match="^No weak regions detected.$"):
        plot_marginal(record(X, [1], [], [rule(0.0, 1.0, 0.2)]))
    assert plt.get_fignums() == before


def test_returns_the_figure_it_showed(monkeypatch):
    shown = []
    monkeypatch.setattr(fz.plt, "show", lambda *a, **k: shown.append(plt.gcf()))
    fig = plot_marginal(record(X, [1], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}],
                               [rule(0.0, 1.0, 0.9)]), figsize=(4, 3))
    assert shown == [fig]
    assert tuple(fig.get_size_inches()) == (4, 3)


@pytest.mark.parametrize("fidx, expected", [([1], [("f1", 0)]), ([0, 2], [("f0", 0), ("f2", 1)])])
@pytest.mark.parametrize("scaler", [None, "a scaler"])
def test_tick_scaling_only_with_a_scaler(monkeypatch, fidx, expected, scaler):
    calls = []
    monkeypatch.setattr(fz, "scale_plot_ticks", lambda **kw: calls.append(kw))
    regions = [{"lb1": 2.0, "ub1": 4.0, "lb2": -5.0, "ub2": 0.0, "train_MSE": 0.9}]
    fig = plot_marginal(record(X2, fidx, regions, [rule(2.0, 4.0, 0.9)]), scaler=scaler)
    if scaler is None:
        assert calls == []
        return
    axes = [fig.axes[1], fig.axes[2]] if len(fidx) == 2 else [fig.axes[1]]
    assert [(c["feature"], c["axis"]) for c in calls] == expected
    assert [c["ax"] for c in calls] == axes and all(c["scaler"] == scaler for c in calls)
    assert all(list(c) == ["ax", "feature", "scaler", "axis"] for c in calls)


def test_real_scaler_relabels_ticks_in_original_units():
    from sklearn.preprocessing import StandardScaler

    raw = pd.DataFrame({"f0": RNG.uniform(100, 200, 300), "f1": RNG.normal(size=300)})
    scaler = StandardScaler().fit(raw)
    x = scaler.transform(raw)
    fig = plot_marginal(record(x, [0], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}],
                               [rule(0.0, 1.0, 0.9)]), scaler=scaler)
    ax = fig.axes[1]
    ticks = ax.get_xticks()
    shown = [float(t.get_text()) for t in ax.get_xticklabels()]
    expected = ticks * scaler.scale_[0] + scaler.mean_[0]
    np.testing.assert_allclose(shown, expected, rtol=1e-3)


@pytest.mark.parametrize("grid, error", [
    (1, ValueError), (0, ValueError), (-3, ValueError), (2.0, TypeError), (2.5, TypeError),
    ("100", TypeError), (None, TypeError), (True, TypeError), (10**30, ValueError),
])
def test_bad_grid_is_refused_before_drawing(grid, error):
    before = plt.get_fignums()
    with pytest.raises(error, match="grid"):
        plot_marginal(record(X, [1], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}],
                             [rule(0.0, 1.0, 0.9)]), grid=grid)
    assert plt.get_fignums() == before


@pytest.mark.parametrize("fidx, grid", [([1], 2**24 + 1), ([0, 2], 2**14 + 1)])
def test_grid_beyond_what_memory_holds_is_refused(fidx, grid):
    regions = [{"lb1": 0.0, "ub1": 1.0, "lb2": 0.0, "ub2": 1.0, "train_MSE": 0.9}]
    before = plt.get_fignums()
    with pytest.raises(ValueError, match="grid must be at most"):
        plot_marginal(record(X2, fidx, regions, [rule(0.0, 1.0, 0.9)]), grid=grid)
    assert plt.get_fignums() == before


def test_numpy_integer_grid_is_accepted():
    fig = plot_marginal(record(X, [1], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}],
                               [rule(0.0, 1.0, 0.9)]), grid=np.int32(20))
    assert len(fig.axes[0].lines[0].get_xdata()) == 20


def _with(res, **changes):
    res.value.update(changes)
    return res


BASE_REGION = [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}]


@pytest.mark.parametrize("make, error, match", [
    (lambda: _with(record(X, [1], BASE_REGION, [rule(0.0, 1.0, 0.9)]), x=X[:, 1]),
     ValueError, "two-dimensional"),
    (lambda: record(np.where(X > 1.5, np.nan, X), [1], BASE_REGION, [rule(0.0, 1.0, 0.9)]),
     ValueError, "NaN"),
    (lambda: record(X, [1], BASE_REGION, [rule(0.0, 1.0, 0.9)], scores=np.zeros(3)),
     ValueError, "scores"),
    (lambda: record(X, [1], BASE_REGION, [rule(1.0, 0.0, 0.9)]), ValueError, "rule_list"),
    (lambda: record(X, [1], BASE_REGION, [rule(np.nan, 0.0, 0.9)]), ValueError, "rule_list"),
    (lambda: record(X, [1], BASE_REGION, None), TypeError, "rule_list"),
    (lambda: record(X, [7], BASE_REGION, [rule(0.0, 1.0, 0.9)]), IndexError, None),
    (lambda: record(X.astype(complex), [1], BASE_REGION, [rule(0.0, 1.0, 0.9)]),
     TypeError, "real numbers, got dtype complex128"),
    (lambda: record(np.array([["a", "b"]] * 5, dtype=object), [1], BASE_REGION,
                    [rule(0.0, 1.0, 0.9)]), TypeError, "x column f1 must hold real numbers"),
    (lambda: record(X, [1], BASE_REGION, [rule(0.0, 1.0, 0.9)], bins=0), ValueError, "bins"),
    (lambda: record(X, [1], [{"lb1": 0.0}], [rule(0.0, 1.0, 0.9)]), KeyError, "ub1"),
    (lambda: record(X[:0], [1], BASE_REGION, [rule(0.0, 1.0, 0.9)], scores=np.zeros(0)),
     ValueError, "no rows"),
    (lambda: record(X, [0, 2], [{"lb1": 0.0, "ub1": 1.0}]), KeyError, "lb2"),
    (lambda: _with(record(X, [1], BASE_REGION, [rule(0.0, 1.0, 0.9)]), fidx=[]),
     ValueError, "fidx"),
])
def test_bad_records_raise_before_drawing(make, error, match):
    res = make()
    before = plt.get_fignums()
    with pytest.raises(error, match=match):
        plot_marginal(res)
    assert plt.get_fignums() == before


@pytest.mark.parametrize("threshold", [np.nan, np.inf])
def test_a_failure_while_drawing_closes_the_figure(threshold):
    res = _with(record(X, [1], BASE_REGION, [rule(0.0, 1.0, 0.9)]), threshold_value=threshold)
    before = plt.get_fignums()
    with pytest.raises(ValueError, match="Axis limits"):
        plot_marginal(res)
    assert plt.get_fignums() == before


@pytest.mark.parametrize("convert", [
    lambda x: x.astype(np.float32).astype(np.float64),
    lambda x: pd.DataFrame(x),
    lambda x: np.asfortranarray(x),
    lambda x: x.astype(object),
    lambda x: np.repeat(x, 2, axis=1)[:, ::2],
])
def test_array_likes_draw_like_float64(convert):
    base = X.astype(np.float32).astype(np.float64)
    rules = [rule(0.0, 1.0, 0.9)]
    ref = plot_marginal(record(base, [1], BASE_REGION, rules))
    fig = plot_marginal(record(convert(base), [1], BASE_REGION, rules))
    np.testing.assert_array_equal(fig.axes[0].lines[0].get_ydata(),
                                  ref.axes[0].lines[0].get_ydata())
    assert [b[1].tolist() for b in bar_data(fig.axes[1])] == \
        [b[1].tolist() for b in bar_data(ref.axes[1])]


def _unaligned(a):
    buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.ndarray(a.shape, dtype=a.dtype, buffer=buf, offset=1)
    out[...] = a
    return out


LAYOUTS = {
    "reversed rows": lambda a: a[::-1],
    "big-endian": lambda a: a.astype(">f8"),
    "unaligned": _unaligned,
    "every other row": lambda a: np.repeat(a, 2, axis=0)[::2],
    "float32": lambda a: a.astype(np.float32),
    "integers": lambda a: np.round(a * 100).astype(np.int64),
    "fortran": np.asfortranarray,
}


def _drawn(fig):
    ax_main, ax_bottom, ax_left = fig.axes
    return (ax_main.images[0].get_array().tolist(), [t.xy for t in ax_main.texts],
            [b[1].tolist() for b in bar_data(ax_bottom)],
            [b[1].tolist() for b in bar_data(ax_left, True)])


@pytest.mark.parametrize("target", ["x", "scores"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_two_features_draw_alike_whatever_the_memory_layout(layout, target):
    # Read in place or converted, a column draws exactly as its plain float64 copy.
    data = {"x": X2, "scores": np.random.default_rng(3).random(len(X2))}
    data[target] = LAYOUTS[layout](data[target])
    plain = dict(data, **{target: np.array(data[target], dtype=np.float64, order="C")})
    regions = [{"lb1": 2.0, "ub1": 4.0, "lb2": -5.0, "ub2": 0.0},
               {"lb1": 200.0, "ub1": 600.0, "lb2": -300.0, "ub2": 100.0}]
    ref = plot_marginal(record(plain["x"], [0, 2], regions, scores=plain["scores"]), grid=40)
    got = plot_marginal(record(data["x"], [0, 2], regions, scores=data["scores"]), grid=40)
    assert _drawn(got) == _drawn(ref)


# Bins narrower than about 1e-300 are left out: there scipy's rounding of values onto the
# last edge overflows and drops the maximum, where the plot counts it in the last bin.
finite = st.floats(-1e6, 1e6, allow_nan=False, allow_subnormal=False).filter(
    lambda f: f == 0.0 or abs(f) > 1e-250)


@settings(max_examples=60, deadline=None)
@given(values=st.lists(st.one_of(finite, st.sampled_from([0.0, 0.1, 0.2, 0.3, 1.0])),
                       min_size=1, max_size=200),
       bins=st.integers(1, 25), sign=st.sampled_from([-1, 1]))
def test_histogram_bars_equal_numpy_and_scipy_on_any_column(values, bins, sign):
    v = np.array(values)
    scores = np.arange(len(v)) % 3 / 2.0
    res = record(np.column_stack([v, v]), [0], [{"lb1": 0.0, "ub1": 1.0, "train_MSE": 0.9}],
                 [rule(v.min(), v.max(), 0.5)], scores=scores, threshold=0.5, sign=sign,
                 bins=bins)
    try:
        xint, density, _, share = ref_histogram(v, bins, sign * scores <= sign * 0.5)
    except ValueError:
        with pytest.raises(ValueError, match="Too many bins"):
            plot_marginal(res)
        return
    fig = plot_marginal(res)
    (pos, heights, *_), (_, heights2, *_) = bar_data(fig.axes[1])
    np.testing.assert_allclose(pos, xint, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(heights, density)
    np.testing.assert_array_equal(heights2, share)
    plt.close("all")


@pytest.mark.parametrize("features", [["x1"], ["x1", "x3"]])
@pytest.mark.parametrize("method", ["histogram", "tree"])
def test_plot_of_a_fitted_diagnoser(method, features):
    from sklearn.linear_model import LinearRegression

    rng = np.random.default_rng(11)
    x = rng.uniform(-1, 1, size=(1200, 4))
    y = x[:, 0] + np.where(x[:, 1] > 0.3, 3.0, 0.3) * rng.normal(size=1200)
    model = LinearRegression().fit(x, y)
    diag = fz.FrailZone(model, features, task_type="regression", method=method,
                        min_samples=20, use_test=True)
    names = ["x0", "x1", "x2", "x3"]
    diag.fit(x, y, np.arange(600), np.arange(600, 1200), prediction=model.predict(x),
             feature_names=names)
    res = diag.get_marginal()
    stats = res.value["weak_region_stats"]
    assert stats, "the noisy half of x1 must show up as a weak region"
    fig = fz.FrailZone.plot_marginal(res, grid=200)
    xs = res.value["x"]
    if len(features) == 1:
        ref_x, ref_y = ref_curve(xs[:, 1], res.value["rule_list"], 200)
        np.testing.assert_array_equal(fig.axes[0].lines[0].get_xdata(), ref_x)
        np.testing.assert_array_equal(fig.axes[0].lines[0].get_ydata(), ref_y)
        assert [t.get_text() for t in fig.axes[0].texts] == [str(i) for i in range(len(stats))]
    else:
        img, labels = ref_map(xs[:, 1], xs[:, 3], stats, 200)
        np.testing.assert_array_equal(fig.axes[0].images[0].get_array(), np.flipud(img.T))
        assert [(t.get_text(), *t.xy) for t in fig.axes[0].texts] == labels
