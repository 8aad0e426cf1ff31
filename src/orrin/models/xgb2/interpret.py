"""Decomposition of depth-2 boosted trees into an intercept, main effects and pair effects."""

import numpy as np

from orrin import _core


class XGBInterpreter:
    """Exact functional-ANOVA decomposition of a boosted ensemble of depth-2 trees.

    Every leaf of a depth-2 tree depends on at most two features, so the ensemble's raw margin
    is ``intercept_`` plus one piecewise-constant main effect per feature and one pair effect
    per pair of features, all on the grid of the ensemble's own split points.

    Parameters
    ----------
    estimator : xgboost.XGBModel or xgboost.Booster
        A trained gradient-boosted tree model with trees of depth at most 2.
    purification : bool, default=True
        Purify the effects: every pair effect gets zero weighted mean along each of its axes,
        every main effect zero weighted mean; the mass moves to the lower-order terms and the
        intercept, so the sum never changes.
    true_to_data : bool, default=False
        Weights of the purification: False, the product of the two features' empirical
        marginal frequencies on ``X``; True, their joint empirical frequencies.
    feature_names : list of str, optional
        Names of the columns; default "X0", "X1", ...
    feature_types : list of str, optional
        Types of the columns; default "numerical" for each.

    Attributes
    ----------
    effects_ : dict
        ``{"1D": {(j,): record}, "2D": {(j, k): record}}``. Each record holds "fidx" (tuple of
        column indices), "name", "type", "split_unique_list" (one array of split points per
        feature of the effect, in the order of "fidx"), "values" (1-D array of
        ``len(splits) + 1`` values, or the 2-D table) and "importance" (the effect's variance
        over ``X``). A value equal to a split point lies on the piece to its right.
    intercept_ : float
        The constant term.
    X_ : ndarray
        The matrix given to ``fit``.
    """

    def __init__(self, estimator, purification=True, true_to_data=False, feature_names=None,
                 feature_types=None):
        self.estimator = estimator
        self.purification = purification
        self.true_to_data = true_to_data
        self.feature_names = feature_names
        self.feature_types = feature_types

    def fit(self, X):
        """Decompose the ensemble and purify its effects on the rows of ``X``.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            The data whose frequencies weight the purification and the importances.

        Returns
        -------
        self
        """
        booster = self.estimator
        if hasattr(booster, "get_booster"):
            booster = booster.get_booster()
        if not hasattr(booster, "save_raw"):
            raise TypeError("estimator must be a trained xgboost model or Booster")
        X = np.asarray(X)
        raw = booster.save_raw(raw_format="json")
        tables = _core.xgb_effects(bytes(raw), X, bool(self.purification),
                                   bool(self.true_to_data))
        n_features = len(tables["grid"])
        names = self._names(n_features)
        types = self._types(n_features)
        grid = tables["grid"]
        mains = {}
        for j, values, importance in tables["mains"]:
            mains[(j,)] = {"type": "main_effect", "fidx": (j,), "name": names[j],
                           "feature_type": types[j], "split_unique_list": [grid[j]],
                           "values": values, "importance": importance}
        pairs = {}
        for j, k, values, importance in tables["pairs"]:
            pairs[(j, k)] = {"type": "interaction", "fidx": (j, k),
                             "name": f"{names[j]} x {names[k]}",
                             "feature_type": (types[j], types[k]),
                             "split_unique_list": [grid[j], grid[k]], "values": values,
                             "importance": importance}
        self.effects_ = {"1D": mains, "2D": pairs}
        self.intercept_ = tables["intercept"]
        self.n_features_in_ = n_features
        self.feature_names_ = names
        self.X_ = X
        return self

    def _names(self, n):
        if self.feature_names is None:
            return [f"X{i}" for i in range(n)]
        names = [str(v) for v in self.feature_names]
        if len(names) != n:
            raise ValueError(f"feature_names has {len(names)} entries, the model has {n} "
                             "features")
        return names

    def _types(self, n):
        if self.feature_types is None:
            return ["numerical"] * n
        types = list(self.feature_types)
        if len(types) != n:
            raise ValueError(f"feature_types has {len(types)} entries, the model has {n} "
                             "features")
        return types
