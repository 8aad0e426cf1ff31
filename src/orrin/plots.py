"""Plot helpers shared by the diagnosers."""

import numpy as np


def _inverse_column(scaler, feature, values):
    """Map scaled values of one feature back to its original units through ``scaler``."""
    if isinstance(scaler, dict):
        scaler = scaler[feature]
        return np.asarray(scaler.inverse_transform(np.asarray(values).reshape(-1, 1))).ravel()
    names = getattr(scaler, "feature_names_in_", None)
    n_features = getattr(scaler, "n_features_in_", 1)
    if names is not None:
        column = list(names).index(feature)
    elif n_features == 1:
        column = 0
    else:
        raise ValueError(
            "scale_plot_ticks needs a scaler fitted on a DataFrame (with feature_names_in_), "
            "a scaler fitted on the one feature, or a dict {feature name: scaler}."
        )
    block = np.zeros((len(values), n_features))
    block[:, column] = values
    return np.asarray(scaler.inverse_transform(block))[:, column]


def scale_plot_ticks(ax, feature, scaler, axis=0):
    """Relabel the ticks of one axis of ``ax`` in the original units of ``feature``.

    The plotted data are in scaled units; the tick positions stay, their labels show the
    inverse-transformed values.

    Parameters
    ----------
    ax : matplotlib Axes
    feature : str
        The feature shown along the axis.
    scaler : fitted scikit-learn transformer with ``inverse_transform``, or dict
        Accepted forms: a scaler fitted on a DataFrame (its ``feature_names_in_`` locate the
        feature's column), a scaler fitted on that single feature, or a dict mapping feature
        names to single-feature scalers.
    axis : {0, 1}, default=0
        0 for the x-axis, 1 for the y-axis.
    """
    if axis not in (0, 1):
        raise ValueError("axis must be 0 (x) or 1 (y).")
    ticks = np.asarray(ax.get_xticks() if axis == 0 else ax.get_yticks(), dtype=float)
    original = _inverse_column(scaler, feature, ticks)
    labels = [f"{v:.4g}" for v in original]
    if axis == 0:
        ax.set_xticks(ticks)
        ax.set_xticklabels(labels)
    else:
        ax.set_yticks(ticks)
        ax.set_yticklabels(labels)
