import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from effect_helpers import reference_bins
from orrin.models.utils import predict_1D_func_tree, predict_2D_func_tree

SPLITS = np.array([-1.0, 0.0, 0.1, 2.5])
VALUES = np.array([10.0, 20.0, 30.0, 40.0, 50.0])


@pytest.mark.parametrize("x, left_open, expected", [
    (0.0, True, 30.0),        # equal to a split: right piece, as `x < split` goes left
    (0.0, False, 20.0),       # equal goes to the left piece
    (-1.0, True, 20.0),
    (-1.0, False, 10.0),
    (2.5, True, 50.0),
    (-5.0, True, 10.0),
    (1e300, True, 50.0),
    (-np.inf, True, 10.0),
    (np.inf, False, 50.0),
    (np.nan, True, 50.0),
    # 0.1 - 1e-12 rounds to the float32 value below 0.1 ... compared as the trees compare
    (float(np.float32(0.1)), True, 40.0),
    (np.nextafter(float(np.float32(0.1)), -1.0), True, 40.0),
    (float(np.nextafter(np.float32(0.1), np.float32(-1))), True, 30.0),
])
def test_1d_piece_of_a_value(x, left_open, expected):
    splits = SPLITS.copy()
    splits[2] = float(np.float32(0.1))
    f = predict_1D_func_tree((0,), splits, VALUES, left_open)
    assert f(np.array([[x]]))[0] == expected


@settings(max_examples=60, deadline=None)
@given(splits=hnp.arrays(np.float32, st.integers(0, 40), unique=True,
                         elements=st.floats(-100, 100, width=32)),
       x=hnp.arrays(np.float64, st.integers(0, 300), elements=st.floats(-150, 150)),
       left_open=st.booleans())
def test_1d_matches_searchsorted_on_float32_values(splits, x, left_open):
    s = np.sort(splits).astype(np.float64)
    values = np.arange(len(s) + 1, dtype=np.float64) * 1.5 - 3
    side = "right" if left_open else "left"
    want = values[np.searchsorted(s, x.astype(np.float32), side=side)]
    X = np.column_stack([np.zeros_like(x), x])
    np.testing.assert_array_equal(predict_1D_func_tree((1,), s, values, left_open)(X), want)


@pytest.mark.parametrize("convert", [
    lambda X: X,
    lambda X: X.astype(np.float32),
    lambda X: np.asfortranarray(X),
    lambda X: np.repeat(X, 3, axis=0)[::3],
    lambda X: X.astype(">f8"),
    lambda X: np.round(X * 3).astype(np.int64),
    lambda X: np.round(X * 3).astype(np.int8),
    lambda X: X > 0,
    lambda X: pd.DataFrame(X),
    lambda X: X.astype(object),
    lambda X: X.tolist(),
])
def test_input_kinds_agree(convert):
    rng = np.random.default_rng(0)
    X = rng.normal(size=(100, 3))
    C = convert(X)
    ref = np.asarray(C, dtype=np.float64)
    s0, s1 = np.array([-0.5, 0.0, 1.0]), np.array([0.5])
    t = np.arange(8.0).reshape(4, 2)
    got = predict_2D_func_tree((2, 0), s0, s1, t, True)(C)
    want = t[reference_bins(s0, ref[:, 2]), reference_bins(s1, ref[:, 0])]
    np.testing.assert_array_equal(got, want)
    got1 = predict_1D_func_tree((1,), s0, np.arange(4.0), True)(C)
    np.testing.assert_array_equal(got1, reference_bins(s0, ref[:, 1]).astype(float))


def test_2d_axes_follow_fidx_order():
    X = np.array([[0.0, 5.0], [5.0, 0.0]])
    t = np.array([[1.0, 2.0], [3.0, 4.0]])
    f01 = predict_2D_func_tree((0, 1), [1.0], [1.0], t, True)
    f10 = predict_2D_func_tree((1, 0), [1.0], [1.0], t, True)
    np.testing.assert_array_equal(f01(X), [2.0, 3.0])
    np.testing.assert_array_equal(f10(X), [3.0, 2.0])


def test_no_splits_is_a_constant_and_empty_rows_give_an_empty_result():
    f = predict_1D_func_tree((0,), [], [7.0], True)
    np.testing.assert_array_equal(f(np.ones((3, 1))), [7.0, 7.0, 7.0])
    assert f(np.zeros((0, 2))).shape == (0,)
    g = predict_2D_func_tree((0, 1), [], [1.0], [[1.0, 2.0]], True)
    np.testing.assert_array_equal(g(np.array([[9.0, 0.0], [9.0, 2.0]])), [1.0, 2.0])


@pytest.mark.parametrize("build, match", [
    (lambda: predict_1D_func_tree((3,), SPLITS, VALUES, True), "out of range"),
    (lambda: predict_1D_func_tree((-1,), SPLITS, VALUES, True), "non-negative|out of range"),
    (lambda: predict_1D_func_tree(("a",), SPLITS, VALUES, True), "integer"),
    (lambda: predict_1D_func_tree((), SPLITS, VALUES, True), "fidx"),
    (lambda: predict_1D_func_tree((0, 1), SPLITS, VALUES, True), "exactly one"),
    (lambda: predict_1D_func_tree((0,), SPLITS, VALUES[:-1], True), "len\\(split_points\\)"),
    (lambda: predict_1D_func_tree((0,), SPLITS[::-1], VALUES, True), "increasing"),
    (lambda: predict_1D_func_tree((0,), [0.0, np.nan], [1, 2, 3], True), "NaN"),
    (lambda: predict_1D_func_tree((0,), SPLITS, [[1.0]], True), "1-D"),
    (lambda: predict_1D_func_tree((0,), ["x"], [1.0, 2.0], True), "split_points"),
    (lambda: predict_2D_func_tree((0,), SPLITS, SPLITS, np.zeros((5, 5)), True), "exactly two"),
    (lambda: predict_2D_func_tree((0, 1), SPLITS, SPLITS, np.zeros((5, 4)), True), "shape"),
    (lambda: predict_2D_func_tree((0, 1), SPLITS, SPLITS, np.zeros(25), True), "2-D"),
])
def test_bad_arguments_are_value_errors(build, match):
    with pytest.raises(ValueError, match=match):
        build()(np.zeros((2, 2)))


@pytest.mark.parametrize("X, match", [
    (np.zeros(3), "2-D"),
    (np.zeros((2, 2, 2)), "2-D"),
    (np.zeros((2, 1)), "out of range"),
    (np.array([["a", "b"]]), "numeric"),
    (np.array([["a", 1.0]], dtype=object), "numeric"),
    (np.array([[1 + 2j, 0]]), "numeric"),
    ("not a matrix", "2-D|numeric"),
])
def test_bad_matrices_are_value_errors(X, match):
    f = predict_2D_func_tree((0, 1), [0.0], [0.0], np.zeros((2, 2)), True)
    with pytest.raises(ValueError, match=match):
        f(X)
