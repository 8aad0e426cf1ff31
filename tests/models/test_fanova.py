import numpy as np
import pytest
import xgboost as xgb
from matplotlib.figure import Figure

from orrin.models.interpreter import FANOVAInterpreter
from orrin.models.xgb2.interpret import XGBInterpreter


@pytest.fixture(scope="module", params=["regressor", "classifier"])
def fitted(request):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 4))
    y = X[:, 0] + X[:, 1] * X[:, 2] + 0.2 * rng.normal(size=300)
    if request.param == "classifier":
        model = xgb.XGBClassifier(n_estimators=30, max_depth=2, n_jobs=1).fit(X, y > 0)
    else:
        model = xgb.XGBRegressor(n_estimators=30, max_depth=2, n_jobs=1).fit(X, y)
    interp = XGBInterpreter(model, feature_names=["a", "b", "c", "d"]).fit(X)
    return model, interp, FANOVAInterpreter(interp), X


def test_importance_table_is_ranked_with_shares_summing_to_one(fitted):
    _, interp, fanova, _ = fitted
    table = fanova.importance_table()
    assert list(table.columns) == ["effect", "type", "fidx", "importance", "share"]
    assert len(table) == len(interp.effects_["1D"]) + len(interp.effects_["2D"])
    assert table["importance"].is_monotonic_decreasing
    assert table["share"].sum() == pytest.approx(1.0)
    assert table["effect"].iloc[0] in ("a", "b x c")
    assert set(table["type"]) == {"main", "pair"}


def test_local_explanation_adds_up_to_the_margin(fitted):
    model, _, fanova, X = fitted
    rows = np.vstack([X[:20], X[:5] * 4])
    local = fanova.explain_local(rows)
    assert local.columns[0] == "intercept" and local.columns[-1] == "margin"
    parts = local.drop(columns="margin").sum(axis=1).to_numpy()
    np.testing.assert_allclose(parts, local["margin"], rtol=0, atol=1e-12)
    expected = model.get_booster().predict(xgb.DMatrix(rows), output_margin=True)
    np.testing.assert_allclose(local["margin"], expected, rtol=0, atol=1e-5)


@pytest.mark.parametrize("effect, axes", [("a", 2), (0, 2), ((1, 2), 2), ((2, 1), 2),
                                          ("b x c", 2)])
def test_effect_figures(fitted, effect, axes, tmp_path):
    _, _, fanova, _ = fitted
    fig = fanova.plot_effect(effect)
    assert isinstance(fig, Figure)
    assert len(fig.axes) == axes  # step + distribution, or heatmap + colour bar
    fig.savefig(tmp_path / "effect.png")
    assert (tmp_path / "effect.png").stat().st_size > 0


def test_main_figure_draws_the_step_function_over_the_data_range(fitted):
    _, interp, fanova, X = fitted
    fig = fanova.plot_main("a")
    steps = fig.axes[0].patches[0]
    record = interp.effects_["1D"]["a"]
    assert fig.axes[0].get_xlim()[0] <= X[:, 0].min()
    assert fig.axes[0].get_xlim()[1] >= X[:, 0].max()
    np.testing.assert_array_equal(steps.get_data().values, record["values"])


@pytest.mark.parametrize("call, effect", [
    ("plot_main", "b x c"), ("plot_pair", "a"), ("plot_effect", "zzz"),
    ("plot_effect", (0, 0)), ("plot_effect", (0, 1, 2)), ("plot_effect", 9),
])
def test_unknown_or_mismatched_effects(fitted, call, effect):
    _, _, fanova, _ = fitted
    with pytest.raises(ValueError):
        getattr(fanova, call)(effect)


def test_importance_figure(fitted):
    _, _, fanova, _ = fitted
    fig = fanova.plot_importance(top_n=3)
    assert len(fig.axes[0].patches) == 3


def test_example_writes_the_effect_figures(tmp_path):
    import pathlib
    import runpy

    path = pathlib.Path(__file__).resolve().parents[2] / "examples" / "interpret_xgb2.py"
    written = runpy.run_path(str(path))["main"](str(tmp_path))
    assert len(written) >= 10
    assert all(pathlib.Path(p).stat().st_size > 0 and p.endswith(".png") for p in written)
