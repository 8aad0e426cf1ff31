import warnings

import numpy as np
import pytest
import xgboost as xgb_lib
from models_state import assert_unchanged, snapshot
from sklearn.exceptions import NotFittedError

from orrin.exceptions import OrrinWarning
from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

FACES = [XGB2Regressor, XGB2Classifier]


def make_data(n=60, p=4, seed=3):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, p))
    return X, X[:, 0] + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=n)


X, Y = make_data()


def target(face, y=Y):
    return y > 0 if face is XGB2Classifier else y


def estimator(face, state):
    model = face(n_estimators=3)
    if state in ("fitted", "parsed"):
        model.fit(X, target(face))
    if state == "parsed":
        model.parse_model()
    return model


# ---------------------------------------------------------------- names and types at fit


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("parameter, length, constraints", [
    ("feature_names", 2, "(1, 0)"), ("feature_types", 2, "(1, 0, 0, 0)"),
    ("feature_types", 5, "(1, 0, 0, 0)"),
])
def test_length_mismatch_warns_and_trains_as_before(face, parameter, length, constraints):
    values = (list("abcde") if parameter == "feature_names" else ["numerical"] * 5)[:length]
    names = {} if parameter == "feature_names" else {"feature_names": list("abcd")}
    model = face(n_estimators=3, mono_increasing_list=("a",), **{parameter: values}, **names)
    with pytest.warns(OrrinWarning, match=f"{parameter} has {length} entries but X has 4 columns"):
        model.fit(X, target(face))
    # Training is unchanged: the constraints follow the names by position.
    assert model.xgb_params_["monotone_constraints"] == constraints
    assert model.is_fitted_


def test_longer_names_warn_before_the_library_refuses_them():
    model = XGB2Regressor(n_estimators=2, feature_names=list("abcde"))
    before = snapshot(model)
    with pytest.warns(OrrinWarning, match="feature_names has 5 entries but X has 4 columns"):
        with pytest.raises(xgb_lib.core.XGBoostError, match="monotone"):
            model.fit(X, Y)
    assert_unchanged(model, before)


def test_matching_lengths_do_not_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        XGB2Regressor(n_estimators=2, feature_names=list("abcd"),
                      feature_types=["numerical"] * 4).fit(X, Y)


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("parameter, value, message", [
    ("feature_names", [0, 1, 2, 3], "entry 0 is 0 of type int"),
    ("feature_names", ["a", ["b"], "c", "d"], "entry 1 is \\['b'\\] of type list"),
    ("feature_names", ["a", {"b": 1}, "c", "d"], "entry 1"),
    ("feature_names", ["a", "b", None, "d"], "entry 2 is None"),
    ("feature_names", "abcd", "list of str"),
    ("feature_names", 4, "list of str"),
    ("feature_types", "numerical", "list of str"),
    ("feature_types", 3.0, "list of str"),
])
def test_bad_names_are_refused_at_fit(face, parameter, value, message):
    model = face(n_estimators=2, **{parameter: value})
    before = snapshot(model)
    with pytest.raises(TypeError, match=f"{parameter} must .*{message}"):
        model.fit(X, target(face))
    assert_unchanged(model, before)


# ---------------------------------------------------------------- calls before their prerequisite


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("state, call, message", [
    ("new", lambda m: m.parse_model(), "call fit before parse_model"),
    ("new", lambda m: m.partial_dependence((0,), X), "parse_model before partial_dependence"),
    ("fitted", lambda m: m.partial_dependence((0,), X), "parse_model before partial_dependence"),
    ("new", lambda m: m.predict(X), "not fitted"),
])
def test_calls_before_their_prerequisite(face, state, call, message):
    model = estimator(face, state)
    before = snapshot(model)
    with pytest.raises(NotFittedError, match=message) as caught:
        call(model)
    # Callers that catch the host's errors still catch it.
    assert isinstance(caught.value, AttributeError) and isinstance(caught.value, ValueError)
    assert_unchanged(model, before)


def test_classifier_scores_before_fit():
    for method in ("predict_proba", "decision_function"):
        with pytest.raises(NotFittedError):
            getattr(XGB2Classifier(), method)(X)


def test_deep_model_is_refused_before_the_fitted_check():
    assert XGB2Regressor(max_depth=3).parse_model() == (
        "Cannot interpret XGB with depth more than 2.")


# ---------------------------------------------------------------- a refused call changes nothing

