"""
Weak-region diagnoser: finds the regions of one or two features where a model performs markedly worse than on the data as a whole.
"""
from __future__ import annotations
import inspect
import orrin.diagnoser.base
import typing
class BaseSlicing:
    """
    Base slice class for analyzing 1D or 2D numerical features.

    The weak-region threshold is defined as threshold * test set performance for
    regression and 1 / threshold * test set performance for classification: for a metric
    where larger is better a positive threshold is stored as its reciprocal.

    Parameters
    ----------
    estimator : object, default=None
        The model under diagnosis.
    slice_features : list of str, default=None
        The one or two feature names to slice on.
    task_type : {"regression", "classification"}, default=None
        The task type of the model.
    threshold : float, default=1.2
        Factor that turns the overall score into the weak-region limit.
    min_samples : int, default=30
        Smallest number of samples of a weak region.
    metric : dict, default=None
        The scoring configuration, e.g. {"name": "MSE"}; None means MSE.
    """
    __signature__: typing.ClassVar[inspect.Signature]
    def __init__(self, estimator = None, slice_features = None, task_type = None, threshold = 1.2, min_samples = 30, metric = None):
        """
        Store the configuration and resolve the metric.
        """
    def evaluate_slice(self, x, y, preds, scores, lb1, ub1, lb2 = None, ub2 = None, right = False, sample_weight = None):
        """
        Whether one region is weak.

        A region is weak when ``score_sign * score <= score_sign * threshold_value``.
        Arguments as in `get_rule_list`.

        Returns
        -------
        weak_region : list of dict
            Empty, or one record {"lb1", "ub1"[, "lb2", "ub2"]} when the region is weak.
            A region without samples, or whose weights sum to zero, is never weak.
        """
    def fit(self, train_x, train_y, test_x, test_y, train_pred = None, test_pred = None, feature_names = None, use_test = True, train_sample_weight = None, test_sample_weight = None):
        """
        Find the weak regions and re-score them on the training and the test set.

        The strategy is fitted on the test set when `use_test` is true, else on the training
        set. Every weak region is then counted and scored on both sets; a region's upper bound
        on the first slicing feature is closed when it equals the test set's maximum, and on
        the second feature when it equals the largest second value among that set's rows
        inside the region's first-feature bounds. A region whose weights sum to zero is scored
        NaN.

        Parameters
        ----------
        train_x, test_x : array-like of shape (n_train, n_features), (n_test, n_features)
            Feature matrices, columns in the order of `feature_names`.
        train_y, test_y : array-like of shape (n_train,), (n_test,)
            Targets.
        train_pred, test_pred : array-like of shape (n_train,), (n_test,)
            The predictions (or probabilities) that the metric needs.
        feature_names : list of str
            One name per column.
        use_test : bool, default=True
            Fit the strategy on the test set (true) or on the training set.
        train_sample_weight, test_sample_weight : array-like, default=None
            Sample weights; None means all 1.

        Returns
        -------
        pandas.DataFrame or None
            One row per weak region, largest test-minus-train gap first (NaN gaps last), or
            None when no weak region was found.
        """
    def get_index(self, x, lb1, ub1, lb2 = None, ub2 = None, right = False):
        """
        Row positions of the samples inside a region.

        With one slicing feature the region is ``lb1 <= x < ub1`` (``x <= ub1`` when `right`);
        with two, ``x`` holds the second feature of one first-feature bin and the test uses
        ``lb2`` and ``ub2`` the same way.

        Parameters
        ----------
        x : array-like of shape (n_samples,)
            Values of the sliced feature (read as float64).
        lb1, ub1, lb2, ub2 : float
            Region bounds; the lower bound is closed.
        right : bool, default=False
            Whether the upper bound is closed.

        Returns
        -------
        idx : ndarray of intp
            Ascending row positions.
        """
    def get_rule_list(self, x, y, preds, scores, lb1, ub1, lb2 = None, ub2 = None, right = False, sample_weight = None):
        """
        Score record of one region.

        Parameters
        ----------
        x : array-like of shape (n_samples,)
            Values of the sliced feature.
        y, preds : array-like of shape (n_samples,)
            Targets and predictions, passed to the scoring function of a non-additive metric.
        scores : array-like of shape (n_samples,)
            Per-sample scores, averaged for an additive metric.
        lb1, ub1, lb2, ub2, right
            The region, as in `get_index`.
        sample_weight : array-like of shape (n_samples,), default=None
            Sample weights.

        Returns
        -------
        rule_list : list of dict
            One record {"splits": {"f0": {"lb", "ub"}[, "f1": ...]}, "values": score,
            "counts": number of samples}. The score is NaN for a region without samples or
            whose weights sum to zero.
        """
