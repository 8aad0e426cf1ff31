import warnings

import numpy as np
import pandas as pd
import pytest
import xgboost as xgb_lib
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn.exceptions import NotFittedError

import orrin.models.xgb2.xgboost as xgb2
from orrin.models.xgb2.xgboost import XGB2Base, XGB2Classifier, XGB2Regressor

FEATURE_COUNT_MESSAGE = (
    "The number of features in predict is\n"
    "                     different from the number of features in fit."
)


def make_data(n=200, p=4, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    y = X[:, 0] + X[:, min(1, p - 1)] * X[:, -1] + 0.1 * rng.normal(size=n)
    return X, y


@pytest.fixture(scope="module")
def data():
    return make_data()


@pytest.fixture(scope="module")
def fitted_regressor(data):
    X, y = data
    return XGB2Regressor(n_estimators=20).fit(X, y)


@pytest.fixture(scope="module")
def fitted_classifier(data):
    X, y = data
    return XGB2Classifier(n_estimators=20).fit(X, y > 0)


# ---------------------------------------------------------------- training


@pytest.mark.parametrize(
    "names, increasing, decreasing, expected",
    [
        (None, (), (), "(0, 0, 0, 0)"),
        (["a", "b", "c", "d"], ["b"], ["c"], "(0, 1, -1, 0)"),
        (["a", "b", "c", "d"], ("a", "d"), ("d", "zz"), "(1, 0, 0, 1)"),
        (["a", "b", "c", "d"], "abd", "c", "(1, 1, -1, 1)"),
    ],
)
def test_monotone_constraints_text(data, names, increasing, decreasing, expected):
    X, y = data
    model = XGB2Regressor(
        n_estimators=5, feature_names=names, mono_increasing_list=increasing,
        mono_decreasing_list=decreasing,
    ).fit(X, y)
    assert model.xgb_params_["monotone_constraints"] == expected
    assert model.estimator_.get_params()["monotone_constraints"] == expected


@pytest.mark.parametrize("p, expected", [(1, "(0,)"), (3, "(0, 0, 0)")])
def test_monotone_text_matches_tuple_form(p, expected):
    X, y = make_data(p=p)
    model = XGB2Regressor(n_estimators=3).fit(X, y)
    assert model.xgb_params_["monotone_constraints"] == expected == str(tuple([0] * p))


def test_monotone_constraint_is_enforced(data):
    X, y = data
    model = XGB2Regressor(n_estimators=30, feature_names=list("abcd"),
                          mono_decreasing_list=["a"]).fit(X, y)
    grid = np.zeros((50, 4))
    grid[:, 0] = np.linspace(-3, 3, 50)
    assert np.all(np.diff(model.predict(grid)) <= 0)


@pytest.mark.parametrize("face, library", [(XGB2Regressor, xgb_lib.XGBRegressor),
                                           (XGB2Classifier, xgb_lib.XGBClassifier)])
def test_xgb_params_and_estimator_type(data, face, library):
    X, y = data
    model = face(n_estimators=7, eta=0.2, gamma=0.5, max_bin=32, reg_lambda=2, reg_alpha=0.1,
                 tree_method="hist", random_state=3).fit(X, y > 0)
    assert list(model.xgb_params_) == [
        "max_depth", "n_estimators", "eta", "gamma", "tree_method", "max_bin", "reg_lambda",
        "reg_alpha", "monotone_constraints", "random_state"]
    assert model.xgb_params_ == {
        "max_depth": 2, "n_estimators": 7, "eta": 0.2, "gamma": 0.5, "tree_method": "hist",
        "max_bin": 32, "reg_lambda": 2, "reg_alpha": 0.1,
        "monotone_constraints": "(0, 0, 0, 0)", "random_state": 3}
    assert type(model.estimator_) is library
    assert model.estimator_.get_params()["eta"] == 0.2
    assert model.estimator_.get_booster().num_boosted_rounds() == 7
    assert model.is_fitted_ is True


def test_default_names_types_and_training_copy(data):
    X, y = data
    model = XGB2Regressor(n_estimators=3).fit(X[:, :3], y)
    assert model.feature_names_ == ["X0", "X1", "X2"]
    assert model.feature_types_ == ["numerical"] * 3
    assert model.n_features_in_ == 3
    assert np.array_equal(model.X_, X[:, :3]) and not np.shares_memory(model.X_, X)


def test_given_names_are_deep_copied(data):
    X, y = data
    names, types = ["a", "b", "c", "d"], ["numerical"] * 4
    model = XGB2Regressor(n_estimators=3, feature_names=names, feature_types=types).fit(X, y)
    names[0], types[0] = "changed", "categorical"
    assert model.feature_names_ == ["a", "b", "c", "d"]
    assert model.feature_types_[0] == "numerical"
    assert model.feature_names is names


def test_base_alone_cannot_fit(data):
    with pytest.raises(AttributeError, match="_validate_input"):
        XGB2Base().fit(*data)


def test_base_defaults_differ_from_faces():
    base, face = XGB2Base().get_params(), XGB2Regressor().get_params()
    assert (base["max_bin"], base["reg_lambda"]) == (20, 1)
    assert (face["max_bin"], face["reg_lambda"]) == (256, 0)
    assert XGB2Base.__doc__ is None


# ---------------------------------------------------------------- input validation


def test_weights_drop_rows_and_normalise():
    X = np.arange(8.0).reshape(4, 2)
    y = np.array([1.0, 2.0, 3.0, 4.0])
    x, yy, w = XGB2Regressor()._validate_input(X, y, [0, 1, 2, 3])
    assert np.array_equal(x, X[1:]) and np.array_equal(yy, y[1:])
    assert np.array_equal(w, [0.5, 1.0, 1.5])


@settings(max_examples=60, deadline=None)
@given(st.lists(st.one_of(st.floats(-5, 1e6), st.sampled_from([0.0, 1.0, np.nan])),
                min_size=2, max_size=300))
def test_weights_match_numpy(weights):
    w = np.array(weights)
    keep = np.where(w > 0)[0]
    X = np.arange(2.0 * len(w)).reshape(-1, 2)
    model = XGB2Regressor()
    if len(keep) < 2:
        with pytest.raises(ValueError):
            model._validate_input(X, np.zeros(len(w)), w)
        return
    x, _, normalised = model._validate_input(X, np.zeros(len(w)), w)
    assert np.array_equal(x, X[keep])
    assert np.array_equal(normalised, len(keep) * w[keep] / np.sum(w[keep]))


@pytest.mark.parametrize("weights, kept", [
    ([-1.0, np.nan, 2.0, 2.0], [2, 3]),
    ([1, 1, 1, 1], [0, 1, 2, 3]),
    (np.array([[0.0], [1.0], [1.0], [2.0]]), [1, 2, 3]),
    (pd.Series([3.0, 0.0, 0.0, 3.0]), [0, 3]),
    (np.array([True, False, True, True]), [0, 2, 3]),
])
def test_weights_keep_only_positive_rows(weights, kept):
    X = np.arange(8.0).reshape(4, 2)
    y = np.arange(4.0)
    for face in (XGB2Regressor(), XGB2Classifier()):
        x, yy, w = face._validate_input(X, y % 2, weights)
        assert np.array_equal(x, X[kept])
        assert w.ndim == 1 and w.sum() == pytest.approx(len(kept))


@pytest.mark.parametrize("weights, error, message", [
    ([0, 0, 0, 0], ValueError, "Invalid sample_weight"),
    ([-1, 0, np.nan, -2], ValueError, "Invalid sample_weight"),
    ([1, np.inf, 1, 1], ValueError, "Invalid sample_weight"),
    ([1, 1, 1], ValueError, "sample_weight shape mismatches the input"),
    ([0, 1, 1], ValueError, "sample_weight shape mismatches the input"),
    (5.0, ValueError, "sample_weight shape mismatches the input"),
    (np.ones((4, 2)), ValueError, "sample_weight shape mismatches the input"),
    ([0, 0, 0, 1], ValueError, "n_samples=1"),
    (["a", "b", "c", "d"], TypeError, "sample_weight"),
])
@pytest.mark.parametrize("face", [XGB2Regressor, XGB2Classifier])
def test_bad_weights(face, weights, error, message):
    X = np.arange(8.0).reshape(4, 2)
    y = np.array([0, 1, 0, 1])
    with pytest.raises(error, match=message):
        face().fit(X, y, sample_weight=weights)


@pytest.mark.parametrize("face", [XGB2Regressor, XGB2Classifier])
def test_single_row_is_refused(face):
    with pytest.raises(ValueError, match="n_samples=1"):
        face().fit([[1.0, 2.0], [3.0, 4.0]], [0, 1], sample_weight=[1, 0])


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("face", [XGB2Regressor, XGB2Classifier])
def test_non_finite_x_gets_sklearn_error(face, bad, data):
    X, y = data
    X = X.copy()
    X[3, 1] = bad
    with pytest.raises(ValueError, match="Input X contains"):
        face(n_estimators=2).fit(X, y > 0)
    fitted = face(n_estimators=2).fit(data[0], y > 0)
    with pytest.raises(ValueError, match="Input (X )?contains"):
        fitted.predict(X)


def test_column_target_trains_like_flat(data):
    X, y = data
    flat = XGB2Regressor(n_estimators=5).fit(X, y)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        column = XGB2Regressor(n_estimators=5).fit(X, y[:, None])
    assert np.array_equal(flat.predict(X), column.predict(X))
    labels = (y > 0).astype(int)
    flat_c = XGB2Classifier(n_estimators=5).fit(X, labels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        column_c = XGB2Classifier(n_estimators=5).fit(X, labels[:, None])
    assert np.array_equal(flat_c.predict_proba(X), column_c.predict_proba(X))


@pytest.mark.parametrize("convert", [
    lambda X: X.astype(np.float32),
    lambda X: pd.DataFrame(X, columns=list("abcd")),
    lambda X: np.asfortranarray(X),
    lambda X: np.repeat(X, 2, axis=1)[:, ::2],
    lambda X: np.round(X * 10).astype(int),
    lambda X: X.astype(object),
])
def test_input_kinds_fit_and_predict(data, convert):
    X, y = data
    Xc = convert(X)
    reference = XGB2Regressor(n_estimators=5).fit(np.asarray(Xc, dtype=float), y)
    model = XGB2Regressor(n_estimators=5).fit(Xc, pd.Series(y))
    assert np.allclose(model.predict(Xc), reference.predict(np.asarray(Xc, dtype=float)))
    clf = XGB2Classifier(n_estimators=5).fit(Xc, pd.Series(y > 0))
    assert clf.predict_proba(Xc).shape == (len(y), 2)


# ---------------------------------------------------------------- classifier


def test_labels_keep_their_values(data):
    X, y = data
    labels = np.where(y > 0, 7, 3)
    model = XGB2Classifier(n_estimators=10).fit(X, labels)
    assert list(model.classes_) == [3, 7]
    _, encoded, _ = model._validate_input(X, labels, None)
    assert np.array_equal(encoded, (labels == 7).astype(float)) and encoded.dtype == float
    assert set(np.unique(model.predict(X))) <= {3, 7}
    assert np.mean(model.predict(X) == labels) > 0.8


def test_string_labels(data):
    X, y = data
    labels = np.where(y > 0, "yes", "no")
    model = XGB2Classifier(n_estimators=10).fit(X, labels)
    assert list(model.classes_) == ["no", "yes"]
    assert np.mean(model.predict(X) == labels) > 0.8


@pytest.mark.parametrize("labels, weights, message", [
    ([0, 1, 2, 0, 1, 2], None, "multi-classification not supported"),
    ([1, 1, 1, 1, 1, 1], None, "Classifier can't train when only one class is present."),
    ([0, 1, 2, 0, 1, 2], [1, 1, 0, 1, 1, 0], None),
    ([0, 1, 2, 2, 2, 2], [0, 0, 1, 1, 1, 1], "Classifier can't train when only one class"),
])
def test_class_count(labels, weights, message):
    X = np.arange(12.0).reshape(6, 2)
    model = XGB2Classifier(n_estimators=2)
    if message is None:
        model.fit(X, labels, sample_weight=weights)
        assert list(model.classes_) == [0, 1]
    else:
        with pytest.raises(ValueError, match=message):
            model.fit(X, labels, sample_weight=weights)
        # A refused fit writes nothing, not even the classes it found.
        assert not hasattr(model, "classes_") and not hasattr(model, "n_features_in_")


class FixedProba:
    def __init__(self, positive):
        self.positive = np.asarray(positive, dtype=float)

    def predict_proba(self, X):
        return np.column_stack([1 - self.positive, self.positive])


def test_decision_function_and_predict_at_the_bounds(fitted_classifier):
    model = fitted_classifier
    fake = XGB2Classifier()
    fake.__dict__.update(model.__dict__)
    fake.estimator_ = FixedProba([1.0, 0.0, 0.5, 0.75])
    scores = fake.decision_function(np.zeros((4, 4)))
    assert np.all(np.isfinite(scores))
    assert scores[0] == pytest.approx(16.118, abs=1e-3)
    assert scores[1] == pytest.approx(-16.118, abs=1e-3)
    assert scores[2] == 0.0 and scores[3] == pytest.approx(np.log(3))
    assert list(fake.predict(np.zeros((4, 4)))) == [True, False, False, True]


def test_classifier_scores_are_consistent(data, fitted_classifier):
    X, _ = data
    proba = fitted_classifier.predict_proba(X)
    assert np.allclose(proba.sum(axis=1), 1)
    decision = fitted_classifier.decision_function(X)
    assert np.array_equal(decision > 0, fitted_classifier.predict(X))


# ---------------------------------------------------------------- prediction checks


@pytest.mark.parametrize("method", ["predict", "predict_proba", "decision_function"])
def test_prediction_checks(data, fitted_regressor, fitted_classifier, method):
    X, _ = data
    model = fitted_regressor if method == "predict" else fitted_classifier
    with pytest.raises(ValueError) as info:
        getattr(model, method)(np.hstack([X, X[:, :1]]))
    assert str(info.value) == FEATURE_COUNT_MESSAGE
    with pytest.raises(ValueError, match="2D array"):
        getattr(model, method)(X[0])
    unfitted = type(model)()
    with pytest.raises(NotFittedError):
        getattr(unfitted, method)(X)


# ---------------------------------------------------------------- split table


def reference_split_table(model):
    trees = model.estimator_.get_booster().trees_to_dataframe()
    table = {}
    for i, name in enumerate(model.feature_names_):
        rows = (trees["Feature"] == f"f{i}") & trees["Split"].notna()
        table[name] = np.sort(np.unique(trees["Split"][rows]))
    return table


@pytest.mark.parametrize("n_estimators, p", [(1, 3), (30, 4), (60, 12)])
def test_split_table_matches_tree_dump(n_estimators, p):
    X, y = make_data(n=300, p=p, seed=p)
    model = XGB2Regressor(n_estimators=n_estimators,
                          feature_names=[f"name{i}" for i in range(p)]).fit(X, y)
    table = model._base_extract_rules()
    expected = reference_split_table(model)
    assert list(table) == list(expected)
    for name in expected:
        assert np.array_equal(table[name], expected[name])
        assert np.all(np.diff(table[name]) > 0)
    assert model.n_splits_raw_ == sum(len(v) for v in expected.values())


def test_split_table_unused_column_and_duplicate_names():
    rng = np.random.default_rng(1)
    X = rng.normal(size=(200, 3))
    y = X[:, 0] * 2
    model = XGB2Regressor(n_estimators=10, feature_names=["a", "unused", "a"]).fit(X, y)
    model.feature_names_ = ["a", "unused", "c"]
    table = model._base_extract_rules()
    assert len(table["unused"]) == 0 and len(table["c"]) == 0
    model.feature_names_ = ["a", "unused", "a"]
    table = model._base_extract_rules()
    assert list(table) == ["a", "unused"] and len(table["a"]) == 0
    assert model.n_splits_raw_ == 0


# ---------------------------------------------------------------- effect parsing with fakes


class FakeInterpreter:
    calls = []

    def __init__(self, estimator, **kwargs):
        FakeInterpreter.calls.append((estimator, kwargs))
        self.estimator = estimator

    def fit(self, X):
        self.fitted_on = X
        self.effects_ = {"1D": {"a": {"fidx": (0,), "split_unique_list": [np.array([0.0])],
                                      "values": np.array([-1.0, 1.0])}},
                         "2D": {}}
        self.intercept_ = 0.25
        return "ignored"


class FakeFanova:
    def __init__(self, model):
        self.model = model


@pytest.fixture
def fake_services(monkeypatch):
    FakeInterpreter.calls = []
    monkeypatch.setattr(xgb2, "XGBInterpreter", FakeInterpreter)
    monkeypatch.setattr(xgb2, "FANOVAInterpreter", FakeFanova)


@pytest.mark.parametrize("depth", [1, 2])
def test_parse_model_uses_the_interpreter(data, fake_services, depth):
    X, y = data
    model = XGB2Regressor(n_estimators=3, max_depth=depth).fit(X, y)
    result = model.parse_model()
    assert isinstance(result, FakeFanova) and result.model is model
    (estimator, kwargs), = FakeInterpreter.calls
    assert estimator is model.estimator_
    assert kwargs == {"purification": True, "true_to_data": False,
                      "feature_names": model.feature_names_,
                      "feature_types": model.feature_types_}
    assert list(kwargs) == ["purification", "true_to_data", "feature_names", "feature_types"]
    assert model.unp_.fitted_on is model.X_
    assert model.effects_ is model.unp_.effects_ and model.intercept_ == 0.25


def test_parse_model_refuses_deep_models(data, fake_services):
    X, y = data
    model = XGB2Regressor(n_estimators=3, max_depth=3).fit(X, y)
    assert model.parse_model() == "Cannot interpret XGB with depth more than 2."
    assert not hasattr(model, "unp_") and not hasattr(model, "effects_")
    assert XGB2Regressor(max_depth=3).parse_model() == (
        "Cannot interpret XGB with depth more than 2.")
    assert FakeInterpreter.calls == []


# ---------------------------------------------------------------- partial dependence with fakes


def fake_1d(fidx, splits, values, flag):
    def evaluate(X):
        return ("1D", tuple(fidx), splits, values, flag, X)
    return evaluate


def fake_2d(fidx, splits0, splits1, values, flag):
    def evaluate(X):
        X = np.asarray(X)
        first = np.searchsorted(splits0, X[:, fidx[0]], side="right")
        second = np.searchsorted(splits1, X[:, fidx[1]], side="right")
        return values[first, second]
    return evaluate


@pytest.fixture
def model_with_effects(monkeypatch):
    monkeypatch.setattr(xgb2, "predict_1D_func_tree", fake_1d)
    monkeypatch.setattr(xgb2, "predict_2D_func_tree", fake_2d)
    model = XGB2Regressor()
    model.effects_ = {
        "1D": {"x1": {"fidx": (1,), "split_unique_list": [np.array([0.0])], "values": "v1"},
               "x1 again": {"fidx": (1,), "split_unique_list": [np.array([9.0])],
                            "values": "second"}},
        "2D": {"x1 x3": {"fidx": (1, 3),
                         "split_unique_list": [np.array([0.0]), np.array([10.0, 20.0])],
                         "values": np.array([[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]])}},
    }
    return model


def test_reversed_pair_uses_the_stored_order(model_with_effects):
    model = model_with_effects
    X = np.zeros((4, 4))
    X[:, 1] = [-1.0, 1.0, 1.0, -1.0]
    X[:, 3] = [5.0, 15.0, 25.0, 25.0]
    forward = model.partial_dependence((1, 3), X)
    assert np.array_equal(forward, [0.0, 4.0, 5.0, 2.0])
    assert np.array_equal(model.partial_dependence((3, 1), X), forward)
    assert np.array_equal(model.partial_dependence([3, 1], X), forward)


def test_main_effect_takes_the_first_match(model_with_effects):
    X = np.zeros((2, 4))
    kind, fidx, splits, values, flag, passed = model_with_effects.partial_dependence((1,), X)
    assert (kind, fidx, values, flag) == ("1D", (1,), "v1", True) and passed is X


@pytest.mark.parametrize("fidx", [(2, 2), (1, 1), (0,), (3,), (), (1, 3, 1), (99,), (-1,),
                                  (1, 99), (2 ** 70,)])
def test_effect_not_found(model_with_effects, fidx):
    with pytest.raises(ValueError, match="^Effect not found.$"):
        model_with_effects.partial_dependence(fidx, np.zeros((2, 4)))


@pytest.mark.parametrize("fidx", [(1,), (3, 1)])
def test_too_narrow_matrix_is_refused(model_with_effects, fidx):
    with pytest.raises(ValueError, match="too few"):
        model_with_effects.partial_dependence(fidx, np.zeros((2, 1)))


@pytest.mark.parametrize("fidx, error", [(1, TypeError), (None, TypeError), ([[1]], TypeError)])
def test_malformed_fidx(model_with_effects, fidx, error):
    with pytest.raises(error):
        model_with_effects.partial_dependence(fidx, np.zeros((2, 4)))


def test_partial_dependence_needs_parsed_model(data):
    with pytest.raises(AttributeError, match="effects_"):
        XGB2Regressor().partial_dependence((0,), data[0])


@pytest.mark.parametrize("labels", [
    np.array([0, 1, 1, 0, 1, 0]),
    np.array(["no", "yes", "yes", "no", "yes", "no"]),
    np.array(["no", "yes", "yes", "no", "yes", "no"], dtype=object),
    np.array([-1.0, 2.0, 2.0, -1.0, 2.0, -1.0]),
    np.array([False, True, True, False, True, False]),
])
def test_target_encoding_matches_the_binarizer(labels):
    from sklearn.preprocessing import LabelBinarizer
    X = np.arange(12.0).reshape(6, 2)
    _, encoded, _ = XGB2Classifier()._validate_input(X, labels, None)
    expected = (LabelBinarizer().fit(labels).transform(labels) * 1.0).ravel()
    assert encoded.dtype == np.float64 and np.array_equal(encoded, expected)


@pytest.mark.parametrize("face, library", [(XGB2Regressor, xgb_lib.XGBRegressor),
                                           (XGB2Classifier, xgb_lib.XGBClassifier)])
@pytest.mark.parametrize("weights", [None, "ones", "scaled", "uneven"])
def test_trees_equal_a_bare_fit_with_the_normalised_weights(data, face, library, weights):
    X, y = data
    target = y > 0 if face is XGB2Classifier else y
    given = {None: None, "ones": np.ones(len(y)), "scaled": np.full(len(y), 2.5),
             "uneven": np.linspace(0.5, 2.0, len(y))}[weights]
    model = face(n_estimators=8).fit(X, target, sample_weight=given)
    normalised = np.ones(len(y)) if given is None else len(y) * given / given.sum()
    bare = library(**model.xgb_params_).fit(X, target * 1.0, sample_weight=normalised)
    assert np.array_equal(model.estimator_.predict(X, output_margin=True),
                          bare.predict(X, output_margin=True))


# ---------------------------------------------------------------- exactness through the services


def effect_sum(model, X):
    total = np.full(len(X), float(model.intercept_))
    for kind in ("1D", "2D"):
        for record in model.effects_[kind].values():
            total += model.partial_dependence(tuple(record["fidx"]), X)
    return total


@pytest.mark.parametrize("face", [XGB2Regressor, XGB2Classifier])
@pytest.mark.parametrize("p, n_estimators, depth", [(1, 1, 2), (2, 50, 1), (3, 500, 2),
                                                    (7, 80, 2), (15, 200, 2)])
def test_effects_add_up_to_the_margin(face, p, n_estimators, depth):
    X, y = make_data(n=400, p=p, seed=p + n_estimators)
    target = y > np.median(y) if face is XGB2Classifier else y
    model = face(n_estimators=n_estimators, max_depth=depth).fit(X, target)
    model.parse_model()
    rng = np.random.default_rng(n_estimators)
    unseen = rng.normal(scale=3.0, size=(300, p))
    tolerance = 1e-5 * (1 + n_estimators) ** 0.5
    for rows in (X, unseen, np.vstack([X.min(axis=0) - 1, X.max(axis=0) + 1])):
        margin = model.estimator_.predict(rows, output_margin=True).astype(float)
        assert np.allclose(effect_sum(model, rows), margin, rtol=0, atol=tolerance)


def test_pair_in_either_order_through_the_services():
    X, y = make_data(n=400, p=4, seed=3)
    model = XGB2Regressor(n_estimators=60).fit(X, y + X[:, 1] * X[:, 3])
    model.parse_model()
    pairs = [tuple(record["fidx"]) for record in model.effects_["2D"].values()]
    assert pairs
    for i, j in pairs:
        assert np.array_equal(model.partial_dependence((j, i), X),
                              model.partial_dependence((i, j), X))


@pytest.fixture(scope="module")
def parsed_regressor():
    X, y = make_data(n=300, p=4, seed=5)
    model = XGB2Regressor(n_estimators=40).fit(X, y)
    model.parse_model()
    return model, X


@pytest.mark.parametrize("convert", [
    lambda X: X.astype(np.float32),
    lambda X: pd.DataFrame(X, columns=list("abcd")),
    lambda X: np.asfortranarray(X),
    lambda X: X.tolist(),
])
def test_partial_dependence_input_kinds(parsed_regressor, convert):
    model, X = parsed_regressor
    for kind in ("1D", "2D"):
        for record in model.effects_[kind].values():
            fidx = tuple(record["fidx"])
            assert np.array_equal(model.partial_dependence(fidx, convert(X)),
                                  model.partial_dependence(fidx, X))


@pytest.mark.parametrize("fidx, X, message", [
    ((4,), None, "Effect not found."),
    ((0, 4), None, "Effect not found."),
    ((-1,), None, "Effect not found."),
    ((0,), np.zeros((3, 0)), "too few"),
    ((3, 1), np.zeros((3, 2)), "too few"),
])
def test_partial_dependence_bad_indices_through_the_services(parsed_regressor, fidx, X, message):
    model, train = parsed_regressor
    with pytest.raises(ValueError, match=message):
        model.partial_dependence(fidx, train if X is None else X)