BAD_FITS = {
    "NaN in X": lambda face: ((np.where(X > 1, np.nan, X), target(face)), {}),
    "short y": lambda face: ((X, target(face)[:-1]), {}),
    "3-d X": lambda face: ((X[:, :, None], target(face)), {}),
    "empty X": lambda face: ((X[:0], target(face)[:0]), {}),
    "complex X": lambda face: ((X.astype(complex), target(face)), {}),
    "string X": lambda face: ((X.astype(str).astype(object) + "x", target(face)), {}),
    "short weights": lambda face: ((X, target(face)), {"sample_weight": np.ones(5)}),
    "string weights": lambda face: ((X, target(face)), {"sample_weight": ["w"] * len(X)}),
    "negative weights": lambda face: ((X, target(face)), {"sample_weight": -np.ones(len(X))}),
    "one weighted row": lambda face: (
        (X, target(face)), {"sample_weight": np.eye(1, len(X)).ravel()}),
}


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("state", ["new", "fitted", "parsed"])
@pytest.mark.parametrize("case", sorted(BAD_FITS))
def test_refused_fit_changes_nothing(face, state, case):
    model = estimator(face, state)
    args, kwargs = BAD_FITS[case](face)
    before = snapshot(model)
    with pytest.raises((ValueError, TypeError)):
        model.fit(*args, **kwargs)
    assert_unchanged(model, before)


@pytest.mark.parametrize("state", ["new", "fitted", "parsed"])
@pytest.mark.parametrize("labels, message", [
    (np.arange(len(X)) % 3, "multi-classification"),
    (np.ones(len(X)), "only one class"),
])
def test_refused_classifier_labels_change_nothing(state, labels, message):
    model = estimator(XGB2Classifier, state)
    before = snapshot(model)
    with pytest.raises(ValueError, match=message):
        model.fit(X, labels)
    assert_unchanged(model, before)


@pytest.mark.parametrize("face", FACES)
def test_library_refusal_during_training_changes_nothing(face):
    model = estimator(face, "parsed")
    model.set_params(tree_method="no such method")
    before = snapshot(model)
    with pytest.raises(xgb_lib.core.XGBoostError):
        model.fit(X, target(face))
    assert_unchanged(model, before)


def test_warning_raised_as_error_changes_nothing():
    model = estimator(XGB2Regressor, "parsed")
    model.set_params(feature_names=["a"])
    before = snapshot(model)
    with warnings.catch_warnings():
        warnings.simplefilter("error", OrrinWarning)
        with pytest.raises(OrrinWarning):
            model.fit(X, Y)
    assert_unchanged(model, before)


def test_parse_model_refusing_the_names_changes_nothing():
    model = estimator(XGB2Regressor, "parsed")
    with pytest.warns(OrrinWarning):
        model.set_params(feature_names=["a", "b"]).fit(X, Y)
    before = snapshot(model)
    with pytest.raises(ValueError, match="feature_names has 2 entries"):
        model.parse_model()
    assert_unchanged(model, before)


BAD_CALLS = [
    ("predict", (X[:, :3],)), ("predict", (X[0],)), ("predict", (np.full_like(X, np.nan),)),
    ("predict", (X.astype(complex),)), ("predict", ("text",)), ("predict", (X[:0],)),
    ("partial_dependence", ((9,), X)), ("partial_dependence", ((0, 1, 2), X)),
    ("partial_dependence", (None, X)), ("partial_dependence", ((0,), X[:, :0])),
    ("set_params", ()),
]


@pytest.mark.parametrize("face", FACES)
@pytest.mark.parametrize("state", ["new", "fitted", "parsed"])
@pytest.mark.parametrize("method, args", BAD_CALLS + [
    ("predict_proba", (X[:, :3],)), ("decision_function", (X[:, :3],)),
])
def test_refused_call_changes_nothing(face, state, method, args):
    model = estimator(face, state)
    if not hasattr(model, method):
        pytest.skip(f"{face.__name__} has no {method}")
    kwargs = {"n_estimators": 7, "no_such_parameter": 1} if method == "set_params" else {}
    before = snapshot(model)
    try:
        getattr(model, method)(*args, **kwargs)
    except (ValueError, TypeError, NotFittedError):
        assert_unchanged(model, before)
    else:
        pytest.fail(f"{method}{args!r:.60} was accepted")


def test_nested_parameter_is_refused_before_any_is_set():
    model = XGB2Regressor()
    with pytest.raises(ValueError, match="n_estimators__depth"):
        model.set_params(eta=0.1, n_estimators__depth=1)
    assert model.eta == 0.3
