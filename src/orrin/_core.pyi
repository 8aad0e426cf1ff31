"""
C++ kernels used by the orrin host services.
"""
from __future__ import annotations
import numpy
import numpy.typing
import typing
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
def xgb_effects(model_json: bytes, X: typing.Any, purification: bool, true_to_data: bool) -> dict:
    """
    Main and pair effect tables of a depth-2 booster (its JSON model text), weighted by the rows of X and purified when asked.
    """
