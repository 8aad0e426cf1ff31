import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orrin.models.utils import predict_1D_func_tree, predict_2D_func_tree


def reference_bins(column, splits, left_open=True):
    """Bins of float32-read values: the number of split points <= x (or < x)."""
    values = np.asarray(column, dtype=np.float64).astype(np.float32).astype(np.float64)
    return np.searchsorted(splits, values, side="right" if left_open else "left")


SPLITS = np.array([1.0, 2.0])
VALUES = np.array([10.0, 20.0, 30.0])


@pytest.mark.parametrize("left_open, expected", [
    (True, [10, 20, 20, 30, 30]),
    (False, [10, 10, 20, 20, 30]),
])
def test_value_on_a_split_point_follows_left_open(left_open, expected):
    X = np.array([[0.5], [1.0], [1.5], [2.0], [3.0]])
    out = predict_1D_func_tree((0,), SPLITS, VALUES, left_open)(X)
    assert out.dtype == np.float64 and out.shape == (5,)
    np.testing.assert_array_equal(out, expected)


def test_values_are_read_as_float32_like_the_booster():
    split = float(np.float32(0.1))
    below = np.nextafter(split, -np.inf)  # below in float64, equal once read as float32
    X = np.array([[below], [split], [np.nextafter(np.float32(split), np.float32(-1))]])
    out = predict_1D_func_tree(0, [split], [1.0, 2.0], True)(X)
    np.testing.assert_array_equal(out, [2.0, 2.0, 1.0])


def test_huge_and_infinite_values_fall_in_the_outer_bins():
    X = np.array([[-np.inf], [-1e300], [1e300], [np.inf], [np.nan]])
    out = predict_1D_func_tree(0, SPLITS, VALUES)(X)
    np.testing.assert_array_equal(out[:4], [10, 10, 30, 30])
    assert np.isnan(out[4])


MATRIX = np.array([[0.0, 1.0, 2.5], [1.0, 2.0, 1.5], [3.0, 0.0, 2.0], [2.0, 1.0, 0.0]])


@pytest.mark.parametrize("make", [
    lambda X: X,
    lambda X: X.astype(np.float32),
    lambda X: X.astype(np.int64),
    lambda X: X.astype(np.int32),
    lambda X: X.astype(np.uint8),
    lambda X: X.astype(np.int8),
    lambda X: X.astype(np.float16),
    lambda X: (X > 1.2),
    lambda X: X.astype(object),
    lambda X: X.tolist(),
    lambda X: np.asfortranarray(X),
    lambda X: np.repeat(X, 2, axis=0)[::2],
    lambda X: X[:, ::-1][:, ::-1],
    lambda X: pd.DataFrame(X, columns=list("abc")),
    lambda X: pd.DataFrame({"a": X[:, 0].astype(int), "b": X[:, 1], "c": X[:, 2]}),
    lambda X: X.astype(X.dtype.newbyteorder()),
    lambda X: X.astype(np.dtype(np.float32).newbyteorder()),
    lambda X: X.astype(np.dtype(np.int32).newbyteorder()),
], ids=["f64", "f32", "i64", "i32", "u8", "i8", "f16", "bool", "object", "list", "fortran",
        "strided", "reversed", "frame", "mixed-frame", "swapped-f64", "swapped-f32",
        "swapped-i32"])
def test_every_numeric_layout_gives_the_reference(make):
    X = make(MATRIX)
    plain = np.asarray(pd.DataFrame(X).to_numpy() if isinstance(X, pd.DataFrame) else X,
                       dtype=np.float64)
    out1 = predict_1D_func_tree((2,), SPLITS, VALUES)(X)
    np.testing.assert_array_equal(out1, VALUES[reference_bins(plain[:, 2], SPLITS)])
    table = np.arange(12.0).reshape(3, 4)
    s1 = np.array([0.5, 1.0, 2.0])
    out2 = predict_2D_func_tree((2, 0), SPLITS, s1, table)(X)
    expected = table[reference_bins(plain[:, 2], SPLITS), reference_bins(plain[:, 0], s1)]
    np.testing.assert_array_equal(out2, expected)


def test_pair_axes_follow_the_order_of_fidx():
    table = np.array([[0.0, 1.0], [10.0, 11.0]])
    X = np.array([[0.0, 5.0], [5.0, 0.0]])
    np.testing.assert_array_equal(predict_2D_func_tree((0, 1), [1.0], [1.0], table)(X),
                                  [1.0, 10.0])
    np.testing.assert_array_equal(predict_2D_func_tree((1, 0), [1.0], [1.0], table)(X),
                                  [10.0, 1.0])


def test_empty_rows_give_an_empty_result():
    out = predict_2D_func_tree((0, 1), [1.0], [1.0], np.zeros((2, 2)))(np.empty((0, 2)))
    assert out.shape == (0,)


@pytest.mark.parametrize("fidx", [(3,), (-1,), (0, 1), (), "0", (1.5,), None, (True,)])
def test_bad_1d_index_is_a_value_error(fidx):
    with pytest.raises(ValueError, match="fidx"):
        predict_1D_func_tree(fidx, SPLITS, VALUES)(MATRIX)


@pytest.mark.parametrize("fidx", [(0, 3), (7, 0), (0,), (0, 1, 2), (-2, 0)])
def test_bad_2d_index_is_a_value_error(fidx):
    with pytest.raises(ValueError, match="fidx"):
        predict_2D_func_tree(fidx, SPLITS, SPLITS, np.zeros((3, 3)))(MATRIX)


@pytest.mark.parametrize("splits, values, message", [
    ([2.0, 1.0], [1.0, 2.0, 3.0], "ascending"),
    ([1.0, 1.0], [1.0, 2.0, 3.0], "ascending"),
    ([np.nan], [1.0, 2.0], "ascending"),
    ([[1.0]], [1.0, 2.0], "one-dimensional"),
    ([1.0], [1.0, 2.0, 3.0], "shape"),
    ([1.0], [1.0], "shape"),
    (["a"], [1.0, 2.0], "numbers"),
])
def test_bad_tables_are_rejected_at_creation(splits, values, message):
    with pytest.raises(ValueError, match=message):
        predict_1D_func_tree(0, splits, values)


def test_bad_pair_table_shape():
    with pytest.raises(ValueError, match="shape"):
        predict_2D_func_tree((0, 1), [1.0], [1.0, 2.0], np.zeros((2, 2)))


@pytest.mark.parametrize("X, error", [
    (np.zeros(4), ValueError),
    (np.zeros((2, 2, 2)), ValueError),
    (np.array([["a", "b", "c"]]), TypeError),
    (np.zeros((2, 3), dtype=complex), TypeError),
])
def test_bad_matrix(X, error):
    with pytest.raises(error):
        predict_1D_func_tree(0, SPLITS, VALUES)(X)


@settings(max_examples=60, deadline=None)
@given(
    splits=st.lists(st.floats(-1e6, 1e6, width=32), min_size=0, max_size=40, unique=True),
    column=st.lists(st.floats(-2e6, 2e6, allow_nan=False), min_size=1, max_size=60),
    left_open=st.booleans(),
)
def test_matches_searchsorted_on_float32_values(splits, column, left_open):
    splits = np.sort(np.array(splits, dtype=np.float64))
    values = np.random.default_rng(len(column)).normal(size=splits.size + 1)
    X = np.column_stack([np.zeros(len(column)), column])
    out = predict_1D_func_tree((1,), splits, values, left_open)(X)
    np.testing.assert_array_equal(out, values[reference_bins(X[:, 1], splits, left_open)])
