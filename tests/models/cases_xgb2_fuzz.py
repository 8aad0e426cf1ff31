"""Random input to every public method of both faces (run in a child process by
test_xgb2_fuzz.py): each call returns a valid result or raises a clear exception, and a call
that raises leaves the estimator's attributes as they were."""

import copy
import warnings

import numpy as np
import pytest
import xgboost as xgb_lib
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from models_state import assert_unchanged, snapshot
from sklearn.exceptions import NotFittedError

from orrin.exceptions import OrrinError
from orrin.models.interpreter import FANOVAInterpreter
from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

CLEAR = (TypeError, ValueError, NotFittedError, OrrinError, xgb_lib.core.XGBoostError)
FACES = {"regressor": XGB2Regressor, "classifier": XGB2Classifier}
SETTINGS = settings(max_examples=120, deadline=None, derandomize=True, database=None,
                    suppress_health_check=list(HealthCheck))


def _train():
    rng = np.random.default_rng(11)
    X = rng.normal(size=(40, 3))
    return X, X[:, 0] - X[:, 1] * X[:, 2]


X_TRAIN, Y_TRAIN = _train()


def _models():
    out = {}
    for name, face in FACES.items():
        y = Y_TRAIN > 0 if face is XGB2Classifier else Y_TRAIN
        out[name, "new"] = face(n_estimators=2)
        out[name, "fitted"] = face(n_estimators=2).fit(X_TRAIN, y)
        out[name, "parsed"] = face(n_estimators=2).fit(X_TRAIN, y)
        out[name, "parsed"].parse_model()
    return out


MODELS = _models()

DTYPES = ["bool", "int8", "int64", "uint8", "float16", "float32", "float64", "complex128",
          "object", "datetime64[ns]"]
SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e30, -1e30, 65504.0, 1e-300]


@st.composite
def arrays(draw, rows=None):
    """Half the arrays are plausible input (finite floats, three columns, some rows), so that
    calls also get past validation; the rest any shape, dtype, value and memory layout."""
    if draw(st.booleans()):
        n = rows if rows is not None else draw(st.integers(2, 12))
        shape = (n, 3) if rows is None else (n,)
        values = draw(st.lists(st.floats(-5, 5), min_size=int(np.prod(shape)),
                               max_size=int(np.prod(shape))))
        a = np.array(values, dtype=draw(st.sampled_from(["float64", "float32", "int64"])))
        return a.reshape(shape)
    ndim = draw(st.sampled_from([2, 2, 2, 2, 1, 0, 3]))
    n = rows if rows is not None else draw(st.integers(0, 12))
    shape = {0: (), 1: (n,), 2: (n, draw(st.sampled_from([3, 3, 3, 0, 1, 2, 4]))),
             3: (n, 3, 2)}[ndim]
    size = int(np.prod(shape))
    values = np.array(draw(st.lists(
        st.floats(-1e3, 1e3) | st.sampled_from(SPECIAL), min_size=size, max_size=size)),
        dtype=float).reshape(shape)
    dtype = draw(st.sampled_from(DTYPES))
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype == "object":
            pool = [None, "a", 1, 2.5, np.nan, b"x", (1,)]
            flat = [draw(st.sampled_from(pool)) if draw(st.booleans()) else v
                    for v in values.ravel().tolist()]
            a = np.empty(size, dtype=object)
            a[:] = flat
            a = a.reshape(shape)
        elif dtype == "datetime64[ns]":
            a = np.nan_to_num(values, posinf=1e9, neginf=-1e9).astype("int64").astype(dtype)
        elif dtype.startswith(("int", "uint", "bool")):
            a = np.nan_to_num(values, posinf=100, neginf=-100).astype(dtype)
        else:
            a = values.astype(dtype)
    view = draw(st.sampled_from(["plain", "reversed", "fortran", "readonly", "strided"]))
    if view == "reversed" and a.ndim >= 1:
        a = a[::-1, ::-1] if a.ndim >= 2 else a[::-1]
    elif view == "fortran":
        a = np.asfortranarray(a)
    elif view == "readonly":
        a.setflags(write=False)
    elif view == "strided" and a.ndim >= 1:
        a = np.repeat(a, 2, axis=0)[::2]
    return a


def record(outcome):
    """Counts outcomes for --hypothesis-show-statistics (inside a hypothesis test only)."""
    try:
        event(outcome)
    except Exception:
        pass


def fresh(name, state):
    return copy.deepcopy(MODELS[name, state])


