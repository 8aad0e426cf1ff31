"""Tree-function services: evaluation of piecewise-constant effects of boosted trees."""

import numpy as np

from orrin import _core


def predict_1D_func_tree(fidx, split_points, values, left_open=True):
    """Build the function of a piecewise-constant main effect.

    Parameters
    ----------
    fidx : tuple of int
        One column index: the column of ``X`` that the effect reads.
    split_points : array-like of shape (n_splits,)
        Strictly increasing split points.
    values : array-like of shape (n_splits + 1,)
        ``values[b]`` is the effect on piece ``b``, between ``split_points[b - 1]`` and
        ``split_points[b]``.
    left_open : bool, default=True
        Which piece a value equal to a split point falls on. True: the piece to the right of the
        split, so a row goes left exactly when ``x < split`` as in boosted trees (each piece is
        closed below and open above). False: the piece to the left (``x <= split`` goes left).
        Values are compared as float32, as the trees compare them; NaN falls on the last piece.

    Returns
    -------
    callable
        ``f(X)`` returning the effect for every row of the matrix ``X``, shape (n_samples,).
    """
    _core.eval_1d(_probe(fidx), fidx, split_points, values, left_open)

    def predict(X):
        return _core.eval_1d(X, fidx, split_points, values, left_open)

    return predict


def predict_2D_func_tree(fidx, split_points_0, split_points_1, values, left_open=True):
    """Build the function of a piecewise-constant pair effect.

    Parameters
    ----------
    fidx : tuple of int
        Two column indices; the first is read with ``split_points_0``, the second with
        ``split_points_1``.
    split_points_0, split_points_1 : array-like
        Strictly increasing split points of the two columns.
    values : array-like of shape (len(split_points_0) + 1, len(split_points_1) + 1)
        ``values[b0, b1]`` is the effect on the cell of pieces ``b0`` and ``b1``.
    left_open : bool, default=True
        Which piece a value equal to a split point falls on, as in
        :func:`predict_1D_func_tree`: True sends it to the right (``x < split`` goes left).

    Returns
    -------
    callable
        ``f(X)`` returning the effect for every row of the matrix ``X``, shape (n_samples,).
    """
    _core.eval_2d(_probe(fidx), fidx, split_points_0, split_points_1, values, left_open)

    def predict(X):
        return _core.eval_2d(X, fidx, split_points_0, split_points_1, values, left_open)

    return predict


def _probe(fidx):
    """An empty matrix wide enough for ``fidx``, to check the arguments when the function is
    built rather than at its first call."""
    try:
        width = max(int(i) for i in fidx) + 1
    except (TypeError, ValueError):
        raise ValueError("fidx must be a non-empty tuple of integer column indices") from None
    if width < 1:
        raise ValueError("fidx must hold non-negative column indices")
    return np.empty((0, width))
