"""Depth-2 boosted model on dask collections: validation, training through xgboost.dask,
prediction and the effect weights, each a pass over the partitions."""

import math
import warnings

import numpy as np

from orrin import _core
from orrin._dask import (as_dask_matrix, current_client, is_dask_collection, known_row_chunks,
                         tree_sum)

FEATURE_COUNT_MESSAGE = ("The number of features in predict is\n"
                         "                     different from the number of features in fit.")


def _as_dask_vector(v, name, row_chunks):
    """y or the weights as a dask vector chunked like the rows of X."""
    import dask.array as da

    if is_dask_collection(v):
        v = v.to_dask_array(lengths=True) if hasattr(v, "to_dask_array") else v
    else:
        v = np.asarray(v)
        if v.ndim == 0 or v.shape[0] != sum(row_chunks):
            return v  # length errors are reported by the caller
        v = da.from_array(v, chunks=(row_chunks,) + tuple((s,) for s in v.shape[1:]))
    return known_row_chunks(v)


def _check_matrix(X):
    if X.ndim != 2:
        raise ValueError(f"Expected 2D array, got {X.ndim}D array instead. Reshape your data "
                         "either using array.reshape(-1, 1) if your data has a single feature "
                         "or array.reshape(1, -1) if it contains a single sample.")
    kind = X.dtype.kind
    if kind == "c":
        raise ValueError("Complex data not supported")
    if kind == "O":
        X = X.astype(np.float64)
    elif kind not in "biuf":
        raise ValueError(f"dtype='numeric' is not compatible with arrays of {X.dtype}")
    n_rows, n_columns = X.shape
    if n_rows == 0:
        raise ValueError(f"Found array with 0 sample(s) (shape={X.shape}) while a minimum of 1 "
                         "is required.")
    if n_columns == 0:
        raise ValueError(f"Found array with 0 feature(s) (shape={X.shape}) while a minimum of 1 "
                         "is required.")
    return X


def _block_stats(xb, yb, wb, check_y, labels):
    """What validation needs to know of one partition: non-finite values, kept rows and their
    weight sum, and the distinct labels of the kept rows."""
    stats = {"x_nan": bool(np.isnan(xb).any()) if xb.dtype.kind == "f" else False,
             "x_inf": bool(np.isinf(xb).any()) if xb.dtype.kind == "f" else False,
             "y_nan": False, "y_inf": False}
    if check_y and yb.dtype.kind == "f":
        stats["y_nan"] = bool(np.isnan(yb).any())
        stats["y_inf"] = bool(np.isinf(yb).any())
    if wb is None:
        keep = None
        stats["kept"] = int(xb.shape[0])
        stats["weight_sum"] = float(xb.shape[0])
    else:
        wb = np.asarray(wb, dtype=np.float64).ravel()
        keep = wb > 0
        stats["kept"] = int(np.count_nonzero(keep))
        stats["weight_sum"] = float(np.sum(wb[keep]))
    if labels:
        stats["labels"] = np.unique(yb if keep is None else yb[keep])
    return stats


def _kept_rows(block, wb):
    return block[np.asarray(wb, dtype=np.float64).ravel() > 0]


def _normalized(wb, kept, total):
    w = np.asarray(wb, dtype=np.float64).ravel()
    return kept * w[w > 0] / total


def _encoded(yb, positive):
    return np.asarray(yb == positive, dtype=np.float64)


