"""Interpretable depth-2 gradient-boosted trees with exact main and pairwise effects."""

import inspect
from typing import Any, ClassVar, Dict, Optional, Sequence, Tuple

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin, RegressorMixin

class XGB2Base(BaseEstimator):
    __signature__: ClassVar[inspect.Signature]
    n_features_in_: int
    feature_names_: list
    feature_types_: list
    xgb_params_: Dict[str, Any]
    estimator_: Any
    is_fitted_: bool
    X_: np.ndarray
    n_splits_raw_: int
    unp_: Any
    effects_: Dict[str, Dict[Any, Dict[str, Any]]]
    intercept_: float
    def __init__(self, n_estimators: int = 100, eta: float = 0.3, max_depth: int = 2,
                 tree_method: str = "auto", max_bin: int = 20, reg_lambda: float = 1,
                 reg_alpha: float = 0, gamma: float = 0,
                 feature_names: Optional[Sequence[str]] = None,
                 feature_types: Optional[Sequence[str]] = None,
                 mono_increasing_list: Sequence[str] = (),
                 mono_decreasing_list: Sequence[str] = (), random_state: int = 0) -> None: ...
    def fit(self, X: Any, y: Any, sample_weight: Any = None) -> "XGB2Base": ...
    def _fit_xgb_raw(self, X: np.ndarray, y: np.ndarray,
                     sample_weight: Optional[np.ndarray] = None) -> None: ...
    def _base_extract_rules(self) -> Dict[str, np.ndarray]: ...
    def parse_model(self) -> Any: ...
    def partial_dependence(self, fidx: Tuple[int, ...], X: Any) -> np.ndarray: ...
    def set_params(self, **params: Any) -> "XGB2Base": ...

class XGB2Regressor(RegressorMixin, XGB2Base):
    def __init__(self, n_estimators: int = 100, eta: float = 0.3, max_depth: int = 2,
                 tree_method: str = "auto", max_bin: int = 256, reg_lambda: float = 0,
                 reg_alpha: float = 0, gamma: float = 0,
                 feature_names: Optional[Sequence[str]] = None,
                 feature_types: Optional[Sequence[str]] = None,
                 mono_increasing_list: Sequence[str] = (),
                 mono_decreasing_list: Sequence[str] = (), random_state: int = 0) -> None: ...
    def _more_tags(self) -> Dict[str, Any]: ...
    def __sklearn_tags__(self) -> Any: ...
    def _validate_input(self, x: Any, y: Any,
                        sample_weight: Any) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...
    def predict(self, X: Any) -> np.ndarray: ...

class XGB2Classifier(ClassifierMixin, XGB2Base):
    label_binarizer_: Any
    classes_: np.ndarray
    def __init__(self, n_estimators: int = 100, eta: float = 0.3, max_depth: int = 2,
                 tree_method: str = "auto", max_bin: int = 256, reg_lambda: float = 0,
                 reg_alpha: float = 0, gamma: float = 0,
                 feature_names: Optional[Sequence[str]] = None,
                 feature_types: Optional[Sequence[str]] = None,
                 mono_increasing_list: Sequence[str] = (),
                 mono_decreasing_list: Sequence[str] = (), random_state: int = 0) -> None: ...
    def _more_tags(self) -> Dict[str, Any]: ...
    def __sklearn_tags__(self) -> Any: ...
    def _validate_input(self, x: Any, y: Any,
                        sample_weight: Any) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...
    def predict_proba(self, X: Any) -> np.ndarray: ...
    def decision_function(self, X: Any) -> np.ndarray: ...
    def predict(self, X: Any) -> np.ndarray: ...
