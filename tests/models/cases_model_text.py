"""Mutated model texts through the effect decoder (run in a child process by
test_model_text.py): each text is refused with a ValueError that says what is wrong, or
decoded into finite effects that add up to the booster's own margin."""

import copy
import json
import math
import re

import numpy as np
import pytest
import xgboost as xgb
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orrin import _core
from orrin.models.xgb2.interpret import XGBInterpreter
from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

N_TREES = 4


def _data():
    rng = np.random.default_rng(5)
    X = rng.normal(size=(80, 3))
    return X, X[:, 0] + X[:, 1] * X[:, 2] + 0.1 * rng.normal(size=80)


X, Y = _data()
MODELS = {
    "regressor": XGB2Regressor(n_estimators=N_TREES).fit(X, Y),
    "classifier": XGB2Classifier(n_estimators=N_TREES).fit(X, Y > 0),
}
TEXTS = {name: json.loads(bytes(m.estimator_.get_booster().save_raw("json")))
         for name, m in MODELS.items()}

TREE_KEYS = ["left_children", "right_children", "split_indices", "split_conditions",
             "split_type"]
PARAM_KEYS = ["base_score", "num_feature", "num_class", "num_target"]
NUMBERS = st.one_of(
    st.sampled_from([math.nan, math.inf, -math.inf, 1e308, 1e39, 3.5e38, -1, -2, 0, 1, 2, 3,
                     6, 7, 2**31, 2**63, 1.5, -0.5, 1e-300]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-10, 10))
WRONG_TYPES = st.sampled_from(["x", "", None, [], {}, True, [1, 2], "1e400", "nan", "[1,2]"])


class Text:
    """A stand-in booster whose model text is given (the decoder reads nothing else)."""

    feature_names = None

    def __init__(self, text):
        self.text = text

    def save_raw(self, raw_format="json"):
        return bytearray(self.text)


def _trees(model):
    return model["learner"]["gradient_booster"]["model"]["trees"]


def mutate(model, mutation):
    kind, *args = mutation
    trees = _trees(model)
    if kind == "node":
        t, key, node, value = args
        entries = trees[t][key]
        entries[node % len(entries)] = value
    elif kind == "list":
        t, key, value = args
        trees[t][key] = value
    elif kind == "drop":
        t, key = args
        trees[t].pop(key, None)
    elif kind == "swap":
        t, node = args
        tree = trees[t]
        node %= len(tree["left_children"])
        tree["left_children"][node], tree["right_children"][node] = (
            tree["right_children"][node], tree["left_children"][node])
    elif kind == "child":
        # A child pointing at the root, at itself or past the end.
        t, side, node, target = args
        entries = trees[t][side]
        node %= len(entries)
        entries[node] = {"root": 0, "self": node, "end": len(entries), "far": 2**40}[target]
    elif kind == "param":
        key, value = args
        model["learner"]["learner_model_param"][key] = value
    elif kind == "param_text":
        key, value = args
        model["learner"]["learner_model_param"][key] = repr(value)
    elif kind == "drop_param":
        model["learner"]["learner_model_param"].pop(args[0], None)
    elif kind == "drop_tree":
        trees.pop(args[0] % len(trees))
    elif kind == "tree_param":
        key, value = args
        trees[args[0] % len(trees)].setdefault("tree_param", {})[key] = value
    return model


trees_index = st.integers(0, N_TREES - 1)
MUTATIONS = st.one_of(
    st.tuples(st.just("node"), trees_index, st.sampled_from(TREE_KEYS), st.integers(0, 6),
              NUMBERS | WRONG_TYPES),
    st.tuples(st.just("list"), trees_index, st.sampled_from(TREE_KEYS),
              WRONG_TYPES | st.lists(NUMBERS, max_size=8)),
    st.tuples(st.just("drop"), trees_index, st.sampled_from(TREE_KEYS + ["tree_param"])),
    st.tuples(st.just("swap"), trees_index, st.integers(0, 6)),
    st.tuples(st.just("child"), trees_index, st.sampled_from(["left_children", "right_children"]),
              st.integers(0, 6), st.sampled_from(["root", "self", "end", "far"])),
    st.tuples(st.just("param"), st.sampled_from(PARAM_KEYS), NUMBERS | WRONG_TYPES),
    st.tuples(st.just("param_text"), st.sampled_from(PARAM_KEYS), NUMBERS),
    st.tuples(st.just("drop_param"), st.sampled_from(PARAM_KEYS)),
    st.tuples(st.just("drop_tree"), trees_index),
)


def booster_margin(text):
    """The booster's own margin for the text, or None where the library refuses the text."""
    try:
        booster = xgb.Booster(model_file=bytearray(text))
    except xgb.core.XGBoostError:
        return None
    return booster.predict(xgb.DMatrix(X), output_margin=True).astype(np.float64)


def leaf_scale(model):
    return sum(max((abs(v) for v in tree["split_conditions"]
                    if isinstance(v, (int, float)) and math.isfinite(v)), default=0.0)
               for tree in _trees(model) if isinstance(tree.get("split_conditions"), list))


@pytest.mark.parametrize("name", sorted(TEXTS))
@settings(max_examples=150, deadline=None, derandomize=True, database=None,
          suppress_health_check=list(HealthCheck))
@given(mutations=st.lists(MUTATIONS, min_size=1, max_size=3))
def test_mutated_text_is_refused_or_decoded_correctly(name, mutations):
    model = copy.deepcopy(TEXTS[name])
    for mutation in mutations:
        try:
            mutate(model, mutation)
        except (KeyError, IndexError, TypeError, ZeroDivisionError, AttributeError):
            pass  # a mutation that an earlier one made inapplicable (a dropped list or tree)
    text = json.dumps(model).encode()
    try:
        interp = XGBInterpreter(Text(text)).fit(X)
    except ValueError as error:
        assert str(error)
        return
    for kind in ("1D", "2D"):
        for record in interp.effects_[kind].values():
            assert np.isfinite(record["values"]).all()
    ours = interp.predict_margin(X)
    assert np.isfinite(ours).all()
    theirs = booster_margin(text)
    if theirs is not None:
        scale = 1.0 + leaf_scale(model) + abs(interp.intercept_)
        np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-5 * scale)


@pytest.mark.parametrize("value, message", [
    ("NaN", "split_conditions"), ("Infinity", "split_conditions"),
    ("-Infinity", "split_conditions"), ("1e400", "split_conditions"),
    ("1e39", "split_conditions"),
])
@pytest.mark.parametrize("face", [XGB2Regressor, XGB2Classifier])
def test_reloaded_booster_with_a_bad_threshold(face, value, message):
    """A fitted model whose booster is re-loaded from a text with a bad split point: parse_model
    refuses it by name and leaves the estimator as it was."""
    model = face(n_estimators=3).fit(X, Y > 0 if face is XGB2Classifier else Y)
    text = bytes(model.estimator_.get_booster().save_raw("json")).decode()
    # The root's split point of the first tree.
    bad = re.sub(r'"split_conditions":\[[^,\]]+', '"split_conditions":[' + value, text, count=1)
    assert bad != text
    model.estimator_.load_model(bytearray(bad.encode()))
    before = dict(vars(model))
    with pytest.raises(ValueError, match=message):
        model.parse_model()
    assert vars(model) == before


def test_raw_decoder_refuses_texts_that_are_no_model():
    for text in [b"", b"{", b"[]", b"null", b"{\"learner\": 1}", b"\xff\xfe", b"[" * 100000]:
        with pytest.raises(ValueError):
            _core.xgb_effects(text, X, True, False)
