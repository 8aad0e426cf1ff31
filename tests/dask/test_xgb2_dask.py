"""XGB2 on dask collections against the same model and rows in memory."""
import numpy as np
import pytest

da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")

from orrin.models.xgb2.interpret import XGBInterpreter  # noqa: E402
from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor  # noqa: E402


def chunked(a, rows=700):
    return da.from_array(a, chunks=(rows,) + a.shape[1:])


@pytest.fixture(scope="module")
def weighted_fit(client, regression_data):
    X, y = regression_data
    w = np.random.default_rng(1).uniform(0, 2, size=len(y))
    w[::9] = 0
    model = XGB2Regressor(n_estimators=30, mono_increasing_list=("X0",))
    model.fit(chunked(X), chunked(y), chunked(w))
    return model, X, y, w


def assert_same_effects(got, want):
    assert got.keys() == want.keys()
    for key in ("1D", "2D"):
        assert list(got[key]) == list(want[key])
        for name, record in want[key].items():
            other = got[key][name]
            assert other["fidx"] == record["fidx"]
            for field in ("values", "importance") + (("counts",) if key == "1D" else ()):
                np.testing.assert_array_equal(other[field], record[field])
            for a, b in zip(other["split_unique_list"], record["split_unique_list"]):
                np.testing.assert_array_equal(a, b)


def test_fit_keeps_dask_rows_and_an_in_memory_estimator(weighted_fit):
    model, X, y, w = weighted_fit
    import xgboost

    assert type(model.estimator_) is xgboost.XGBRegressor
    assert isinstance(model.X_, da.Array)
    np.testing.assert_array_equal(model.X_.compute(), X[w > 0])
    reference = XGB2Regressor(n_estimators=30, mono_increasing_list=("X0",))
    reference.fit(X, y, w)
    assert model.xgb_params_ == reference.xgb_params_
    assert model.n_features_in_ == 5 and model.feature_names_ == reference.feature_names_
    # The distributed histogram may build other trees than one process; as good ones.
    assert model.score(X, y) > reference.score(X, y) - 0.02


def test_partition_wise_weights_equal_the_in_memory_normalisation(client, regression_data):
    X, y = regression_data
    w = np.random.default_rng(2).uniform(-1, 3, size=len(y))
    from orrin._dask.xgb2 import validate_input

    dx, dy, dw = validate_input(XGB2Regressor(), chunked(X, 400), chunked(y, 400),
                                chunked(w, 400))
    rx, ry, rw = XGB2Regressor()._validate_input(X, y, w)
    np.testing.assert_array_equal(dx.compute(), rx)
    np.testing.assert_array_equal(dy.compute(), ry)
    # Partial sums added in another order than numpy's pairwise sum: a few ulps.
    np.testing.assert_allclose(dw.compute(), rw, rtol=1e-14, atol=0)


@pytest.mark.parametrize("case", ["weights_length", "all_zero", "one_left", "three_classes",
                                  "one_class", "nan_x", "inf_y", "y_length"])
def test_validation_errors_are_the_in_memory_ones_and_come_before_training(client, case):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(40, 3))
    y = (X[:, 0] > 0).astype(float)
    w = None
    classifier = case in ("three_classes", "one_class")
    if case == "weights_length":
        w = np.ones(39)
    elif case == "all_zero":
        w = np.zeros(40)
    elif case == "one_left":
        w = np.zeros(40)
        w[7] = 2.0
    elif case == "three_classes":
        y = np.arange(40) % 3
    elif case == "one_class":
        y = np.ones(40)
    elif case == "nan_x":
        X[13, 1] = np.nan
    elif case == "inf_y":
        y[31] = np.inf
    elif case == "y_length":
        y = y[:-1]
    face = XGB2Classifier if classifier else XGB2Regressor
    with pytest.raises(Exception) as expected:
        face().fit(X, y, w)
    model = face()
    dw = None if w is None else chunked(w, 16)
    with pytest.raises(type(expected.value)) as got:
        model.fit(chunked(X, 16), chunked(y, 16), dw)
    assert str(got.value) == str(expected.value)
    assert not hasattr(model, "estimator_")