class HistogramSlicing(BaseSlicing):
    """
    Histogram based slicing for analyzing 1D or 2D numerical features.

    Parameters
    ----------
    estimator : object, default=None
        The model under diagnosis.
    slice_features : list of str, default=None
        The one or two feature names to slice on.
    task_type : {"regression", "classification"}, default=None
        The task type of the model.
    threshold : float, default=1.2
        Factor that turns the overall score into the weak-region limit.
    min_samples : int, default=30
        Smallest number of samples of a merged weak region (additive metrics).
    bins : int, default=10
        Largest number of equal-width bins per slicing feature.
    metric : dict, default=None
        The scoring configuration, e.g. {"name": "MSE"}; None means MSE.
    """
    __signature__: typing.ClassVar[inspect.Signature]
    def __init__(self, estimator = None, slice_features = None, task_type = None, threshold = 1.2, min_samples = 30, bins = 10, metric = None):
        """
        Store the number of bins and the base configuration.
        """
    def _fit(self, x, y, preds, scores, sample_weight = None):
        """
        Find the weak regions of the slicing features.

        Stores the inputs, sets `threshold_value` to `threshold` times the overall score, finds
        the column positions `fidx` of the slicing features (repeats removed) and runs the one-
        or two-feature pass, storing `weak_region`, `rule_list` and `bins1d`.

        Parameters
        ----------
        x : array-like of shape (n_samples, n_features)
            The feature matrix, columns in the order of `feature_names`.
        y, preds : array-like of shape (n_samples,)
            Targets and predictions.
        scores : array-like of shape (n_samples,) or float
            Per-sample scores of an additive metric, the overall score otherwise.
        sample_weight : array-like of shape (n_samples,), default=None
            Sample weights.
        """
    def _fit1d(self, x, y, preds, scores, lb1 = None, ub1 = None, lb2 = None, ub2 = None, sample_weight = None):
        """
        One-dimensional histogram pass over the values of one feature.

        Cuts `x` into min(distinct values, `bins`) equal-width bins (the edges of
        ``np.histogram``), scores every bin, keeps the weak ones and, for an additive metric,
        merges runs of touching weak bins, drops merged regions with fewer than `min_samples`
        samples and folds the bin records of each kept region into one record. With two
        slicing features `x` is the second feature inside one first-feature bin whose bounds
        are `lb1`, `ub1`.

        Parameters
        ----------
        x : array-like of shape (n_samples,)
            Values of the binned feature (read as float64; finite, not empty).
        y, preds : array-like of shape (n_samples,)
            Targets and predictions (read by a non-additive metric).
        scores : array-like of shape (n_samples,) or float
            Per-sample scores of an additive metric; passed through otherwise.
        lb1, ub1 : float, default=None
            First-feature bin bounds in the two-feature form.
        lb2, ub2 : None
            Set by the pass itself in the two-feature form.
        sample_weight : array-like of shape (n_samples,), default=None
            Sample weights.

        Returns
        -------
        weak_region : list of dict
        rule_list : list of dict
        bins1d : ndarray of float64
            The bin edges.
        """
    def _fit2d(self, x, y, preds, scores, sample_weight = None):
        """
        Two-feature histogram slicing.

        Bins the first column, and inside every non-empty bin runs the one-dimensional pass
        over the second column of that bin's samples. Stores `bin_stats`, one record per
        first-feature bin, and adds to every weak region the percentile ranks "lb2q" and
        "ub2q" of its second-feature bounds within its first-feature bin.

        Parameters
        ----------
        x : array-like of shape (n_samples, 2)
            First and second slicing feature.
        y, preds, scores, sample_weight
            As in `_fit1d`.

        Returns
        -------
        weak_region : list of dict
        rule_list_all : list of dict
        bins1d : ndarray of float64
            The bin edges of the first feature.
        """
