"""Scoring and distance services of the diagnosers."""

import numpy as np
from scipy import stats
from sklearn import metrics as skm

from ..exceptions import OrrinError

_CLIP = 1e-15


def _as_1d(values):
    return np.asarray(values).ravel()


def _float_1d(values):
    return np.asarray(values, dtype=np.float64).ravel()


def _squared_error(y, p):
    return (_float_1d(y) - _float_1d(p)) ** 2


def _absolute_error(y, p):
    return np.abs(_float_1d(y) - _float_1d(p))


def _accuracy(y, p):
    return (_as_1d(y) == _as_1d(p)).astype(np.float64)


def _log_loss(y, p):
    y = _float_1d(y)
    p = np.clip(_float_1d(p), _CLIP, 1 - _CLIP)
    return -(y * np.log(p) + (1.0 - y) * np.log(1.0 - p))


def _r2(y, p, sample_weight=None):
    return skm.r2_score(_float_1d(y), _float_1d(p), sample_weight=sample_weight)


def _f1(y, p, sample_weight=None):
    return skm.f1_score(_as_1d(y), _as_1d(p), sample_weight=sample_weight)


def _auc(y, p, sample_weight=None):
    y = _as_1d(y)
    if np.unique(y).size < 2:
        return np.nan
    return skm.roc_auc_score(y, _float_1d(p), sample_weight=sample_weight)


# name -> (sign, function, needs probabilities, additive)
_METRICS = {
    "MSE": (-1, _squared_error, False, True),
    "MAE": (-1, _absolute_error, False, True),
    "R2": (1, _r2, False, False),
    "ACC": (1, _accuracy, False, True),
    "F1": (1, _f1, False, False),
    "AUC": (1, _auc, True, False),
    "LogLoss": (-1, _log_loss, True, True),
    "Brier": (-1, _squared_error, True, True),
}

class _NoWeight:
    """Marks a call without ``sample_weight`` (None is a legal weight argument)."""

    def __reduce__(self):
        return "_NO_WEIGHT"


_NO_WEIGHT = _NoWeight()


class _AdditiveScorer:
    """Per-sample scores without weights; the (weighted) mean when ``sample_weight`` is given.

    ``elementwise`` is true when a call without ``sample_weight`` gives each sample's score
    from that sample alone, so that the scores of a subset of the samples are the subset of
    the scores (the diagnosers then take a region's scores from those of the whole set)."""

    def __init__(self, per_sample, average):
        self.per_sample = per_sample
        self.average = average
        self.elementwise = not average

    def __call__(self, y, pred, sample_weight=_NO_WEIGHT):
        scores = self.per_sample(y, pred)
        if sample_weight is _NO_WEIGHT and not self.average:
            return scores
        weights = None if sample_weight is _NO_WEIGHT else sample_weight
        return np.average(scores, weights=weights)

    def __repr__(self):
        return f"<additive scorer {self.per_sample.__name__.lstrip('_')}>"


class _WholeSetScorer:
    """One value for the whole set, weighted by ``sample_weight``."""

    def __init__(self, func):
        self.func = func

    def __call__(self, y, pred, sample_weight=None):
        return self.func(y, pred, sample_weight=sample_weight)

    def __repr__(self):
        return f"<scorer {self.func.__name__.lstrip('_')}>"


def get_scoring_metric(metric, average=False):
    """Resolve a metric configuration.

    Parameters
    ----------
    metric : None or dict
        ``None`` means ``{"name": "MSE"}``; otherwise a dict with the key ``"name"``, one of
        "MSE", "MAE", "R2", "ACC", "F1", "AUC", "LogLoss", "Brier".
    average : bool, default=False
        When true, an additive metric's callable returns the mean score even when called
        without ``sample_weight``.

    Returns
    -------
    score_name : str
    score_sign : int
        1 when larger is better, -1 when smaller is better.
    scoring_func : callable
        ``scoring_func(y, pred)`` gives one score per sample for an additive metric (the
        whole-set value otherwise); ``scoring_func(y, pred, sample_weight=w)`` gives one number.
    needs_proba : bool
        Whether ``pred`` must be the predicted probabilities of the positive class.
    is_additive : bool
        Whether the metric is a (weighted) mean of per-sample scores.
    """
    if metric is None:
        name = "MSE"
    elif isinstance(metric, dict) and "name" in metric:
        name = metric["name"]
    else:
        raise OrrinError(f'metric should be None or a dict like {{"name": "MSE"}}, got {metric!r}.')
    if name not in _METRICS:
        raise OrrinError(f"Unsupported metric {name!r}; supported metrics are {', '.join(_METRICS)}.")
    sign, func, needs_proba, additive = _METRICS[name]
    scorer = _AdditiveScorer(func, average) if additive else _WholeSetScorer(func)
    return name, sign, scorer, needs_proba, additive


def _psi(reference, weak, buckettype, n_buckets=10, eps=1e-6):
    if buckettype == "uniform":
        lo, hi = reference.min(), reference.max()
        if lo == hi:
            lo, hi = lo - 0.5, hi + 0.5
        edges = np.linspace(lo, hi, n_buckets + 1)
    elif buckettype == "quantile":
        edges = np.unique(np.quantile(reference, np.linspace(0, 1, n_buckets + 1)))
        if edges.size < 2:
            edges = np.array([edges[0] - 0.5, edges[0] + 0.5])
    else:
        raise OrrinError(f"Unsupported buckettype {buckettype!r}; use 'uniform' or 'quantile'.")
    inner = edges[1:-1]
    ref_counts = np.bincount(np.searchsorted(inner, reference, side="right"), minlength=edges.size - 1)
    weak_counts = np.bincount(np.searchsorted(inner, weak, side="right"), minlength=edges.size - 1)
    return _psi_of_counts(ref_counts, weak_counts, eps)


def _psi_of_counts(ref_counts, weak_counts, eps=1e-6):
    """PSI from the samples' bucket counts (every value lies in one bucket)."""
    ref_counts = np.asarray(ref_counts)
    weak_counts = np.asarray(weak_counts)
    p_ref = np.maximum(ref_counts / int(ref_counts.sum()), eps)
    p_weak = np.maximum(weak_counts / int(weak_counts.sum()), eps)
    return float(np.sum((p_weak - p_ref) * np.log(p_weak / p_ref)))


def calculate_distance(reference, weak, buckettype="uniform", method="PSI"):
    """Distance between two one-dimensional samples; larger means more different.

    Parameters
    ----------
    reference, weak : array-like of shape (n,) and (m,)
        The reference sample and the compared (weak-region) sample. Neither may be empty.
    buckettype : {"uniform", "quantile"}, default="uniform"
        PSI buckets: ten equal-width buckets over the reference's range, or the reference's
        deciles. Values outside the reference range count in the end buckets.
    method : {"PSI", "WD1", "KS"}, default="PSI"
        Population stability index, Wasserstein-1 distance, or the two-sample
        Kolmogorov-Smirnov statistic.
    """
    reference = _float_1d(reference)
    weak = _float_1d(weak)
    if reference.size == 0 or weak.size == 0:
        raise ValueError("calculate_distance needs two non-empty samples.")
    if method == "PSI":
        return _psi(reference, weak, buckettype)
    if method == "WD1":
        return float(stats.wasserstein_distance(reference, weak))
    if method == "KS":
        return float(stats.ks_2samp(reference, weak).statistic)
    raise OrrinError(f"Unsupported distance method {method!r}; use 'PSI', 'WD1' or 'KS'.")
