"""Functional ANOVA interpretation of models made of main and pair effects."""

import numbers

import numpy as np
import pandas as pd
from matplotlib.colors import TwoSlopeNorm
from matplotlib.figure import Figure

from orrin._dask import is_dask_collection
from orrin.models.utils import _as_matrix, predict_1D_func_tree, predict_2D_func_tree


class FANOVAInterpreter:
    """Tables, figures and local explanations of a model's effects.

    Parameters
    ----------
    model : object
        A parsed model with ``effects_`` ({"1D": {...}, "2D": {...}} of effect records),
        ``intercept_``, ``X_`` (the training matrix) and ``feature_names_``.
    """

    def __init__(self, model):
        self.model = model
        self.effects = model.effects_
        self.intercept = float(model.intercept_)
        # A dask training matrix stays lazy; only what a figure draws is computed from it.
        self.X = model.X_ if is_dask_collection(model.X_) else _as_matrix(model.X_)
        self.feature_names = list(model.feature_names_)

    def _records(self):
        return list(self.effects["1D"].values()) + list(self.effects["2D"].values())

    def _ranked(self):
        return sorted(self._records(), key=lambda r: -float(r["importance"]))

    def _name(self, record):
        return " x ".join(self.feature_names[j] for j in record["fidx"])

    def _find(self, effect):
        """The record of an effect given by name, column index or tuple of indices."""
        if isinstance(effect, str):
            for key in ("1D", "2D"):
                if effect in self.effects[key]:
                    return self.effects[key][effect]
            for record in self._records():
                if record.get("name") == effect or self._name(record) == effect:
                    return record
            raise ValueError(f"Effect {effect!r} not found.")
        if isinstance(effect, numbers.Integral):
            effect = (effect,)
        try:
            wanted = set(int(i) for i in effect)
            count = len(effect)
        except (TypeError, ValueError):
            raise ValueError(f"Effect {effect!r} not found.") from None
        key = {1: "1D", 2: "2D"}.get(count)
        for record in (self.effects[key].values() if key else ()):
            if set(record["fidx"]) == wanted:
                return record
        raise ValueError(f"Effect {effect!r} not found.")

    def importance_table(self):
        """Effects ranked by importance (variance over the training data).

        Returns
        -------
        pandas.DataFrame
            Columns "effect", "type" ("main" or "pair"), "fidx", "importance" and "share"
            (the importance over the total; the shares sum to 1 unless no effect varies).
        """
        ranked = self._ranked()
        importance = np.array([float(r["importance"]) for r in ranked], dtype=float)
        total = importance.sum()
        share = importance / total if total > 0 else np.zeros_like(importance)
        return pd.DataFrame({
            "effect": [self._name(r) for r in ranked],
            "type": ["main" if len(r["fidx"]) == 1 else "pair" for r in ranked],
            "fidx": [tuple(r["fidx"]) for r in ranked],
            "importance": importance,
            "share": share,
        })

    def _evaluate(self, record, X):
        splits = record["split_unique_list"]
        if len(record["fidx"]) == 1:
            return predict_1D_func_tree(record["fidx"], splits[0], record["values"], True)(X)
        return predict_2D_func_tree(record["fidx"], splits[0], splits[1], record["values"],
                                    True)(X)

    def explain_local(self, X):
        """Per-row contribution of every effect.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        pandas.DataFrame
            "intercept", one column per effect (ranked by importance) and "margin", their
            sum: the model's raw prediction for each row.
        """
        X = _as_matrix(X)
        columns = {"intercept": np.full(X.shape[0], self.intercept)}
        total = columns["intercept"].copy()
        for record in self._ranked():
            contribution = self._evaluate(record, X)
            columns[self._name(record)] = contribution
            total += contribution
        columns["margin"] = total
        return pd.DataFrame(columns)

    def _edges(self, splits, j):
        """Bin edges for drawing: the split points closed by the data's range."""
        splits = np.asarray(splits, dtype=float)
        column = self.X[:, j].astype(float)
        column = column[np.isfinite(column)]
        low = min(splits[0], column.min()) if column.size else splits[0]
        high = max(splits[-1], column.max()) if column.size else splits[-1]
        pad = 0.05 * ((high - low) or 1.0)
        low = low if low < splits[0] else splits[0] - pad
        high = high if high > splits[-1] else splits[-1] + pad
        return np.concatenate(([low], splits, [high]))

    def plot_main(self, effect, figsize=(6, 5)):
        """Step function of a main effect over its feature's range, the data below."""
        record = self._find(effect)
        if len(record["fidx"]) != 1:
            raise ValueError(f"{self._name(record)!r} is not a main effect")
        (j,) = record["fidx"]
        edges = self._edges(record["split_unique_list"][0], j)
        fig = Figure(figsize=figsize, layout="constrained")
        top, bottom = fig.subplots(2, 1, sharex=True, height_ratios=(3, 1))
        top.stairs(record["values"], edges, color="tab:blue", linewidth=2, baseline=None)
        top.axhline(0.0, color="grey", linewidth=0.8, linestyle=":")
        top.set_ylabel("effect")
        top.set_title(f"{self.feature_names[j]} (importance {float(record['importance']):.4g})")
        bottom.hist(self.X[:, j].astype(float), bins=min(50, max(10, edges.size)),
                    range=(edges[0], edges[-1]), color="tab:grey")
        bottom.set_ylabel("count")
        bottom.set_xlabel(self.feature_names[j])
        return fig

    def plot_pair(self, effect, figsize=(6, 5)):
        """Heatmap of a pair effect over the two features' ranges."""
        record = self._find(effect)
        if len(record["fidx"]) != 2:
            raise ValueError(f"{self._name(record)!r} is not a pair effect")
        j, k = record["fidx"]
        x_edges = self._edges(record["split_unique_list"][0], j)
        y_edges = self._edges(record["split_unique_list"][1], k)
        values = np.asarray(record["values"], dtype=float)
        bound = float(np.abs(values).max()) or 1.0
        fig = Figure(figsize=figsize, layout="constrained")
        ax = fig.subplots()
        mesh = ax.pcolormesh(x_edges, y_edges, values.T, cmap="RdBu_r",
                             norm=TwoSlopeNorm(0.0, -bound, bound))
        fig.colorbar(mesh, ax=ax, label="effect")
        rows = self.X[:: max(1, self.X.shape[0] // 2000)]
        ax.scatter(rows[:, j], rows[:, k], s=2, c="black", alpha=0.3, linewidths=0)
        ax.set_xlabel(self.feature_names[j])
        ax.set_ylabel(self.feature_names[k])
        ax.set_title(f"{self._name(record)} (importance {float(record['importance']):.4g})")
        return fig

    def plot_effect(self, effect, figsize=(6, 5)):
        """Figure of a main effect (step function) or a pair effect (heatmap)."""
        record = self._find(effect)
        fidx = tuple(record["fidx"])
        return self.plot_main(fidx, figsize) if len(fidx) == 1 else self.plot_pair(fidx, figsize)

    def plot_importance(self, top_n=10, figsize=(6, 4)):
        """Horizontal bars of the shares of the top effects."""
        table = self.importance_table().head(top_n)
        fig = Figure(figsize=figsize, layout="constrained")
        ax = fig.subplots()
        ax.barh(table["effect"][::-1], table["share"][::-1], color="tab:blue")
        ax.set_xlabel("share of importance")
        ax.set_title("Effect importance")
        return fig
