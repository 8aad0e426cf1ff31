"""Tree-function services: piecewise-constant effects evaluated on the rows of a matrix.

An effect on split points ``s_0 < s_1 < ... < s_{m-1}`` has ``m + 1`` values, one per bin;
bin ``b`` lies between ``s_{b-1}`` and ``s_b``. The last argument, ``left_open``, says on which
side a value equal to a split point falls:

- ``left_open=True``: bins are ``[s_{b-1}, s_b)``; a value equal to ``s_b`` belongs to the
  bin above it, exactly as a boosted tree sends a row left only when ``x < split``.
- ``left_open=False``: bins are ``(s_{b-1}, s_b]``; a value equal to ``s_b`` stays below.

Values are read as float32 before they are compared, as the booster reads them, so an effect
decoded from a booster reproduces the booster's routing for every input. A NaN value gives NaN.
"""

import numbers

import numpy as np

from orrin import _core
from orrin._dask import is_dask_collection, map_rows

_NATIVE_KINDS = "fiub"


def _as_matrix(X):
    """X as a 2-D numpy array of a dtype the kernels read (no copy where possible)."""
    if hasattr(X, "iloc") and hasattr(X, "columns"):
        X = X.to_numpy()
    X = np.asarray(X)
    if X.dtype.kind in "cmMSUV":
        raise TypeError(f"X must hold real numbers, got dtype {X.dtype}")
    if X.dtype.kind not in _NATIVE_KINDS or X.dtype.itemsize not in (1, 2, 4, 8) or (
            X.dtype.kind == "f" and X.dtype.itemsize == 2):
        try:
            X = X.astype(np.float64)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"X must hold numbers, got dtype {X.dtype}") from exc
    if not X.dtype.isnative:
        X = X.astype(X.dtype.newbyteorder("="))
    if X.ndim != 2:
        raise ValueError(f"X must be a two-dimensional matrix, got {X.ndim} dimension(s)")
    return X


def _indices(fidx, count):
    if isinstance(fidx, numbers.Integral) and count == 1:
        fidx = (fidx,)
    try:
        items = list(fidx)
    except TypeError:
        raise ValueError(f"fidx must be a sequence of {count} column index(es), got {fidx!r}")
    if len(items) != count or not all(
            isinstance(i, numbers.Integral) and not isinstance(i, bool) for i in items):
        raise ValueError(f"fidx must be a sequence of {count} integer column index(es), "
                         f"got {fidx!r}")
    for i in items:
        if i < 0:
            raise ValueError(f"fidx {int(i)} is out of range: column indices start at 0")
    return [int(i) for i in items]


def _splits(points, name):
    try:
        points = np.ascontiguousarray(points, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be a sequence of numbers") from exc
    if points.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional")
    if np.isnan(points).any() or (points.size > 1 and not (np.diff(points) > 0).all()):
        raise ValueError(f"{name} must be strictly ascending numbers")
    return points


def _values(values, shape):
    try:
        values = np.ascontiguousarray(values, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError("values must be numbers") from exc
    if values.shape != shape:
        raise ValueError(f"values must have shape {shape} (one entry per bin), "
                         f"got {values.shape}")
    return values


def predict_1D_func_tree(fidx, split_points, values, left_open=True):
    """Piecewise-constant main effect as a function of the rows of a matrix.

    Parameters
    ----------
    fidx : int or tuple of one int
        Column of ``X`` that the effect reads.
    split_points : array-like of shape (m,)
        Strictly ascending split points.
    values : array-like of shape (m + 1,)
        The effect's value in each bin.
    left_open : bool, default=True
        True: a value equal to a split point falls into the bin above it (``x < split``
        goes below, the booster's rule). False: it falls into the bin below.

    Returns
    -------
    callable
        ``f(X)`` returning an array of shape (n_samples,); a dask array for a dask ``X``,
        computed block by block.
    """
    (column,) = _indices(fidx, 1)
    points = _splits(split_points, "split_points")
    table = _values(values, (points.size + 1,))
    left_open = bool(left_open)

    def effect(X):
        if is_dask_collection(X):
            return map_rows(effect, X, np.float64)
        X = _as_matrix(X)
        return _core.evaluate_1d(X, column, points, table, left_open)

    return effect


def predict_2D_func_tree(fidx, split_points_0, split_points_1, values, left_open=True):
    """Piecewise-constant pair effect as a function of the rows of a matrix.

    Parameters
    ----------
    fidx : tuple of two int
        Columns of ``X`` that the effect reads; ``fidx[0]`` is binned on ``split_points_0``
        and indexes the rows of ``values``, ``fidx[1]`` on ``split_points_1``, its columns.
    split_points_0, split_points_1 : array-like of shape (m0,) and (m1,)
        Strictly ascending split points of the two features.
    values : array-like of shape (m0 + 1, m1 + 1)
        The effect's value in each cell.
    left_open : bool, default=True
        Which side a value equal to a split point falls on, as in ``predict_1D_func_tree``.

    Returns
    -------
    callable
        ``f(X)`` returning an array of shape (n_samples,); a dask array for a dask ``X``,
        computed block by block.
    """
    column0, column1 = _indices(fidx, 2)
    points0 = _splits(split_points_0, "split_points_0")
    points1 = _splits(split_points_1, "split_points_1")
    table = _values(values, (points0.size + 1, points1.size + 1))
    left_open = bool(left_open)

    def effect(X):
        if is_dask_collection(X):
            return map_rows(effect, X, np.float64)
        X = _as_matrix(X)
        return _core.evaluate_2d(X, column0, column1, points0, points1, table, left_open)

    return effect