def validate_input(model, X, y, sample_weight):
    """The face's ``_validate_input`` for dask input: the same checks and errors, from one pass
    over the partitions, before any training. Returns dask (X, y, weights); weights are None
    when none were given."""
    import dask
    import dask.array as da
    from sklearn.base import is_classifier

    classifier = is_classifier(model)
    columns = getattr(X, "columns", None)
    X = _check_matrix(known_row_chunks(as_dask_matrix(X)))
    rows = X.chunks[0]
    n_rows = X.shape[0]
    y = _as_dask_vector(y, "y", rows)
    if y.ndim == 2 and y.shape[1] == 1:
        if not classifier:
            from sklearn.exceptions import DataConversionWarning
            warnings.warn("A column-vector y was passed when a 1d array was expected. Please "
                          "change the shape of y to (n_samples, ), for example using ravel().",
                          DataConversionWarning, stacklevel=3)
        y = y.ravel()
    elif y.ndim != 1:
        raise ValueError(f"y should be a 1d array, got an array of shape {y.shape} instead.")
    if y.shape[0] != n_rows:
        raise ValueError("Found input variables with inconsistent numbers of samples: "
                         f"[{n_rows}, {y.shape[0]}]")
    if not classifier and y.dtype.kind == "O":
        y = y.astype(np.float64)
    if y.chunks[0] != rows:
        y = y.rechunk((rows,))

    weights = None
    if sample_weight is not None:
        weights = _as_dask_vector(sample_weight, "sample_weight", rows)
        shape = getattr(weights, "shape", ())
        size = int(np.prod(shape)) if len(shape) else 0
        if len(shape) == 0 or shape[0] != n_rows or size != n_rows:
            raise ValueError("sample_weight shape mismatches the input")
        if weights.dtype.kind not in "biufO":
            raise TypeError(f"sample_weight must hold real numbers, got dtype {weights.dtype}")
        weights = weights.ravel() if weights.ndim > 1 else weights
        if weights.chunks[0] != rows:
            weights = weights.rechunk((rows,))

    check_y = not classifier or y.dtype.kind != "O"
    x_blocks = X.to_delayed(optimize_graph=False).ravel()
    y_blocks = y.to_delayed(optimize_graph=False).ravel()
    w_blocks = weights.to_delayed(optimize_graph=False).ravel() if weights is not None else [None] * len(x_blocks)
    stats = dask.compute(*[
        dask.delayed(_block_stats, pure=True)(xb, yb, wb, check_y, classifier)
        for xb, yb, wb in zip(x_blocks, y_blocks, w_blocks)])

    # A partition with a value that the in-memory validation rejects is validated as the
    # in-memory matrix would be, so that the error is scikit-learn's own, word for word.
    for flag in ("x", "y"):
        bad = [i for i, s in enumerate(stats) if s[flag + "_nan"] or s[flag + "_inf"]]
        if bad:
            from sklearn.utils.validation import check_X_y

            xb, yb = dask.compute(X.blocks[bad[0]], y.blocks[bad[0]])
            check_X_y(xb, yb, y_numeric=not classifier, estimator=model)
            raise ValueError(f"Input {flag.upper() if flag == 'x' else flag} contains NaN or "
                             "infinity.")
    model.n_features_in_ = X.shape[1]
    if columns is not None and all(isinstance(c, str) for c in columns):
        model.feature_names_in_ = np.asarray(list(columns), dtype=object)

    kept = sum(s["kept"] for s in stats)
    if weights is not None:
        # The partitions' pairwise sums, added exactly: within a few units in the last place
        # of numpy's pairwise sum over the whole vector.
        total = math.fsum(s["weight_sum"] for s in stats)
        if not (math.isfinite(total) and total > 0):
            raise ValueError("Invalid sample_weight")
    if kept == 1:
        raise ValueError("n_samples=1")

    if weights is not None:
        if kept < n_rows:
            kept_chunks = tuple(s["kept"] for s in stats)
            X = da.map_blocks(_kept_rows, X, weights[:, None], dtype=X.dtype,
                              chunks=(kept_chunks, X.chunks[1]))
            y = da.map_blocks(_kept_rows, y, weights, dtype=y.dtype, chunks=(kept_chunks,))
        else:
            kept_chunks = rows
        weights = da.map_blocks(_normalized, weights, float(kept), total, dtype=np.float64,
                                chunks=(kept_chunks,))

    if classifier:
        from sklearn.preprocessing import LabelBinarizer

        labels = np.unique(np.concatenate([s["labels"] for s in stats]))
        binarizer = LabelBinarizer()
        binarizer.fit(labels)
        model.label_binarizer_ = binarizer
        model.classes_ = binarizer.classes_
        if len(binarizer.classes_) > 2:
            raise ValueError("multi-classification not supported")
        if len(binarizer.classes_) == 1:
            raise ValueError("Classifier can't train when only one class is present.")
        y = y.map_blocks(_encoded, binarizer.classes_[1], dtype=np.float64)
    return X, y, weights


