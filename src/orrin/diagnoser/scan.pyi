"""
Weak-region scan: every feature and every pair of features searched for the regions where a model performs markedly worse than on the data as a whole.
"""
from __future__ import annotations
import inspect
import orrin.diagnoser.base
import sklearn.base
import typing
class WeakRegionScan(orrin.diagnoser.base.BaseDiagnoser, sklearn.base.BaseEstimator):
    """
    Weak-region scan over every feature and every pair of features.

    For each candidate (every feature in `features` and, with `pairs`, every unordered
    pair of them) the scan finds the weak regions that ``FrailZone`` finds for that
    candidate with the same settings, re-scores them on the training and the test split,
    and ranks the candidates by `excess`: with ``s`` the metric's sign (-1 for losses, +1
    for scores), the sum over the candidate's weak regions r of
    ``(#Test_r / n_test) * s * (overall test score - test score of r)``, the share of the
    test error that the regions carry beyond the average (a region with no test row, or a
    NaN test score, adds 0). A pair's `lift` is its excess minus the larger excess of its
    two features alone.

    With ``method="histogram"`` every feature is binned once and the bins, sorted rows
    and per-bin sums are shared by all candidates; with ``method="tree"`` every candidate
    costs one ``FrailZone`` fit (one decision tree per candidate).

    Parameters
    ----------
    estimator : object
        The model to diagnose.
    task_type : {"regression", "classification"}, default=None
        The task type of the model.
    method : {"histogram", "tree"}, default="histogram"
        The slicing method of every candidate.
    features : list of str, default=None
        The features to scan; None scans all.
    pairs : bool, default=True
        Also scan every unordered pair of the features.
    threshold, bins, max_depth, min_samples, metric, use_test, random_state
        As in ``FrailZone``.
    progress : bool, default=False
        Show a progress bar (needs tqdm: ``pip install orrin[scan]``).

    Attributes
    ----------
    results_ : pandas.DataFrame
        One row per candidate, largest excess first: "feature_1", "feature_2" (None
        for a single feature), "n_regions", "test_share" (share of the test rows inside
        the weak regions), "max_gap" (largest test-minus-train gap), "excess", "lift"
        (NaN for a single feature) and "top_region" (the bounds of the region that adds
        most to the excess).
    regions_ : pandas.DataFrame
        Every candidate's weak regions in the order of its FrailZone table: the features,
        "lb1", "ub1", "lb2", "ub2" (NaN for a single feature), "#Test", "#Train",
        "test_score", "train_score", "Gap" and "contribution" (the region's term of
        the excess).
    test_score_ : float
        The overall test score.
    """
    __signature__: typing.ClassVar[inspect.Signature]
    def __init__(self, estimator, task_type = None, method = 'histogram', features = None, pairs = True, threshold = 1.2, bins = 10, max_depth = 2, min_samples = 20, metric = None, use_test = False, random_state = 0, progress = False):
        """
        Store the configuration; nothing is validated until `fit`.
        """
    def fit(self, x, y, train_idx, test_idx, prediction = None, prediction_proba = None, feature_names = None, feature_types = None, sample_weight = None):
        """
        Scan every candidate for weak regions.

        The arguments mean what they mean for ``FrailZone.fit``, and a refused input raises
        what ``FrailZone.fit`` raises for the first candidate that it refuses. When fit
        raises, the scan keeps the state of its previous fit.

        Returns
        -------
        self
        """
    def frailzone(self, features):
        """
        The FrailZone of one candidate, fitted on the data of the last `fit`.

        Parameters
        ----------
        features : list of str
            One or two feature names.

        Returns
        -------
        FrailZone
            ``FrailZone(...).fit(...)`` with the scan's settings and data.
        """
    def plot(self, top = 20):
        """
        Draw the scan.

        Left, a heatmap of the excess of every pair (features x features, symmetric), the
        single features' excess on the diagonal and cells without a candidate blank; right, the
        `top` candidates with the largest excess as bars, labelled with their features, each
        bar carrying the bounds of the region that adds most. Label sizes shrink with the
        number of features so that 50 stay readable.

        Parameters
        ----------
        top : int, default=20
            Number of bars.

        Returns
        -------
        matplotlib.figure.Figure
        """
def _cached_bytes():
    """
    Bytes held by the cache now.
    """
def _release_cached_blocks():
    """
    Frees the kept blocks; returns the bytes they held.
    """
def _set_cache_limit(nbytes):
    """
    Sets the cache limit; returns the previous one.
    """
