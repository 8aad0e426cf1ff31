import inspect
import pickle

import numpy as np
import pytest
from sklearn.base import clone, is_classifier, is_regressor
from sklearn.model_selection import cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from orrin.models.interpreter import FANOVAInterpreter
from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

SAMPLE_WEIGHT_REASON = "zero sample_weight is not equivalent to removing samples"

# Checks that fail by design: removing a sample is not the same as giving it weight zero for
# boosted trees (the weights are renormalised to the kept count), and three checks demand
# error texts other than the model's own messages.
EXPECTED_FAILURES = {
    "check_sample_weights_invariance": SAMPLE_WEIGHT_REASON,
    "check_sample_weight_equivalence_on_dense_data": SAMPLE_WEIGHT_REASON,
    "check_all_zero_sample_weights_error": "the model says 'Invalid sample_weight'",
    "check_classifier_not_supporting_multiclass":
        "the model says 'multi-classification not supported'",
    "check_n_features_in_after_fitting": "the model has its own feature-count message",
}


def expected_failures(estimator):
    return dict(EXPECTED_FAILURES)


def _check_options():
    if "expected_failed_checks" in inspect.signature(parametrize_with_checks).parameters:
        return {"expected_failed_checks": expected_failures}
    return {}


@parametrize_with_checks([XGB2Regressor(), XGB2Classifier()], **_check_options())
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(150, 3))
    y = X[:, 0] - X[:, 1] * X[:, 2]
    return X, y


FACES = [(XGB2Regressor, lambda y: y), (XGB2Classifier, lambda y: y > 0)]


@pytest.mark.parametrize("face, target", FACES)
def test_params_clone_and_repr(face, target, data):
    X, y = data
    model = face(n_estimators=4, mono_increasing_list=("X0",))
    params = model.get_params()
    assert list(params) == sorted(params)
    assert params["n_estimators"] == 4 and params["mono_increasing_list"] == ("X0",)
    assert model.set_params(eta=0.1, n_estimators=6) is model
    assert model.eta == 0.1
    assert repr(model) == (f"{face.__name__}(eta=0.1, mono_increasing_list=('X0',), "
                           "n_estimators=6)")
    model.fit(X, target(y))
    copy = clone(model)
    assert copy.get_params() == model.get_params()
    assert not hasattr(copy, "estimator_")
    assert copy.fit(X, target(y)).estimator_.get_booster().num_boosted_rounds() == 6
    assert is_classifier(model) == (face is XGB2Classifier)
    assert is_regressor(model) == (face is XGB2Regressor)


@pytest.mark.parametrize("face, target", FACES)
def test_pickle_of_a_fitted_model(face, target, data):
    X, y = data
    model = face(n_estimators=5).fit(X, target(y))
    restored = pickle.loads(pickle.dumps(model))
    assert type(restored) is face
    method = "predict_proba" if face is XGB2Classifier else "predict"
    assert np.array_equal(getattr(restored, method)(X), getattr(model, method)(X))
    assert restored.xgb_params_ == model.xgb_params_


@pytest.mark.parametrize("face, target", FACES)
def test_pickle_of_a_parsed_model(face, target, data):
    X, y = data
    model = face(n_estimators=15).fit(X, target(y))
    assert isinstance(model.parse_model(), FANOVAInterpreter)
    restored = pickle.loads(pickle.dumps(model))
    assert restored.intercept_ == model.intercept_
    assert list(restored.effects_["2D"]) == list(model.effects_["2D"])
    for kind in ("1D", "2D"):
        for record in model.effects_[kind].values():
            fidx = tuple(record["fidx"])
            assert np.array_equal(restored.partial_dependence(fidx, X),
                                  model.partial_dependence(fidx, X))
    assert isinstance(restored.unp_, type(model.unp_))


@pytest.mark.parametrize("face, target, scoring", [
    (XGB2Regressor, lambda y: y, "r2"),
    (XGB2Classifier, lambda y: y > 0, "accuracy"),
    (XGB2Classifier, lambda y: y > 0, "roc_auc"),
])
def test_pipeline_and_cross_validation(face, target, scoring, data):
    X, y = data
    pipeline = make_pipeline(StandardScaler(), face(n_estimators=20))
    pipeline.fit(X, target(y))
    assert pipeline.score(X, target(y)) > 0.8
    scores = cross_val_score(face(n_estimators=20), X, target(y), cv=3, scoring=scoring)
    assert scores.shape == (3,) and np.all(scores > 0.5)


@pytest.mark.parametrize("face, keys", [(XGB2Regressor, ["_xfail_checks"]),
                                        (XGB2Classifier, ["binary_only", "_xfail_checks"])])
def test_tags(face, keys):
    model = face()
    tags = model._more_tags()
    assert list(tags) == keys and tags is not model._more_tags()
    assert tags["_xfail_checks"] == {"check_sample_weights_invariance": (SAMPLE_WEIGHT_REASON,)}
    assert tags.get("binary_only", False) == (face is XGB2Classifier)
    if hasattr(model, "__sklearn_tags__"):
        from sklearn.utils import get_tags
        current = get_tags(model)
        if face is XGB2Classifier:
            assert current.classifier_tags.multi_class is False
        else:
            assert current.regressor_tags is not None