class TreeSlicing(BaseSlicing):
    """
    Tree based slicing for analyzing 1D or 2D features.

    A regression tree is fitted to the per-sample scores over the slicing features; each
    leaf is a candidate region and the leaves whose mean score crosses the weak-region
    limit are the weak regions. Only additive metrics are supported.

    Parameters
    ----------
    estimator : object, default=None
        The model under diagnosis.
    slice_features : list of str, default=None
        The one or two feature names to slice on.
    task_type : {"regression", "classification"}, default=None
        The task type of the model.
    threshold : float, default=1.2
        Factor that turns the overall score into the weak-region limit.
    max_depth : int, default=2
        Depth limit of the tree.
    min_samples : int, default=30
        Smallest number of training samples of a leaf.
    metric : dict, default=None
        The scoring configuration, e.g. {"name": "MSE"}; None means MSE.
    """
    __signature__: typing.ClassVar[inspect.Signature]
    def __init__(self, estimator = None, slice_features = None, task_type = None, threshold = 1.2, max_depth = 2, min_samples = 30, metric = None):
        """
        Store the configuration, refuse metrics that are not additive and create the tree.
        """
    def _dfs(self, tree, curr_node_idx, rule):
        """
        Leaf records of the subtree at `curr_node_idx`, depth first, left before right.

        Parameters
        ----------
        tree : sklearn.tree._tree.Tree
            The fitted tree structure (`tree_`).
        curr_node_idx : int
            The node to start from.
        rule : dict
            The bounds collected on the path to that node, {"f0": {"lb": ..., "ub": ...}}.

        Returns
        -------
        iterator of dict
            {"splits": bounds, "values": leaf value, "counts": training samples}.
        """
    def _fit(self, x, y, preds, scores, sample_weight = None):
        """
        Fit the tree to the scores over the slicing features and keep the weak leaves.

        The settings, the slicing columns (finite), the scores (finite, one per row) and the
        weights are checked before anything is stored; a refusal, here or by the tree, leaves
        the object as it was. Each fit stores a freshly fitted clone as `tree_estimator`.
        """