def train(classifier, params, X, y, sample_weight):
    """Trains on the current client through xgboost.dask with ``params``; returns the
    in-memory xgboost estimator that holds the trained booster."""
    import xgboost
    import xgboost.dask as dxgb

    client = current_client()
    dask_type = dxgb.DaskXGBClassifier if classifier else dxgb.DaskXGBRegressor
    distributed_model = dask_type(**params)
    distributed_model.client = client
    distributed_model.fit(X, y, sample_weight=sample_weight)
    estimator = (xgboost.XGBClassifier if classifier else xgboost.XGBRegressor)(**params)
    estimator.load_model(bytearray(distributed_model.get_booster().save_raw("json")))
    return estimator


def _predict_block(block, estimator, method, binarizer):
    from sklearn.utils import check_array

    block = check_array(block)
    if method == "labels":
        positive = estimator.predict_proba(block)[:, 1] > 0.5
        return binarizer.inverse_transform(np.array(positive, dtype=int))
    return getattr(estimator, method)(block)


def predict(model, method, X):
    """``predict`` / ``predict_proba`` / labels of the model on dask X, block by block; the
    blocks are validated as the in-memory matrix is (NaN raises when the block is computed)."""
    from sklearn.utils.validation import check_is_fitted

    X = X.to_dask_array() if hasattr(X, "to_dask_array") else X
    if X.ndim != 2:
        raise ValueError("Reshape your data.")
    check_is_fitted(model)
    if X.shape[1] != model.n_features_in_:
        raise ValueError(FEATURE_COUNT_MESSAGE)
    if X.numblocks[1] > 1:
        X = X.rechunk({1: -1})
    estimator = model.estimator_
    binarizer = getattr(model, "label_binarizer_", None)
    if method == "predict_proba":
        return X.map_blocks(_predict_block, estimator, method, binarizer, dtype=np.float32,
                            chunks=(X.chunks[0], (2,)))
    dtype = model.classes_.dtype if method == "labels" else np.float32
    return X.map_blocks(_predict_block, estimator, method, binarizer, drop_axis=1, dtype=dtype)


def _block_counts(model_json, block):
    from orrin.models.utils import _as_matrix

    return _core.xgb_effect_counts(model_json, _as_matrix(block))


def _add_counts(a, b):
    return {"n": a["n"] + b["n"],
            "mains": [p + q for p, q in zip(a["mains"], b["mains"])],
            "pairs": [p + q for p, q in zip(a["pairs"], b["pairs"])]}


def effect_counts(model_json, X):
    """Rows per bin and per cell of the booster's effect grids over all partitions of X, in one
    pass: the counts that ``xgb_effects_from_counts`` weighs the effects with. Returns
    (X as a dask array, counts)."""
    from dask import delayed

    X = as_dask_matrix(X) if not hasattr(X, "to_dask_array") else X.to_dask_array()
    if X.ndim != 2:
        raise ValueError(f"X must be a two-dimensional matrix, got {X.ndim} dimension(s)")
    if X.numblocks[1] > 1:
        X = X.rechunk({1: -1})
    model = delayed(model_json, pure=True)
    parts = [delayed(_block_counts, pure=True)(model, block) for block in X.to_delayed(optimize_graph=False).ravel()]
    return X, tree_sum(parts, _add_counts).compute()
