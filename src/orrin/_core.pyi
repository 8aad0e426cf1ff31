"""
C++ kernels used by the orrin host services.
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
def _cached_bytes() -> int:
    """
    _cached_bytes()
    --

    Bytes held by the cache now.
    """
def _release_cached_blocks() -> int:
    """
    _release_cached_blocks()
    --

    Frees the kept blocks; returns the bytes they held.
    """
def _set_cache_limit(nbytes: typing.SupportsInt | typing.SupportsIndex) -> int:
    """
    _set_cache_limit(nbytes)
    --

    Sets the cache limit; returns the previous one.
    """
def average(a: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], weights: typing.Any = None) -> typing.Any:
    """
    np.average of a float64 vector, reproduced bit for bit.
    """
def evaluate_1d(X: typing.Any, column: typing.SupportsInt | typing.SupportsIndex, split_points: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], left_open: bool) -> numpy.typing.NDArray[numpy.float64]:
    """
    Piecewise-constant main effect evaluated on one column of X.
    """
def evaluate_2d(X: typing.Any, column0: typing.SupportsInt | typing.SupportsIndex, column1: typing.SupportsInt | typing.SupportsIndex, split_points_0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], split_points_1: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], values: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], left_open: bool) -> numpy.typing.NDArray[numpy.float64]:
    """
    Piecewise-constant pair effect evaluated on two columns of X.
    """
def fz_cell_sums(x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], column0: typing.SupportsInt | typing.SupportsIndex, column1: typing.SupportsInt | typing.SupportsIndex, edges0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], edges1: collections.abc.Sequence[typing.Annotated[numpy.typing.ArrayLike, numpy.float64]], scores: typing.Any, weights: typing.Any) -> dict:
    """
    Rows and compensated sums of scores, weights and weight * score per histogram cell (column1 < 0: the bins of column0; else the bins of column1 within each bin of column0, on edges1 of that bin).
    """
def fz_group_summary(x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], column0: typing.SupportsInt | typing.SupportsIndex, column1: typing.SupportsInt | typing.SupportsIndex, edges0: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], cap: typing.SupportsInt | typing.SupportsIndex) -> list:
    """
    fz_summary of column1 over the rows of every bin of column0 on edges0.
    """
def fz_region_rows(x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], column0: typing.SupportsInt | typing.SupportsIndex, column1: typing.SupportsInt | typing.SupportsIndex, lb1: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], ub1: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], closed1: collections.abc.Sequence[bool], lb2: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], ub2: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], closed2: collections.abc.Sequence[bool]) -> list:
    """
    Positions of the block's rows in every region, ascending.
    """
def fz_region_sums(x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], column0: typing.SupportsInt | typing.SupportsIndex, column1: typing.SupportsInt | typing.SupportsIndex, lb1: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], ub1: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], closed1: collections.abc.Sequence[bool], lb2: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], ub2: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], closed2: collections.abc.Sequence[bool], scores: typing.Any, weights: typing.Any) -> dict:
    """
    Rows and compensated sums of scores, weights and weight * score per region.
    """
def fz_region_sums_closing(x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], column0: typing.SupportsInt | typing.SupportsIndex, column1: typing.SupportsInt | typing.SupportsIndex, lb1: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], ub1: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], closed1: collections.abc.Sequence[bool], lb2: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], ub2: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex], scores: typing.Any, weights: typing.Any) -> dict:
    """
    Per two-feature region: sums of the rows inside and on the second upper bound, the rows on it and the rows beyond it, which decide its closure.
    """
def fz_summary(x: typing.Annotated[numpy.typing.ArrayLike, numpy.float64], column: typing.SupportsInt | typing.SupportsIndex, cap: typing.SupportsInt | typing.SupportsIndex) -> dict:
    """
    Rows, min, max, NaN flag and up to `cap` distinct values of one column of a block.
    """
def xgb_effect_counts(model_json: bytes, X: typing.Any) -> dict:
    """
    Rows of X per bin of every main effect and per cell of every pair effect of a depth-2 booster: {'n', 'mains', 'pairs'}, int64 arrays; counts of blocks add.
    """
def xgb_effects(model_json: bytes, X: typing.Any, purification: bool, true_to_data: bool) -> dict:
    """
    Main and pair effect tables of a depth-2 booster (its JSON model text), weighted by the rows of X and purified when asked.
    """
def xgb_effects_from_counts(model_json: bytes, counts: dict, purification: bool, true_to_data: bool) -> dict:
    """
    The effect tables of xgb_effects, weighed by counts from xgb_effect_counts: equal to xgb_effects on the rows the counts were gathered from.
    """