class FrailZone(orrin.diagnoser.base.BaseDiagnoser):
    """
    Frailzone Test

    Finds the regions of one or two features where the model's error is markedly worse
    than on the data as a whole.

    Parameters
    ----------
    estimator : object
        The model to diagnose.
    slice_features : list of str
        The list of one or two feature names used for slicing.
    task_type : {"regression", "classification"}, default=None
        The task type of the model.
    threshold : float, default=1.2
        The threshold that decides the minimal error gap for a weak region.
    method : {"histogram", "tree"}, default="histogram"
        The slicing method: "histogram" (equal-width binning) or "tree" (a decision tree
        fitted to generate regions).
    bins : int, default=10
        The number of bins for histogram slicing.
    max_depth : int, default=2
        The maximal depth of the tree for tree slicing.
    min_samples : int, default=20
        The minimal sample size of a selected region.
    metric : dict, default=None
        The scoring configuration, e.g. {"name": "MSE"}; None means MSE.
    use_test : bool, default=False
        Fit the slicing strategy on the test split (true) or on the training split.
    random_state : int, default=0
        The random seed.
    """
    __signature__: typing.ClassVar[inspect.Signature]
    @staticmethod
    def plot_marginal(diagnose_result, grid = 1000, scaler = None, figsize = (6, 6)):
        """
        Plot marginal frailzone.

        With one slice feature: the region score as a step curve over the feature's range, the
        threshold as a dashed line and the number of each weak region, above the feature's
        histogram (for an additive metric split into the share of samples on either side of the
        threshold). With two slice features: a map of the weak regions over both features with
        each feature's histogram along its axis.

        Parameters
        ----------
        diagnose_result : TestDataResult
            The record returned by ``FrailZone.get_marginal()``.
        grid : int, default=1000
            Number of evaluation points per feature (at least 2).
        scaler : object, default=None
            Feature scaler passed to the tick-scaling service, so that ticks show original units.
        figsize : tuple, default=(6, 6)
            Figure size in inches.

        Returns
        -------
        matplotlib.figure.Figure
            The figure, after it was shown.

        Raises
        ------
        OrrinInfo
            When the record holds no weak region.
        """
    def __init__(self, estimator, slice_features, task_type = None, threshold = 1.2, method = 'histogram', bins = 10, max_depth = 2, min_samples = 20, metric = None, use_test = False, random_state = 0):
        """
        Store the configuration; nothing is validated until `fit`.
        """
    def fit(self, x, y, train_idx, test_idx, prediction = None, prediction_proba = None, sample_weight = None, feature_names = None, feature_types = None, target_name = None, predict_name = None):
        """
        Fit frailzone diagnoser

        The fitted strategy is kept in `diag` and the weak-region table in `output`. When fit
        raises, the diagnoser keeps the state of its previous fit.

        A dask array `x` (with the splits as dask boolean masks aligned with `x`, or as row
        positions) is diagnosed partition by partition on the current dask client and never
        gathered: the histogram method runs as passes over the partitions and gives the same
        regions, bounds and counts as in memory, with scores within 1e-12 relative (the sums
        are added in another order than numpy's pairwise sum); it needs an additive metric.
        The tree method gathers the slicing columns, targets, predictions and weights of both
        splits, and refuses when they would take more than a quarter of the available memory.
        Afterwards get_target_idx and get_shift return lazy dask collections; get_distance is
        exact for PSI with uniform buckets and within a stated bound for KS and WD1.

        Parameters
        ----------
        x : array-like of shape (n_samples, n_features)
            The feature matrix.
        y : array-like of shape (n_samples,)
            The target.
        train_idx, test_idx : array-like of int or bool
            Row positions (or boolean masks) of the training and the test split.
        prediction : array-like of shape (n_samples,), default=None
            The model's predictions; None predicts with the estimator.
        prediction_proba : array-like of shape (n_samples,), default=None
            Predicted probabilities of the positive class, for metrics that need them.
        sample_weight : array-like of shape (n_samples,), default=None
            Sample weights; None means all 1.
        feature_names : list of str, default=None
            One name per column of `x`.
        feature_types : list of str, default=None
            One type per column of `x`.
        target_name, predict_name : str, default=None
            Display names of the target and the prediction.

        Returns
        -------
        None
        """
    def get_distance(self, psi_buckets = 'uniform', distance_metric = 'PSI', compare_to = 'remaining'):
        """
        Get distance result between samples in and out the weak region.

        Both groups are formed over the rows the strategy was fitted on: the test split when
        the diagnoser was fitted with `use_test` true, else the training split.

        Parameters
        ----------
        psi_buckets : {"uniform", "quantile"}, default="uniform"
            The bucketing of the distance service.
        distance_metric : {"PSI", "WD1", "KS"}, default="PSI"
            The distance method.
        compare_to : {"remaining", "full"}, default="remaining"
            Reference group: the rows outside the weak regions, or all rows.

        Returns
        -------
        TestDataResult
            Key "resilience_shift_histogram": the ten features of largest distance ("x")
            and their distances rounded to 4 decimals ("y"), largest first.
        """
    def get_marginal(self):
        """
        Get marginal frailzone result

        Returns
        -------
        TestDataResult
            Key "frailzone_plot": what `plot_marginal` draws.
        """
    def get_result(self):
        """
        Get frailzone result

        Returns
        -------
        TestDataResult
            Key "frailzone_result": the configuration, the weak-region limit and the table.
        """
    def get_shift(self, show_feature = None, compare_to = 'remaining'):
        """
        Get distribution shift between samples in and out the weak region.

        Both groups are formed over the rows the strategy was fitted on: the test split when
        the diagnoser was fitted with `use_test` true, else the training split.

        Parameters
        ----------
        show_feature : str, default=None
            The feature to show; None means the first feature.
        compare_to : {"remaining", "full"}, default="remaining"
            Reference group: the rows outside the weak regions, or all rows.

        Returns
        -------
        TestDataResult
            Key "frailzone_shift": the shown feature, its type and a frame of both groups
            with their label in the column ``"resi_type_"`` (reference rows first).
        """
    def get_target_idx(self):
        """
        Get sample index in Weak region

        A row is inside a region when its first slicing value lies in ["lb1", "ub1") and,
        with two slicing features, its second in ["lb2", "ub2"); a bound pair with equal
        values holds the rows equal to that value.

        Returns
        -------
        numpy.ndarray of int
            Positions within the rows the strategy was fitted on (the test split when
            `use_test` is true, else the training split), region by region in table order,
            ascending within each region.
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
_builtin_methods: dict
