import io

import matplotlib
import numpy as np
import pandas as pd
import pytest
import xgboost as xgb
from matplotlib.figure import Figure

from effect_helpers import booster_with_trees, margin
from orrin.models.interpreter import FANOVAInterpreter
from orrin.models.xgb2.interpret import XGBInterpreter

matplotlib.use("Agg")


@pytest.fixture(scope="module", params=["regressor", "classifier"])
def fitted(request):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(400, 4))
    y = 2 * X[:, 0] + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=400)
    if request.param == "classifier":
        model = xgb.XGBClassifier(n_estimators=40, max_depth=2).fit(X, y > 0)
    else:
        model = xgb.XGBRegressor(n_estimators=40, max_depth=2).fit(X, y)
    interp = XGBInterpreter(model, feature_names=["a", "b", "c", "d"]).fit(X)
    return model, interp, X


def test_importance_table_is_ranked_with_shares_summing_to_one(fitted):
    _, interp, _ = fitted
    table = FANOVAInterpreter(interp).importance_table()
    assert list(table.columns) == ["effect", "fidx", "kind", "importance", "share"]
    assert table["share"].sum() == pytest.approx(1.0)
    assert table["importance"].is_monotonic_decreasing
    assert table["effect"].iloc[0] == "a"
    assert set(table["kind"]) == {"main", "pair"}
    assert "b x c" in set(table["effect"].head(4))


def test_local_explanation_adds_up_to_the_margin(fitted):
    model, interp, X = fitted
    fanova = FANOVAInterpreter(interp)
    rows = np.vstack([X[:50], X[:50] * 4])
    parts = fanova.explain_local(rows)
    assert parts.columns[0] == "intercept"
    np.testing.assert_allclose(parts.sum(axis=1), margin(model.get_booster(), rows), atol=1e-5)
    one = fanova.explain_local(pd.Series(X[3]).to_numpy())
    assert len(one) == 1
    with pytest.raises(ValueError, match="4 columns"):
        fanova.explain_local(X[:, :3])


def test_figures(fitted):
    _, interp, X = fitted
    fanova = FANOVAInterpreter(interp)
    main = fanova.plot_main_effect("a")
    assert isinstance(main, Figure) and len(main.axes) == 2
    heat = fanova.plot_interaction(("c", "b"))
    assert isinstance(heat, Figure)
    figs = fanova.plot_effects(top=3)
    assert list(figs) == list(fanova.importance_table()["effect"].head(3))
    assert isinstance(fanova.plot_importance(), Figure)
    assert isinstance(fanova.plot_local(X[0]), Figure)
    for fig in [main, heat, *figs.values()]:
        buffer = io.BytesIO()
        fig.savefig(buffer, format="png")
        assert buffer.getvalue()[:4] == b"\x89PNG"


@pytest.mark.parametrize("call, match", [
    (lambda f: f.plot_main_effect("nope"), "unknown feature"),
    (lambda f: f.plot_main_effect(9), "out of range"),
    (lambda f: f.plot_interaction(("a", "a")), "no effect"),
])
def test_bad_requests(fitted, call, match):
    _, interp, _ = fitted
    with pytest.raises(ValueError, match=match):
        call(FANOVAInterpreter(interp))


def test_constant_feature_and_no_effects():
    booster = booster_with_trees([(0, 0.0, 1.0, 2.0), 0.5], 2)
    X = np.zeros((10, 2))
    interp = XGBInterpreter(booster).fit(X)
    fanova = FANOVAInterpreter(interp)
    assert isinstance(fanova.plot_main_effect(0), Figure)
    empty = FANOVAInterpreter(XGBInterpreter(booster_with_trees([0.5], 2)).fit(X))
    table = empty.importance_table()
    assert len(table) == 0 and list(table.columns)[-1] == "share"
    np.testing.assert_allclose(empty.explain_local(X)["intercept"], 1.0)