def test_three_labels_of_which_one_has_only_zero_weight_train_as_two_classes(client):
    rng = np.random.default_rng(4)
    X = rng.normal(size=(300, 3))
    y = np.where(X[:, 0] > 0, 7, 3)
    y[::50] = 5
    w = np.where(y == 5, 0.0, 1.0)
    model = XGB2Classifier(n_estimators=5).fit(chunked(X, 64), chunked(y, 64), chunked(w, 64))
    np.testing.assert_array_equal(model.classes_, [3, 7])
    labels = model.predict(chunked(X, 64))
    assert isinstance(labels, da.Array)
    np.testing.assert_array_equal(labels.compute(), model.predict(X))


def test_parse_model_counts_equal_an_in_memory_parse_exactly(weighted_fit):
    model, X, y, w = weighted_fit
    fanova = model.parse_model()
    reference = XGBInterpreter(model.estimator_, purification=True, true_to_data=False,
                               feature_names=model.feature_names_,
                               feature_types=model.feature_types_).fit(X[w > 0])
    assert model.intercept_ == reference.intercept_
    assert_same_effects(model.effects_, reference.effects_)
    assert isinstance(model.unp_.X_, da.Array)
    assert len(fanova.importance_table()) == len(reference.effects_["1D"]) + len(
        reference.effects_["2D"])


@pytest.mark.parametrize("true_to_data", [False, True])
def test_interpreter_on_a_dataframe_with_uneven_partitions(weighted_fit, true_to_data):
    model, X, _, _ = weighted_fit
    import pandas as pd

    frame = dd.from_pandas(pd.DataFrame(X, columns=list("abcde")), npartitions=7)
    got = XGBInterpreter(model.estimator_, true_to_data=true_to_data).fit(frame)
    want = XGBInterpreter(model.estimator_, true_to_data=true_to_data).fit(X)
    assert got.intercept_ == want.intercept_
    assert_same_effects(got.effects_, want.effects_)


def test_predictions_are_dask_arrays_equal_to_in_memory(weighted_fit, regression_data):
    model, X, _, _ = weighted_fit
    dX = chunked(X, 512)
    prediction = model.predict(dX)
    assert isinstance(prediction, da.Array)
    np.testing.assert_array_equal(prediction.compute(), model.predict(X))
    model.parse_model()
    for fidx in [(0,), (2, 1)]:
        effect = model.partial_dependence(fidx, dX)
        assert isinstance(effect, da.Array)
        np.testing.assert_array_equal(effect.compute(), model.partial_dependence(fidx, X))


def test_classifier_on_a_dask_dataframe(client, regression_data):
    import pandas as pd

    X, y = regression_data
    labels = np.where(y > 0, "up", "down")
    frame = dd.from_pandas(pd.DataFrame(X, columns=list("abcde")), npartitions=4)
    target = dd.from_pandas(pd.Series(labels), npartitions=4)
    model = XGB2Classifier(n_estimators=20).fit(frame, target)
    np.testing.assert_array_equal(model.classes_, ["down", "up"])
    np.testing.assert_array_equal(model.feature_names_in_, list("abcde"))
    for method in ("predict_proba", "decision_function", "predict"):
        got = getattr(model, method)(frame)
        assert isinstance(got, da.Array)
        np.testing.assert_array_equal(got.compute(), getattr(model, method)(X))
    reference = XGB2Classifier(n_estimators=20).fit(X, labels)
    assert (model.predict(X) == labels).mean() > (reference.predict(X) == labels).mean() - 0.03


def test_prediction_checks_on_dask_input(weighted_fit):
    model, X, _, _ = weighted_fit
    with pytest.raises(ValueError, match="number of features in predict"):
        model.predict(chunked(X[:, :4]))
    with pytest.raises(ValueError, match="Reshape"):
        model.predict(chunked(X[:, 0]))
    with pytest.raises(Exception, match="not fitted"):
        XGB2Regressor().predict(chunked(X))