def call(model, method, *args, **kwargs):
    """The call's result, or None when it raised a clear exception; the estimator is checked
    to be unchanged in that case."""
    before = snapshot(model)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = getattr(model, method)(*args, **kwargs)
        record(f"{method}: returned")
        return result, True
    except CLEAR as error:
        record(f"{method}: {type(error).__name__}")
        assert str(error) or isinstance(error, xgb_lib.core.XGBoostError)
        assert_unchanged(model, before)
        return None, False


def check_parse(model):
    result, ok = call(model, "parse_model")
    if ok:
        assert isinstance(result, (FANOVAInterpreter, str))
        for kind in ("1D", "2D"):
            for record in model.effects_[kind].values():
                assert np.isfinite(record["values"]).all()


names = st.sampled_from(sorted(FACES))
states = st.sampled_from(["new", "fitted", "parsed"])


@SETTINGS
@given(name=names, state=states, data=st.data())
def test_fit(name, state, data):
    model = fresh(name, state)
    X = data.draw(arrays())
    rows = X.shape[0] if X.ndim else 0
    y = data.draw(arrays(rows=data.draw(st.sampled_from([rows, rows, rows, 1, 0]))))
    if y.ndim == 2:
        y = y[:, :1]
    if name == "classifier" and y.dtype.kind == "f" and data.draw(st.booleans()):
        y = y > 0  # two classes, mostly
    weight = data.draw(st.none() | arrays(rows=rows))
    if weight is not None and weight.ndim > 1:
        weight = weight.ravel()
    result, ok = call(model, "fit", X, y, weight)
    if ok:
        assert result is model and model.is_fitted_
        assert model.n_features_in_ == X.shape[1]
        check_parse(model)


@SETTINGS
@given(name=names, state=states, method=st.sampled_from(
    ["predict", "predict_proba", "decision_function"]), data=st.data())
def test_scores(name, state, method, data):
    model = fresh(name, state)
    if not hasattr(model, method):
        return
    X = data.draw(arrays())
    result, ok = call(model, method, X)
    if not ok:
        return
    n = X.shape[0]
    if method == "predict_proba":
        assert result.shape == (n, 2)
        assert ((result >= 0) & (result <= 1)).all()
    else:
        assert result.shape == (n,)
        if method == "predict" and name == "classifier":
            assert set(result.tolist()) <= set(model.classes_.tolist())
        else:
            assert np.isfinite(result).all()


fidx_values = st.one_of(
    st.sampled_from([(0,), (1,), (2,), (0, 1), (1, 2), (2, 1), (0, 2)]),
    st.tuples(st.integers(-3, 4)), st.tuples(st.integers(-1, 4), st.integers(-1, 4)),
    st.lists(st.integers(0, 3), max_size=4).map(tuple),
    st.sampled_from([None, 0, "0", (0.5,), ("a",), (2**70,), ([0],), np.array([0, 1])]))


@SETTINGS
@given(name=names, state=states, fidx=fidx_values, data=st.data())
def test_partial_dependence(name, state, fidx, data):
    state = "parsed" if state == "fitted" else state
    model = fresh(name, state)
    X = data.draw(arrays())
    result, ok = call(model, "partial_dependence", fidx, X)
    if ok:
        assert result.shape == (X.shape[0],)


parameter_values = st.sampled_from([None, -1, 0, 2, 3, 1.5, np.nan, "x", (), ["X0"], {}])


@SETTINGS
@given(name=names, state=states, deep=st.booleans(),
       params=st.dictionaries(st.sampled_from(
           ["n_estimators", "eta", "max_depth", "feature_names", "no_such", "eta__x", ""]),
           parameter_values, max_size=3),
       then=st.sampled_from(["parse_model", "get_params", "fit"]))
def test_parameters(name, state, deep, params, then):
    model = fresh(name, state)
    result, ok = call(model, "get_params", deep=deep)
    assert ok and len(result) == 13
    result, ok = call(model, "set_params", **params)
    if ok:
        assert result is model and all(getattr(model, k) is v for k, v in params.items())
    if then == "parse_model":
        check_parse(model)
    elif then == "fit":
        y = Y_TRAIN > 0 if name == "classifier" else Y_TRAIN
        result, ok = call(model, "fit", X_TRAIN, y)
        if ok:
            check_parse(model)
    else:
        assert call(model, "get_params")[1]


@pytest.mark.parametrize("name", sorted(FACES))
def test_parse_model_of_every_state(name):
    for state in ("new", "fitted", "parsed"):
        check_parse(fresh(name, state))
