"""Functional-ANOVA view of a model decomposed into an intercept, main effects and pair
effects: an importance table, effect figures and local explanations."""

import numpy as np
import pandas as pd
from matplotlib.figure import Figure

from orrin.models.utils import predict_1D_func_tree, predict_2D_func_tree


class FANOVAInterpreter:
    """Interpretation of a model held as ``intercept_`` plus piecewise-constant effects.

    Parameters
    ----------
    model : object
        A parsed model with ``effects_`` ({"1D": ..., "2D": ...} of effect records),
        ``intercept_``, ``X_`` (the training matrix) and ``feature_names_``. A fitted
        ``XGBInterpreter`` works as well.

    Notes
    -----
    Figures are built on ``matplotlib.figure.Figure`` directly, so nothing is shown and no
    interactive backend is needed.
    """

    def __init__(self, model):
        self.model = model
        self.effects = [rec for kind in ("1D", "2D") for rec in model.effects_[kind].values()]
        self.intercept = float(model.intercept_)
        self.feature_names = list(model.feature_names_)
        self.X = np.asarray(model.X_)

    # ---- global view -------------------------------------------------------------------------

    def importance_table(self):
        """Effects ranked by importance, the variance of each effect over the training data.

        Returns
        -------
        pandas.DataFrame
            Columns "effect", "fidx", "kind" ("main" or "pair"), "importance" and "share" (the
            effect's share of the total importance; shares sum to 1), most important first.
        """
        rows = [(self._name(r), tuple(r["fidx"]), "main" if len(r["fidx"]) == 1 else "pair",
                 float(r["importance"])) for r in self.effects]
        table = pd.DataFrame(rows, columns=["effect", "fidx", "kind", "importance"])
        total = table["importance"].sum()
        if len(table):
            table["share"] = table["importance"] / total if total > 0 else 1.0 / len(table)
        else:
            table["share"] = pd.Series(dtype=float)
        return table.sort_values("importance", ascending=False, kind="stable").reset_index(
            drop=True)

    def plot_importance(self, top=20):
        """Horizontal bar chart of the ``top`` largest importance shares."""
        table = self.importance_table().head(top)
        fig = Figure(figsize=(7, 0.35 * len(table) + 1.2))
        ax = fig.add_subplot()
        ax.barh(table["effect"][::-1], table["share"][::-1], color="#3b75af")
        ax.set_xlabel("share of importance")
        ax.set_title("Effect importance")
        fig.tight_layout()
        return fig

    def plot_main_effect(self, feature):
        """Step function of a main effect over the feature's range, the data's histogram below.

        Parameters
        ----------
        feature : int or str
            Column index or feature name.
        """
        j = self._feature_index(feature)
        rec = self._record((j,))
        splits = np.asarray(rec["split_unique_list"][0], dtype=float)
        values = np.asarray(rec["values"], dtype=float)
        column = self.X[:, j].astype(float)
        lo, hi = self._range(column)
        inside = splits[(splits > lo) & (splits < hi)]
        edges = np.concatenate([[lo], inside, [hi]])
        first = np.searchsorted(splits, lo, side="right")
        levels = values[first:first + len(edges) - 1]
        fig = Figure(figsize=(6, 5))
        grid = fig.add_gridspec(2, 1, height_ratios=(3, 1), hspace=0.08)
        ax = fig.add_subplot(grid[0])
        ax.stairs(levels, edges, color="#3b75af", linewidth=2, baseline=None)
        ax.axhline(0.0, color="0.6", linewidth=0.8)
        ax.set_ylabel("main effect")
        ax.set_title(f"{self.feature_names[j]} (share {self._share(rec):.1%})")
        ax.tick_params(labelbottom=False)
        hist = fig.add_subplot(grid[1], sharex=ax)
        hist.hist(column, bins=min(50, max(10, len(np.unique(column)))), range=(lo, hi),
                  color="0.6")
        hist.set_xlabel(self.feature_names[j])
        hist.set_ylabel("count")
        ax.set_xlim(lo, hi)
        return fig

    def plot_interaction(self, fidx):
        """Heatmap of a pair effect over the two features' ranges.

        Parameters
        ----------
        fidx : tuple of two int or str
            The two features, by index or name, in any order.
        """
        pair = tuple(self._feature_index(f) for f in fidx)
        rec = self._record(pair)
        a, b = rec["fidx"]
        table = np.asarray(rec["values"], dtype=float)
        fig = Figure(figsize=(6.5, 5))
        ax = fig.add_subplot()
        axes = []
        for k, j in enumerate((a, b)):
            splits = np.asarray(rec["split_unique_list"][k], dtype=float)
            lo, hi = self._range(self.X[:, j].astype(float))
            inside = splits[(splits > lo) & (splits < hi)]
            first = np.searchsorted(splits, lo, side="right")
            axes.append((np.concatenate([[lo], inside, [hi]]), first, len(inside) + 1))
        (edges_a, fa, na), (edges_b, fb, nb) = axes
        shown = table[fa:fa + na, fb:fb + nb]
        limit = np.abs(shown).max() or 1.0
        mesh = ax.pcolormesh(edges_a, edges_b, shown.T, cmap="RdBu_r", vmin=-limit, vmax=limit)
        fig.colorbar(mesh, ax=ax, label="pair effect")
        ax.set_xlabel(self.feature_names[a])
        ax.set_ylabel(self.feature_names[b])
        ax.set_title(f"{self._name(rec)} (share {self._share(rec):.1%})")
        return fig

    def plot_effects(self, top=None):
        """Figures of the ``top`` most important effects (all by default), by effect name."""
        table = self.importance_table()
        if top is not None:
            table = table.head(top)
        out = {}
        for name, fidx in zip(table["effect"], table["fidx"]):
            out[name] = (self.plot_main_effect(fidx[0]) if len(fidx) == 1
                         else self.plot_interaction(fidx))
        return out

    # ---- local view --------------------------------------------------------------------------

    def explain_local(self, X):
        """Contribution of every effect to each row's raw prediction.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)

        Returns
        -------
        pandas.DataFrame
            Column "intercept", then one column per effect (named as in
            ``importance_table``); each row sums to the model's raw margin for that row.
        """
        if isinstance(X, pd.DataFrame):
            X = X.to_numpy()
        X = np.asarray(X)
        if X.ndim == 1:
            X = X.reshape(1, -1)
        if X.ndim != 2 or X.shape[1] != len(self.feature_names):
            raise ValueError(f"X must be a matrix with {len(self.feature_names)} columns")
        parts = {"intercept": np.full(len(X), self.intercept)}
        for rec in self.effects:
            parts[self._name(rec)] = self._evaluate(rec, X)
        return pd.DataFrame(parts)

    def plot_local(self, x, top=10):
        """Bar chart of the largest contributions to the prediction of one row ``x``."""
        contrib = self.explain_local(np.asarray(x, dtype=float).reshape(1, -1)).iloc[0]
        effects = contrib.drop("intercept")
        order = effects.abs().sort_values(ascending=False).index[:top]
        shown = effects[order][::-1]
        fig = Figure(figsize=(7, 0.35 * len(shown) + 1.5))
        ax = fig.add_subplot()
        ax.barh(shown.index, shown.values,
                color=["#c0392b" if v > 0 else "#3b75af" for v in shown.values])
        ax.axvline(0.0, color="0.4", linewidth=0.8)
        ax.set_xlabel("contribution to the raw prediction")
        ax.set_title(f"intercept {contrib['intercept']:.4g}, prediction {contrib.sum():.4g}")
        fig.tight_layout()
        return fig

    # ---- helpers -----------------------------------------------------------------------------

    def _evaluate(self, rec, X):
        splits = rec["split_unique_list"]
        if len(rec["fidx"]) == 1:
            return predict_1D_func_tree(tuple(rec["fidx"]), splits[0], rec["values"], True)(X)
        return predict_2D_func_tree(tuple(rec["fidx"]), splits[0], splits[1], rec["values"],
                                    True)(X)

    def _name(self, rec):
        return " x ".join(self.feature_names[j] for j in rec["fidx"])

    def _share(self, rec):
        total = sum(float(r["importance"]) for r in self.effects)
        return float(rec["importance"]) / total if total > 0 else 0.0

    def _feature_index(self, feature):
        if isinstance(feature, str):
            if feature not in self.feature_names:
                raise ValueError(f"unknown feature {feature!r}")
            return self.feature_names.index(feature)
        j = int(feature)
        if not 0 <= j < len(self.feature_names):
            raise ValueError(f"feature index {j} is out of range")
        return j

    def _record(self, fidx):
        for rec in self.effects:
            if set(rec["fidx"]) == set(fidx) and len(rec["fidx"]) == len(fidx):
                return rec
        names = ", ".join(self.feature_names[j] for j in fidx)
        raise ValueError(f"the model has no effect of ({names})")

    @staticmethod
    def _range(column):
        """Plot range: the data's range, widened to show at least one step if needed."""
        lo, hi = float(np.min(column)), float(np.max(column))
        if lo == hi:
            span = abs(lo) * 0.05 + 0.5
            lo, hi = lo - span, hi + span
        return lo, hi
