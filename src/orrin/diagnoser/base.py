"""Base class of the diagnosers: stores the model and validated data."""

import numpy as np
from sklearn.base import is_classifier


def _as_index(idx, n_rows, name):
    arr = np.asarray(idx)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be a one-dimensional array of row positions or a boolean mask.")
    if arr.dtype == np.bool_:
        if arr.size != n_rows:
            raise ValueError(f"{name} as a boolean mask must have one entry per row ({n_rows}), got {arr.size}.")
        return np.flatnonzero(arr)
    if arr.size == 0:
        return arr.astype(np.intp)
    if not np.issubdtype(arr.dtype, np.integer):
        raise TypeError(f"{name} must hold integer row positions, got dtype {arr.dtype}.")
    if arr.min() < -n_rows or arr.max() >= n_rows:
        raise ValueError(f"{name} holds positions outside the {n_rows} rows of x.")
    return arr.astype(np.intp)


def _aligned(values, n_rows, name, *, allow_2d=False):
    if values is None:
        return None
    arr = np.asarray(values)
    if arr.ndim == 0 or (arr.ndim > 1 and not allow_2d) or arr.ndim > 2:
        raise ValueError(f"{name} must be one-dimensional with one entry per row of x.")
    if arr.shape[0] != n_rows:
        raise ValueError(f"{name} has {arr.shape[0]} entries but x has {n_rows} rows.")
    return arr


class BaseDiagnoser:
    """Base of the diagnosers.

    Parameters
    ----------
    estimator : object
        The fitted model to diagnose.
    task_type : {"regression", "classification"} or None
        The task of the model; None infers it from the estimator.
    random_state : int, default=0
        Random seed.
    """

    def __init__(self, estimator, task_type=None, random_state=0):
        self.estimator = estimator
        self.task_type = task_type
        self.random_state = random_state

    def _is_classification(self):
        if self.task_type is not None:
            return self.task_type == "classification"
        return self.estimator is not None and is_classifier(self.estimator)

    def fit(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None,
            sample_weight=None, feature_names=None, feature_types=None, target_name=None,
            predict_name=None):
        """Validate and store the data that the diagnoser reads.

        Parameters
        ----------
        x : array-like of shape (n_samples, n_features)
            Feature matrix; a DataFrame gives its column names as default feature names.
        y : array-like of shape (n_samples,)
            Target.
        train_idx, test_idx : array-like of int or bool
            Row positions (or boolean masks) of the training and the test split.
        prediction : array-like of shape (n_samples,), default=None
            The model's predictions; None calls ``estimator.predict(x)``.
        prediction_proba : array-like of shape (n_samples,) or (n_samples, 2), default=None
            Probabilities of the positive class; None calls ``estimator.predict_proba(x)``
            for a classifier. A two-column array keeps column 1.
        sample_weight : array-like of shape (n_samples,), default=None
        feature_names : list of str, default=None
            Defaults to the DataFrame's columns or "X0", "X1", ...
        feature_types : list of str, default=None
            Defaults to "numerical" for every feature.
        target_name, predict_name : str, default=None
            Display names of the target and the prediction.

        Returns
        -------
        self
        """
        for name, value in self._checked_data(x, y, train_idx, test_idx, prediction, prediction_proba,
                                               sample_weight, feature_names, feature_types, target_name,
                                               predict_name).items():
            setattr(self, name, value)
        return self

    def _checked_data(self, x, y, train_idx, test_idx, prediction=None, prediction_proba=None,
                      sample_weight=None, feature_names=None, feature_types=None, target_name=None,
                      predict_name=None):
        """The attributes that `fit` stores, checked, in the order it stores them.

        Nothing is stored, so a caller can refuse the data after these checks and leave the
        object as it was.
        """
        columns = getattr(x, "columns", None)
        x_arr = np.asarray(x)
        if x_arr.ndim != 2:
            raise ValueError(f"x must be a two-dimensional matrix, got {x_arr.ndim} dimension(s).")
        n_rows, n_cols = x_arr.shape
        if n_rows == 0 or n_cols == 0:
            raise ValueError("x must hold at least one row and one column.")
        y_arr = np.asarray(y)
        if y_arr.ndim == 2 and y_arr.shape[1] == 1:
            y_arr = y_arr.ravel()
        y_arr = _aligned(y_arr, n_rows, "y")
        train = _as_index(train_idx, n_rows, "train_idx")
        test = _as_index(test_idx, n_rows, "test_idx")
        if train.size == 0 or test.size == 0:
            raise ValueError("train_idx and test_idx must each select at least one row.")
        weights = _aligned(sample_weight, n_rows, "sample_weight")
        if weights is not None:
            weights = weights.astype(np.float64)
            if not np.all(np.isfinite(weights)):
                raise ValueError("sample_weight must hold finite numbers.")
        if feature_names is None:
            feature_names = [str(c) for c in columns] if columns is not None else [f"X{i}" for i in range(n_cols)]
        feature_names = list(feature_names)
        if len(feature_names) != n_cols:
            raise ValueError(f"feature_names has {len(feature_names)} names but x has {n_cols} columns.")
        feature_types = ["numerical"] * n_cols if feature_types is None else list(feature_types)
        if len(feature_types) != n_cols:
            raise ValueError(f"feature_types has {len(feature_types)} entries but x has {n_cols} columns.")

        pred = prediction
        if pred is None and self.estimator is not None:
            pred = self.estimator.predict(x)
        pred = _aligned(pred, n_rows, "prediction", allow_2d=True)
        if pred is not None and pred.ndim == 2:
            if pred.shape[1] != 1:
                raise ValueError("prediction must be one-dimensional.")
            pred = pred.ravel()
        proba = prediction_proba
        if proba is None and self._is_classification() and hasattr(self.estimator, "predict_proba"):
            proba = self.estimator.predict_proba(x)
        proba = _aligned(proba, n_rows, "prediction_proba", allow_2d=True)
        if proba is not None and proba.ndim == 2:
            proba = proba[:, 1] if proba.shape[1] > 1 else proba.ravel()

        return {
            "x": x_arr,
            "y": y_arr,
            "train_idx": train,
            "test_idx": test,
            "sample_weight": weights,
            "pred": pred,
            "pred_proba": proba,
            "feature_names": feature_names,
            "feature_types": feature_types,
            "target_name": "y" if target_name is None else target_name,
            "predict_name": "prediction" if predict_name is None else predict_name,
        }

