"""Decomposition of depth-2 boosted trees into main and pair effects."""

import numpy as np

from orrin import _core
from orrin._dask import is_dask_collection
from orrin.models.utils import _as_matrix, predict_1D_func_tree, predict_2D_func_tree


def _booster_of(estimator):
    if hasattr(estimator, "get_booster"):
        return estimator.get_booster()
    if hasattr(estimator, "save_raw"):
        return estimator
    raise TypeError("estimator must be a fitted xgboost model or Booster, got "
                    f"{type(estimator).__name__}")


class XGBInterpreter:
    """Exact functional ANOVA decomposition of a boosted ensemble of depth-2 trees.

    A depth-2 tree reads at most two features on any path, so the ensemble's raw margin is
    ``intercept_ + sum of main effects f_j(x_j) + sum of pair effects f_jk(x_j, x_k)``, each
    piecewise constant on the ensemble's own split points (a row goes left when its float32
    value is below the split).

    Parameters
    ----------
    estimator : fitted xgboost.XGBModel or xgboost.Booster
        Trees of depth at most 2, one output (regression or binary classification).
    purification : bool, default=True
        Move the weighted means of every pair effect along each axis into the main effects,
        and those of the main effects into the intercept, so that each effect carries only
        what the lower-order terms cannot express. The sum never changes.
    true_to_data : bool, default=False
        Weights of a pair's cells: False, the product of the two features' marginal
        frequencies in ``X``; True, their joint frequencies in ``X``.
    feature_names : list of str, optional
        Names of the columns; default the booster's names, else "X0", "X1", ...
    feature_types : list of str, optional
        Types of the columns; default "numerical" for every column.

    Attributes
    ----------
    effects_ : dict
        ``{"1D": {name: record}, "2D": {name: record}}``. A record has "fidx" (tuple of
        feature indices), "name", "feature_names", "split_unique_list" (one split-point array
        per feature of the effect, in the order of "fidx"), "values" (array of
        ``len(splits) + 1`` values, or a table of ``len(splits_0) + 1`` rows and
        ``len(splits_1) + 1`` columns), "counts" (rows of ``X`` per bin, main effects) and
        "importance" (the variance of the effect over ``X``).
    intercept_ : float
        The constant term of the decomposition, in the margin space.
    X_ : ndarray
        The matrix given to ``fit``.
    feature_names_, feature_types_ : list of str
    n_features_in_ : int
    n_trees_ : int
    objective_ : str
    """

    def __init__(self, estimator, purification=True, true_to_data=False, feature_names=None,
                 feature_types=None):
        self.estimator = estimator
        self.purification = purification
        self.true_to_data = true_to_data
        self.feature_names = feature_names
        self.feature_types = feature_types

    def _names(self, booster, n_features):
        names = self.feature_names
        if names is None:
            names = booster.feature_names
        if names is None:
            names = [f"X{i}" for i in range(n_features)]
        names = [str(name) for name in names]
        if len(names) != n_features:
            raise ValueError(f"feature_names has {len(names)} entries but X has "
                             f"{n_features} columns")
        types = self.feature_types
        types = ["numerical"] * n_features if types is None else list(types)
        if len(types) != n_features:
            raise ValueError(f"feature_types has {len(types)} entries but X has "
                             f"{n_features} columns")
        return names, types

    def fit(self, X):
        """Decompose the trees and weigh the effects by the rows of X.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Data that sets the weights of purification and the importances. A dask array or
            DataFrame is counted partition by partition and kept as it is (never gathered);
            the effects equal those of the same rows in memory.

        Returns
        -------
        self
        """
        booster = _booster_of(self.estimator)
        model_json = bytes(booster.save_raw("json"))
        if is_dask_collection(X):
            # One pass over the partitions gathers the rows per bin and cell; the effects are
            # weighed by those counts, exactly as by the rows themselves.
            from orrin._dask.xgb2 import effect_counts

            X, counts = effect_counts(model_json, X)
            names, types = self._names(booster, X.shape[1])
            decoded = _core.xgb_effects_from_counts(model_json, counts, bool(self.purification),
                                                    bool(self.true_to_data))
        else:
            X = _as_matrix(X)
            names, types = self._names(booster, X.shape[1])
            decoded = _core.xgb_effects(model_json, X, bool(self.purification),
                                        bool(self.true_to_data))

        mains = {}
        for item in decoded["mains"]:
            j = item["feature"]
            record = {
                "type": "main",
                "fidx": (j,),
                "name": names[j],
                "feature_names": (names[j],),
                "split_unique_list": [item["splits"]],
                "values": item["values"],
                "counts": item["counts"],
                "importance": item["importance"],
            }
            mains[self._key(mains, names[j], record["fidx"])] = record
        pairs = {}
        for item in decoded["pairs"]:
            j, k = item["features"]
            name = f"{names[j]} x {names[k]}"
            record = {
                "type": "pair",
                "fidx": (j, k),
                "name": name,
                "feature_names": (names[j], names[k]),
                "split_unique_list": list(item["splits"]),
                "values": item["values"],
                "importance": item["importance"],
            }
            pairs[self._key(pairs, name, record["fidx"])] = record

        self.X_ = X
        self.feature_names_ = names
        self.feature_types_ = types
        self.n_features_in_ = X.shape[1]
        self.n_trees_ = decoded["num_trees"]
        self.objective_ = decoded["objective"]
        self.effects_ = {"1D": mains, "2D": pairs}
        self.intercept_ = decoded["intercept"]
        return self

    @staticmethod
    def _key(mapping, name, fidx):
        return name if name not in mapping else f"{name} {fidx}"

    def predict_margin(self, X):
        """``intercept_`` plus every effect on the rows of X: the booster's raw margin."""
        X = _as_matrix(X)
        total = np.full(X.shape[0], float(self.intercept_))
        for item in self.effects_["1D"].values():
            total += predict_1D_func_tree(item["fidx"], item["split_unique_list"][0],
                                          item["values"], True)(X)
        for item in self.effects_["2D"].values():
            total += predict_2D_func_tree(item["fidx"], item["split_unique_list"][0],
                                          item["split_unique_list"][1], item["values"], True)(X)
        return total
