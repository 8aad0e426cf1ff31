"""FrailZone on dask collections: the histogram slicing as passes over the partitions.

Every pass maps a C++ kernel of ``orrin._core`` over the row blocks and adds the small
per-block results: column ranges and distinct values, then per-bin counts and sums, then the
region counts and sums of the re-scoring. Counts, bounds and edges are those of the in-memory
fit on the same rows; sums are compensated per block and their parts added exactly, so a score
differs from numpy's pairwise sum by a few units in the last place (within 1e-12 relative).
"""

import math

import numpy as np

from orrin import _core
from orrin._dask import as_dask_matrix, is_dask_collection, known_row_chunks, tree_sum

# The tree method gathers the fitting set's slicing columns and scores: at most this share of
# the memory that the machine has available.
GATHER_SHARE = 0.25


def _module():
    from orrin.diagnoser import frailzone

    return frailzone


def _orrin_error(message):
    from orrin.exceptions import OrrinError

    return OrrinError(message)


# ---- data: the base fit for dask input ------------------------------------------------------

def _vector(v, name, x):
    """v as a dask vector chunked like the rows of x (None stays None)."""
    import dask.array as da

    if v is None:
        return None
    if is_dask_collection(v):
        v = v.to_dask_array(lengths=True) if hasattr(v, "to_dask_array") else v
        v = known_row_chunks(v)
    else:
        v = np.asarray(v)
        if v.ndim == 0 or v.shape[0] != x.shape[0]:
            raise ValueError(f"{name} has {v.shape[0] if v.ndim else 0} entries but x has "
                             f"{x.shape[0]} rows.")
        v = da.from_array(v, chunks=(x.chunks[0],) + v.shape[1:])
    if v.ndim == 2 and v.shape[1] == 1:
        v = v.ravel()
    if v.shape[0] != x.shape[0]:
        raise ValueError(f"{name} has {v.shape[0]} entries but x has {x.shape[0]} rows.")
    if v.chunks[0] != x.chunks[0]:
        v = v.rechunk((x.chunks[0],) + tuple((s,) for s in v.shape[1:]))
    return v


def _split(idx, name, x):
    """A split as given (a dask boolean mask aligned with x) or as validated row positions."""
    n_rows = x.shape[0]
    if is_dask_collection(idx):
        idx = idx.to_dask_array(lengths=True) if hasattr(idx, "to_dask_array") else idx
        if idx.ndim != 1 or idx.dtype != np.bool_:
            raise ValueError(f"{name} as a dask array must be a boolean mask aligned with x.")
        idx = known_row_chunks(idx)
        if idx.shape[0] != n_rows:
            raise ValueError(f"{name} as a boolean mask must have one entry per row ({n_rows}), "
                             f"got {idx.shape[0]}.")
        return idx.rechunk((x.chunks[0],)) if idx.chunks[0] != x.chunks[0] else idx
    arr = np.asarray(idx)
    if arr.ndim != 1:
        raise ValueError(f"{name} must be a one-dimensional array of row positions or a boolean "
                         "mask.")
    if arr.dtype == np.bool_:
        if arr.size != n_rows:
            raise ValueError(f"{name} as a boolean mask must have one entry per row ({n_rows}), "
                             f"got {arr.size}.")
        return np.flatnonzero(arr)
    if arr.size and not np.issubdtype(arr.dtype, np.integer):
        raise TypeError(f"{name} must hold integer row positions, got dtype {arr.dtype}.")
    if arr.size and (arr.min() < -n_rows or arr.max() >= n_rows):
        raise ValueError(f"{name} holds positions outside the {n_rows} rows of x.")
    return np.where(arr < 0, arr + n_rows, arr).astype(np.intp)


def _take(v, idx):
    """The rows of v that a split selects, lazily (a mask keeps the partitions)."""
    if v is None:
        return None
    return v[idx]


def _predictions(estimator, x, method):
    def block(xb):
        out = getattr(estimator, method)(xb)
        return out[:, 1] if method == "predict_proba" and out.ndim == 2 else out

    return x.map_blocks(block, drop_axis=1, dtype=np.float64)


def store_data(fz, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
               feature_names, feature_types, target_name, predict_name):
    """What the base diagnoser's fit stores, for dask x: the collections stay lazy."""
    columns = getattr(x, "columns", None)
    x = known_row_chunks(as_dask_matrix(x))
    if x.ndim != 2:
        raise ValueError(f"x must be a two-dimensional matrix, got {x.ndim} dimension(s).")
    n_rows, n_cols = x.shape
    if n_rows == 0 or n_cols == 0:
        raise ValueError("x must hold at least one row and one column.")
    y = _vector(y, "y", x)
    train = _split(train_idx, "train_idx", x)
    test = _split(test_idx, "test_idx", x)
    for split in (train, test):
        if not is_dask_collection(split) and split.size == 0:
            raise ValueError("train_idx and test_idx must each select at least one row.")
    weights = _vector(sample_weight, "sample_weight", x)
    if weights is not None:
        weights = weights.astype(np.float64)
    if feature_names is None:
        feature_names = ([str(c) for c in columns] if columns is not None
                         else [f"X{i}" for i in range(n_cols)])
    feature_names = list(feature_names)
    if len(feature_names) != n_cols:
        raise ValueError(f"feature_names has {len(feature_names)} names but x has {n_cols} "
                         "columns.")
    feature_types = ["numerical"] * n_cols if feature_types is None else list(feature_types)
    if len(feature_types) != n_cols:
        raise ValueError(f"feature_types has {len(feature_types)} entries but x has {n_cols} "
                         "columns.")
    pred = prediction
    if pred is None and fz.estimator is not None:
        pred = _predictions(fz.estimator, x, "predict")
    pred = _vector(pred, "prediction", x)
    proba = prediction_proba
    if proba is None and fz._is_classification() and hasattr(fz.estimator, "predict_proba"):
        proba = _predictions(fz.estimator, x, "predict_proba")
    proba = _vector(proba, "prediction_proba", x)
    if proba is not None and proba.ndim == 2:
        proba = proba[:, 1] if proba.shape[1] > 1 else proba.ravel()
    fz.x, fz.y, fz.train_idx, fz.test_idx = x, y, train, test
    fz.sample_weight, fz.pred, fz.pred_proba = weights, pred, proba
    fz.feature_names, fz.feature_types = feature_names, feature_types
    fz.target_name, fz.predict_name = target_name, predict_name


# ---- passes ---------------------------------------------------------------------------------

def _blocks(*arrays):
    """Row blocks of aligned dask arrays as tuples of delayed blocks (None stays None). The
    graphs stay unoptimised, so that arrays built on the same partitions share their tasks
    within one compute instead of each recomputing them."""
    present = [a for a in arrays if a is not None]
    nblocks = present[0].numblocks[0]
    for a in present:
        if a.numblocks[0] != nblocks:
            raise ValueError("the split's arrays are not partitioned alike")
    columns = [a.to_delayed(optimize_graph=False).ravel() if a is not None else [None] * nblocks for a in arrays]
    return list(zip(*columns))


def _block_matrix(xb):
    return np.asarray(xb, dtype=np.float64)


def _summary_block(xb, columns, cap):
    xb = _block_matrix(xb)
    return [_core.fz_summary(xb, c, cap) for c in columns]


def _merge_summaries(a, b, cap):
    out = []
    for s, t in zip(a, b):
        distinct = np.union1d(s["distinct"], t["distinct"])[:cap]
        out.append({"n": s["n"] + t["n"], "min": np.fmin(s["min"], t["min"]),
                    "max": np.fmax(s["max"], t["max"]),
                    "has_nan": s["has_nan"] or t["has_nan"], "distinct": distinct})
    return out


def _group_block(xb, c0, c1, edges0, cap):
    return _core.fz_group_summary(_block_matrix(xb), c0, c1, edges0, cap)


def _cell_block(xb, sb, wb, c0, c1, edges0, edges1):
    return _core.fz_cell_sums(_block_matrix(xb), c0, c1, edges0, edges1,
                              np.asarray(sb, dtype=np.float64),
                              None if wb is None else np.asarray(wb, dtype=np.float64))


def _region_block(xb, sb, wb, c0, c1, bounds):
    return _core.fz_region_sums(_block_matrix(xb), c0, c1, *bounds,
                                np.asarray(sb, dtype=np.float64),
                                None if wb is None else np.asarray(wb, dtype=np.float64))


def _rows_block(xb, c0, c1, bounds):
    return _core.fz_region_rows(_block_matrix(xb), c0, c1, *bounds)


class Totals:
    """Counts and sums of k cells (or regions) over all blocks: the counts are exact, each sum
    is the exact sum (math.fsum) of the compensated parts of every block."""

    def __init__(self, combined):
        self.count = np.asarray(combined["count"], dtype=np.int64)
        self._parts = {key: np.asarray(combined[key]) for key in ("scores", "weights",
                                                                  "products")}

    def sum(self, key, cells):
        parts = self._parts[key]
        return math.fsum(parts[:, list(cells)].ravel().tolist())

    def rows(self, cells):
        return int(sum(int(self.count[k]) for k in cells))


def _combined_sums(blocks, kernel, *args):
    from dask import delayed

    parts = [delayed(kernel, pure=True)(*block, *args) for block in blocks]
    return delayed(_stack_parts, pure=True)(parts)


def _stack_parts(parts):
    return {"count": np.sum([p["count"] for p in parts], axis=0),
            **{key: np.concatenate([p[key] for p in parts], axis=0)
               for key in ("scores", "weights", "products")}}


# ---- scores ---------------------------------------------------------------------------------

def _score_block(yb, pb, scoring_func):
    return np.asarray(scoring_func(np.asarray(yb).ravel(), np.asarray(pb).ravel()),
                      dtype=np.float64)


def _sample_scores(diag, y, pred):
    return y.map_blocks(_score_block, pred, diag.scoring_func, dtype=np.float64)


def _mean(totals, cells, weighted, skip_zero_weights=False):
    """np.average of the scores of the cells' rows: the plain mean, or with the weights. Weights
    that sum to zero score NaN (never weak), or, with ``skip_zero_weights``, the plain mean."""
    totals = totals if isinstance(totals, (list, tuple)) else [totals]
    rows = sum(t.rows(cells) for t in totals)
    if weighted:
        w = math.fsum(t.sum("weights", cells) for t in totals)
        if w == 0.0 and not skip_zero_weights:
            return np.float64(np.nan)
        if w != 0.0:
            return np.float64(math.fsum(t.sum("products", cells) for t in totals) / w)
    return np.float64(math.fsum(t.sum("scores", cells) for t in totals) / rows)


# ---- the histogram pass on per-bin totals ---------------------------------------------------

def _edges(lo, hi, n_distinct, bins):
    count = n_distinct if n_distinct < bins else bins
    return np.histogram(np.array([lo, hi], dtype=np.float64), bins=count)[1]


def _fit1d(diag, edges, first_cell, totals, lbold, ubold, weighted, lb1=None, ub1=None):
    """The one-dimensional pass of the histogram slicing on per-bin totals; bin b is cell
    first_cell + b. Returns (weak_region, rule_list) as the in-memory pass builds them."""
    two = lb1 is not None
    nbins = len(edges) - 1
    sign, limit = diag.score_sign, diag.threshold_value

    def splits(lb, ub, lbx, ubx):
        out = {"f0": {"lb": lbx, "ub": ubx}}
        if two:
            out = {"f0": {"lb": lb1, "ub": ub1}, "f1": {"lb": lb, "ub": ub}}
        return out

    def record(lb, ub):
        if two:
            return {"lb1": lb1, "ub1": ub1, "lb2": lb, "ub2": ub}
        return {"lb1": lb, "ub1": ub}

    rule_list, weak_region, weak_bins = [], [], []
    for b in range(nbins):
        lb, ub = float(edges[b]), float(edges[b + 1])
        cell = [first_cell + b]
        n = totals.rows(cell)
        score = np.nan
        if n > 0:
            score = _mean(totals, cell, weighted)
        rule_list.append({"splits": splits(lb, ub, lb, ub), "values": score, "counts": n})
        if n > 0 and sign * score <= sign * limit:
            weak_region.append(record(lb, ub))
            weak_bins.append(b)
    if not weak_region or not diag.is_metric_additive:
        return weak_region, rule_list

    # Runs of touching weak bins (weak bins come in bin order, so sorting keeps it).
    runs = []
    for b in weak_bins:
        if runs and edges[b] <= edges[runs[-1][1] + 1]:
            runs[-1][1] = b
        else:
            runs.append([b, b])
    kept = []
    for first, last in runs:
        lb, ub = float(edges[first]), float(edges[last + 1])
        n = totals.rows(range(first_cell + first, first_cell + last + 1))
        if diag.min_samples <= n:
            kept.append(record(max(lb, lbold), min(ub, ubold)))
    weak_region = kept

    key, lo_key, hi_key = ("f1", "lb2", "ub2") if two else ("f0", "lb1", "ub1")
    excluded, merged = set(), []
    for region in weak_region:
        matched = [i for i, r in enumerate(rule_list)
                   if r["splits"][key]["lb"] >= region[lo_key]
                   and r["splits"][key]["ub"] <= region[hi_key]]
        excluded.update(matched)
        if not matched:
            continue
        lower = min(rule_list[i]["splits"][key]["lb"] for i in matched)
        upper = max(rule_list[i]["splits"][key]["ub"] for i in matched)
        cells = [first_cell + i for i in matched]
        n = totals.rows(cells)
        score = 0
        if n > 0:
            score = _mean(totals, cells, weighted, skip_zero_weights=not two)
        merged.append({"splits": splits(lower, upper, lower, upper), "values": score,
                       "counts": n})
    merged.extend(r for i, r in enumerate(rule_list) if i not in excluded)
    return weak_region, merged


# ---- the fit --------------------------------------------------------------------------------

def _fidx(diag, feature_names):
    positions = [feature_names.index(name) for name in diag.slice_features]
    _, first = np.unique(positions, return_index=True)
    return [positions[i] for i in sorted(first)]


def _check_finite(summaries, set_name, names):
    for s, name in zip(summaries, names):
        if s["has_nan"] or not (np.isfinite(s["min"]) and np.isfinite(s["max"])):
            raise ValueError(f"{set_name} holds NaN or infinite values in the slicing feature "
                             f"{name!r}.")


def _histogram_fit(diag, sets, feature_names, use_test):
    import dask

    fit_set = sets["test" if use_test else "train"]
    x, w = fit_set["x"], fit_set["w"]
    weighted = w is not None
    fidx = _fidx(diag, feature_names)
    two = len(fidx) != 1
    cols = fidx[:2] if two else fidx[:1]
    bins = int(diag.bins)

    # Pass 1: ranges and distinct values of the slicing columns of both sets, and the overall
    # sums of the fitting set's scores.
    from dask import delayed

    summaries = {}
    for name in ("train", "test"):
        parts = [delayed(_summary_block, pure=True)(xb, cols, bins)
                 for (xb,) in _blocks(sets[name]["x"])]
        summaries[name] = tree_sum(parts, lambda a, b, cap=bins: _merge_summaries(a, b, cap))
    overall = _combined_sums(_blocks(x, fit_set["scores"], w), _cell_block, cols[0], -1,
                             np.array([-np.inf, np.inf]), [])
    train_summary, test_summary, overall = dask.compute(summaries["train"], summaries["test"],
                                                        overall)
    names = [feature_names[c] for c in cols]
    _check_finite(train_summary, "train_x", names)
    _check_finite(test_summary, "test_x", names)
    fit_summary = test_summary if use_test else train_summary

    overall = Totals(overall)
    if weighted and overall.sum("weights", [0]) > 0:
        avg_score = overall.sum("products", [0]) / overall.sum("weights", [0])
    else:
        avg_score = overall.sum("scores", [0]) / overall.rows([0])
    diag.threshold_value = diag.threshold * np.float64(avg_score)
    diag.fidx = fidx

    s0 = fit_summary[0]
    bins1d = _edges(s0["min"], s0["max"], len(s0["distinct"]), bins)
    if not two:
        cells = dask.compute(_combined_sums(_blocks(x, fit_set["scores"], w), _cell_block,
                                            cols[0], -1, bins1d, []))[0]
        weak_region, rule_list = _fit1d(diag, bins1d, 0, Totals(cells), float(s0["min"]),
                                        float(s0["max"]), weighted)
    else:
        # Pass 2: the second feature within every bin of the first; pass 3: the cells.
        parts = [delayed(_group_block, pure=True)(xb, cols[0], cols[1], bins1d, bins)
                 for (xb,) in _blocks(x)]
        groups = dask.compute(tree_sum(parts, lambda a, b, cap=bins: _merge_summaries(a, b, cap)))[0]
        edges1, bin_stats = [], []
        lo0, hi0 = float(s0["min"]), float(s0["max"])
        for i, g in enumerate(groups):
            lb, ub = max(float(bins1d[i]), lo0), min(float(bins1d[i + 1]), hi0)
            if g["n"] == 0:
                edges1.append(np.empty(0))
                bin_stats.append({"lb1": lb, "ub1": ub, "lb2": np.nan, "ub2": np.nan,
                                  "support": 0})
                continue
            edges1.append(_edges(g["min"], g["max"], len(g["distinct"]), bins))
            bin_stats.append({"lb1": lb, "ub1": ub, "lb2": g["min"], "ub2": g["max"],
                              "support": int(g["n"])})
        cells = Totals(dask.compute(_combined_sums(_blocks(x, fit_set["scores"], w),
                                                   _cell_block, cols[0], cols[1], bins1d,
                                                   edges1))[0])
        weak_region, rule_list, first_cell = [], [], 0
        for i, g in enumerate(groups):
            if g["n"] == 0:
                continue
            e = edges1[i]
            regions, rules = _fit1d(diag, e, first_cell, cells, float(g["min"]),
                                    float(g["max"]), weighted, lb1=bin_stats[i]["lb1"],
                                    ub1=bin_stats[i]["ub1"])
            rule_list.extend(rules)
            n = int(g["n"])
            for item in regions:
                below = lambda v: cells.rows(  # noqa: E731 - rows of the bins under an edge
                    [first_cell + b for b in range(len(e) - 1) if e[b + 1] <= v])
                item["lb2q"] = below(item["lb2"]) * (100.0 / n)
                if item["ub2"] == g["max"]:
                    item["ub2q"] = n * (100.0 / n)
                else:
                    item["ub2q"] = below(item["ub2"]) * (100.0 / n)
                weak_region.append(item)
            first_cell += len(e) - 1
        diag.bin_stats = bin_stats
    diag.bins1d = bins1d
    diag.rule_list = rule_list
    diag.weak_region = weak_region
    return fidx, two, test_summary


def _first_bounds(weak_region, test_summary):
    """First-feature bounds of the re-scoring: the upper bound closed where it equals the test
    set's maximum of the column."""
    lb1 = [float(r["lb1"]) for r in weak_region]
    ub1 = [float(r["ub1"]) for r in weak_region]
    closed1 = [bool(r["ub1"] == test_summary[0]["max"]) for r in weak_region]
    return lb1, ub1, closed1


def _region_scores(scores, x, c0, c1, bounds, r):
    """The per-sample scores of region r's rows, lazily and in row order."""
    import dask.array as da
    from dask import delayed

    pieces = []
    for xb, sb in _blocks(x, scores):
        rows = delayed(_rows_block, pure=True)(xb, c0, c1, bounds)
        picked = delayed(_pick, pure=True)(sb, rows, r)
        pieces.append(da.from_delayed(picked, shape=(np.nan,), dtype=np.float64))
    return da.concatenate(pieces)


def _pick(sb, rows, r):
    return np.asarray(sb, dtype=np.float64)[rows[r]]


def _closing_block(xb, sb, wb, c0, c1, bounds):
    return _core.fz_region_sums_closing(_block_matrix(xb), c0, c1, *bounds,
                                        np.asarray(sb, dtype=np.float64),
                                        None if wb is None else np.asarray(wb, dtype=np.float64))


def _stack_closing(parts):
    return {"inside": _stack_parts([p["inside"] for p in parts]),
            "on": _stack_parts([p["on"] for p in parts]),
            "on_bound": np.sum([p["on_bound"] for p in parts], axis=0),
            "beyond": np.sum([p["beyond"] for p in parts], axis=0)}


def _set_totals(s, first, two, weak_region, c0, c1):
    """Delayed per-region totals of one set: (totals, closed2 or None) once computed."""
    from dask import delayed

    if not two:
        return _combined_sums(_blocks(s["x"], s["scores"], s["w"]), _region_block, c0, -1,
                              first + ([], [], []))
    second = ([float(r["lb2"]) for r in weak_region], [float(r["ub2"]) for r in weak_region])
    parts = [delayed(_closing_block, pure=True)(*block, c0, c1, first + second)
             for block in _blocks(s["x"], s["scores"], s["w"])]
    return delayed(_stack_closing, pure=True)(parts)


def _rescore(diag, sets, fidx, two, test_summary):
    import dask
    import pandas as pd

    score_name = diag.score_name
    weak_region = diag.weak_region
    if not weak_region:
        return None
    first = _first_bounds(weak_region, test_summary)
    c0, c1 = fidx[0], (fidx[1] if two else -1)
    computed = dask.compute({name: _set_totals(s, first, two, weak_region, c0, c1)
                             for name, s in sets.items()})[0]
    per_set = {}
    for name, v in computed.items():
        if not two:
            totals = Totals(v)
            per_set[name] = ([totals], [[r] for r in range(len(weak_region))],
                             first + ([], [], []))
            continue
        inside, on = Totals(v["inside"]), Totals(v["on"])
        closed2 = [bool(v["on_bound"][r] > 0 and v["beyond"][r] == 0)
                   for r in range(len(weak_region))]
        bounds = first + ([float(r["lb2"]) for r in weak_region],
                          [float(r["ub2"]) for r in weak_region], closed2)
        per_set[name] = (closed2, inside, on, bounds)
    rows = []
    for r, item in enumerate(weak_region):
        row = dict(item)
        stats = {}
        for name in ("train", "test"):
            if two:
                closed2, inside, on, bounds = per_set[name]
                totals = [inside, on] if closed2[r] else [inside]
            else:
                totals, _, bounds = per_set[name]
            stats[name] = (totals, bounds, sum(t.rows([r]) for t in totals))
        row.update({"#Train": int(stats["train"][2])})
        row.update({"#Test": int(stats["test"][2])})
        for name in ("train", "test"):
            totals, bounds, count = stats[name]
            s = sets[name]
            if count > 0:
                row[f"{name}_{score_name} All"] = _region_scores(s["scores"], s["x"], c0, c1,
                                                                 bounds, r)
                row[f"{name}_{score_name}"] = _mean(totals, [r], s["w"] is not None)
            else:
                row[f"{name}_{score_name} All"] = []
                row[f"{name}_{score_name}"] = np.nan
        row["Gap"] = row[f"test_{score_name}"] - row[f"train_{score_name}"]
        rows.append(row)
    # Largest gap first, NaN gaps last, ties in region order (the in-memory driver's order).
    order = sorted(range(len(rows)), key=lambda k: (math.isnan(rows[k]["Gap"]),
                                                    -rows[k]["Gap"] if not math.isnan(
                                                        rows[k]["Gap"]) else 0.0))
    diag.weak_region_stats = [rows[k] for k in order]
    names = diag.feature_names
    columns = ["lb1", "ub1"] + (["lb2", "ub2"] if two else []) + [
        "#Test", "#Train", f"test_{score_name}", f"train_{score_name}", "Gap"]
    table = pd.DataFrame([{k: row[k] for k in columns} for row in diag.weak_region_stats])
    rename = {"lb1": "[" + names[fidx[0]], "ub1": names[fidx[0]] + ")"}
    if two:
        rename.update({"lb2": "[" + names[fidx[1]], "ub2": names[fidx[1]] + ")"})
    return table.loc[:, columns].rename(columns=rename)


def _tree_fit(fz, diag, sets, use_test):
    """Tree slicing on the fitting set's slicing columns and scores, gathered into memory."""
    import dask

    names = fz.feature_names
    fidx = _fidx(diag, names)[:2]
    columns = [names[c] for c in fidx]
    n_rows = {k: s["x"].shape[0] for k, s in sets.items()}
    widths = len(fidx) + 3
    need = sum(n if n == n else 0 for n in n_rows.values()) * widths * 8
    import psutil

    if not all(n == n for n in n_rows.values()) or need > GATHER_SHARE * \
            psutil.virtual_memory().available:
        raise MemoryError(
            "method='tree' on dask input gathers the slicing columns, targets, predictions "
            f"and weights of the training and test sets (about {need / 2**30:.1f} GiB, more "
            "than a quarter of the memory available here); use method='histogram', which "
            "runs partition by partition, or a sample of the rows.")
    gathered = dask.compute({k: {"x": s["x"][:, fidx], "y": s["y"], "pred": s["pred"],
                                 "w": s["w"]} for k, s in sets.items()})[0]
    output = diag.fit(train_x=gathered["train"]["x"], train_y=gathered["train"]["y"],
                      test_x=gathered["test"]["x"], test_y=gathered["test"]["y"],
                      train_pred=gathered["train"]["pred"], test_pred=gathered["test"]["pred"],
                      train_sample_weight=gathered["train"]["w"],
                      test_sample_weight=gathered["test"]["w"], feature_names=columns,
                      use_test=use_test)
    # The strategy saw the slicing columns only: point it back at the full fitting set.
    fit_set = sets["test" if use_test else "train"]
    diag.x, diag.fidx, diag.feature_names = fit_set["x"], fidx, names
    return output


def fit(fz, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
        feature_names, feature_types, target_name, predict_name):
    """FrailZone.fit for dask x."""
    frailzone = _module()
    store_data(fz, x, y, train_idx, test_idx, prediction, prediction_proba, sample_weight,
               feature_names, feature_types, target_name, predict_name)
    if fz.method == "tree":
        diag = frailzone.TreeSlicing(estimator=fz.estimator, slice_features=fz.slice_features,
                                     task_type=fz.task_type, threshold=fz.threshold,
                                     max_depth=fz.max_depth, min_samples=fz.min_samples,
                                     metric=fz.metric)
    elif fz.method == "histogram":
        diag = frailzone.HistogramSlicing(estimator=fz.estimator,
                                          slice_features=fz.slice_features,
                                          task_type=fz.task_type, threshold=fz.threshold,
                                          min_samples=fz.min_samples, bins=fz.bins,
                                          metric=fz.metric)
    else:
        raise _orrin_error("frailzone method should be either histogram or tree.")
    source = fz.pred_proba if diag.needs_proba else fz.pred
    if source is None:
        what = "predicted probabilities: pass prediction_proba or an estimator with " \
               "predict_proba." if diag.needs_proba else \
               "predictions: pass prediction or an estimator with predict."
        raise ValueError(f"the metric {diag.score_name} needs {what}")
    sets = {}
    for name, idx in (("train", fz.train_idx), ("test", fz.test_idx)):
        sets[name] = {"x": _take(fz.x, idx), "y": _take(fz.y, idx), "pred": _take(source, idx),
                      "w": _take(fz.sample_weight, idx)}
    if fz.method == "tree":
        output = _tree_fit(fz, diag, sets, bool(fz.use_test))
    else:
        if not diag.is_metric_additive:
            raise _orrin_error(
                f"the metric {diag.score_name} is not a mean of per-sample scores, so its "
                "region scores cannot be added up over partitions: use an additive metric "
                "(MSE, MAE, ACC, LogLoss, Brier) with dask input, or method='tree'.")
        for s in sets.values():
            s["scores"] = _sample_scores(diag, s["y"], s["pred"])
        use_test = bool(fz.use_test)
        fit_set = sets["test" if use_test else "train"]
        diag.use_test = fz.use_test
        diag.weak_region_stats = []
        diag.feature_names = fz.feature_names
        diag.x, diag.y, diag.preds = fit_set["x"], fit_set["y"], fit_set["pred"]
        diag.scores = fit_set["scores"]
        diag.rule_list, diag.weak_region = [], []
        fidx, two, test_summary = _histogram_fit(diag, sets, fz.feature_names, use_test)
        output = _rescore(diag, sets, fidx, two, test_summary)
    fz.diag = diag
    fz.output = output


# ---- what a dask-fitted diagnoser returns ---------------------------------------------------

def _target_block(xb, c0, c1, bounds, offset):
    rows = _core.fz_region_rows(_block_matrix(xb), c0, c1, *bounds)
    return [r + offset for r in rows]


def target_idx(fz):
    """get_target_idx of a dask-fitted diagnoser: the positions in the fitting set of the rows
    in every weak region ([lb, ub), or [lb, lb] for a region of one value), region after
    region, as a lazy dask array."""
    import dask.array as da
    from dask import delayed

    diag = fz.diag
    stats = list(diag.weak_region_stats)
    if not stats:
        return np.concatenate([])
    x = diag.x
    two = len(diag.fidx) != 1
    lb1 = [float(r["lb1"]) for r in stats]
    ub1 = [float(r["ub1"]) for r in stats]
    bounds = (lb1, ub1, [a == b for a, b in zip(lb1, ub1)], [], [], [])
    if two:
        lb2 = [float(r["lb2"]) for r in stats]
        ub2 = [float(r["ub2"]) for r in stats]
        bounds = bounds[:3] + (lb2, ub2, [a == b for a, b in zip(lb2, ub2)])
    c0, c1 = diag.fidx[0], (diag.fidx[1] if two else -1)
    x = known_row_chunks(x)
    offsets = np.concatenate([[0], np.cumsum(x.chunks[0])[:-1]]).astype(np.int64)
    per_block = [delayed(_target_block, pure=True)(xb, c0, c1, bounds, int(off))
                 for (xb,), off in zip(_blocks(x), offsets)]
    pieces = []
    for r in range(len(stats)):
        for rows in per_block:
            pieces.append(da.from_delayed(rows[r], shape=(np.nan,), dtype=np.int64))
    return da.concatenate(pieces)


# ---- distribution shift -------------------------------------------------------------------

# Cells of the grid on which KS and WD1 are evaluated for dask input.
DISTANCE_GRID = 65536
_TITLES = {"remaining": "Distribution Shift: Weak vs Remaining Regions",
           "full": "Distribution Shift: Weak vs Full Regions"}
_LABELS = {"remaining": "Remaining Regions", "full": "Full Regions"}


def _target_bounds(diag):
    stats = list(diag.weak_region_stats)
    two = len(diag.fidx) != 1
    lb1 = [float(r["lb1"]) for r in stats]
    ub1 = [float(r["ub1"]) for r in stats]
    bounds = (lb1, ub1, [a == b for a, b in zip(lb1, ub1)], [], [], [])
    if two:
        lb2 = [float(r["lb2"]) for r in stats]
        ub2 = [float(r["ub2"]) for r in stats]
        bounds = bounds[:3] + (lb2, ub2, [a == b for a, b in zip(lb2, ub2)])
    return bounds, diag.fidx[0], (diag.fidx[1] if two else -1)


def _multiplicity(xb, c0, c1, bounds):
    """How many weak regions hold each row of the block (its weight in the weak group)."""
    rows = _core.fz_region_rows(_block_matrix(xb), c0, c1, *bounds)
    n = np.asarray(xb).shape[0]
    if not rows:
        return np.zeros(n, dtype=np.int64)
    return np.bincount(np.concatenate(rows), minlength=n).astype(np.int64)


def _reference_weights(m, compare_to):
    return (m == 0).astype(np.int64) if compare_to == "remaining" else np.ones_like(m)


def _range_block(xb, c0, c1, bounds, compare_to):
    xb = _block_matrix(xb)
    m = _multiplicity(xb, c0, c1, bounds)
    ref = xb[_reference_weights(m, compare_to) > 0]
    weak = xb[m > 0]
    empty = np.full(xb.shape[1], np.nan)
    return {"ref_min": ref.min(axis=0) if len(ref) else empty,
            "ref_max": ref.max(axis=0) if len(ref) else empty,
            "min": xb.min(axis=0) if len(xb) else empty,
            "max": xb.max(axis=0) if len(xb) else empty,
            "n_ref": int(len(ref)), "n_weak": int(m.sum()), "n_weak_rows": int(len(weak))}


def _merge_ranges(a, b):
    return {"ref_min": np.fmin(a["ref_min"], b["ref_min"]),
            "ref_max": np.fmax(a["ref_max"], b["ref_max"]),
            "min": np.fmin(a["min"], b["min"]), "max": np.fmax(a["max"], b["max"]),
            **{k: a[k] + b[k] for k in ("n_ref", "n_weak", "n_weak_rows")}}


def _count_block(xb, c0, c1, bounds, compare_to, inner_edges):
    """Per feature, the reference and weak rows in each cell of the feature's inner edges
    (cell = np.searchsorted(inner, v, side='right'))."""
    xb = _block_matrix(xb)
    m = _multiplicity(xb, c0, c1, bounds)
    ref_w = _reference_weights(m, compare_to)
    out = []
    for j, inner in enumerate(inner_edges):
        cells = np.searchsorted(inner, xb[:, j], side="right")
        out.append((np.bincount(cells, weights=ref_w, minlength=inner.size + 1),
                    np.bincount(cells, weights=m, minlength=inner.size + 1)))
    return out


def _add_counts(a, b):
    return [(p + r, q + s) for (p, q), (r, s) in zip(a, b)]


def _psi_from_counts(ref_counts, weak_counts, n_ref, n_weak, eps=1e-6):
    # The arithmetic of the in-memory PSI on the same counts.
    p_ref = np.maximum(ref_counts.astype(np.int64) / n_ref, eps)
    p_weak = np.maximum(weak_counts.astype(np.int64) / n_weak, eps)
    return float(np.sum((p_weak - p_ref) * np.log(p_weak / p_ref)))


def _grid_distance(ref_counts, weak_counts, lo, hi, method):
    """KS or WD1 from the two samples' counts on an equal-width grid over [lo, hi]: the middle
    of the interval that the exact value must lie in.

    Inside a cell each empirical distribution function moves only within its cumulative
    counts at the cell's two ends. KS is then within half the largest mass that one cell
    holds in either sample of the exact statistic; WD1 within (hi - lo) / (2 * cells), half a
    cell's width.
    """
    c_ref = np.cumsum(ref_counts) / ref_counts.sum()
    c_weak = np.cumsum(weak_counts) / weak_counts.sum()
    prev_ref = np.concatenate([[0.0], c_ref[:-1]])
    prev_weak = np.concatenate([[0.0], c_weak[:-1]])
    upper = np.maximum(np.abs(c_ref - prev_weak), np.abs(prev_ref - c_weak))
    lower = np.maximum.reduce([np.zeros_like(c_ref), prev_ref - c_weak, prev_weak - c_ref])
    if method == "KS":
        # The sup is reached at a data point; the cell ends bound it from both sides.
        low = max(float(np.max(np.abs(c_ref - c_weak))), float(np.max(lower)))
        return 0.5 * (low + float(np.max(upper)))
    width = (hi - lo) / len(ref_counts) if hi > lo else 0.0
    return float(0.5 * width * (np.sum(lower) + np.sum(upper)))


def _groups_pass(fz, compare_to):
    from dask import delayed

    diag = fz.diag
    if not list(diag.weak_region_stats):
        np.concatenate([])  # no weak region: numpy's error, as in memory
    bounds, c0, c1 = _target_bounds(diag)
    x = known_row_chunks(diag.x)
    return x, bounds, c0, c1, delayed


def distance(fz, psi_buckets, distance_metric, compare_to):
    """get_distance of a dask-fitted diagnoser. PSI with uniform buckets is exact (counts); KS
    and WD1 come from counts on a grid of DISTANCE_GRID cells per feature, within the bounds
    that ``_grid_distance`` states; PSI with quantile buckets needs the reference's exact
    deciles and is refused."""
    import dask

    from orrin.utils import TestDataResult

    x, bounds, c0, c1, delayed = _groups_pass(fz, compare_to)
    if not isinstance(compare_to, str) or compare_to not in _TITLES:
        raise _orrin_error("Unsupported value of compare_to.")
    if distance_metric == "PSI" and psi_buckets != "uniform":
        if psi_buckets == "quantile":
            raise _orrin_error("PSI with quantile buckets needs exact quantiles of the "
                               "reference rows, which dask input does not gather; use "
                               "psi_buckets='uniform', or 'KS' or 'WD1'.")
        raise _orrin_error(f"Unsupported buckettype {psi_buckets!r}; use 'uniform' or "
                           "'quantile'.")
    if distance_metric not in ("PSI", "WD1", "KS"):
        raise _orrin_error(f"Unsupported distance method {distance_metric!r}; use 'PSI', "
                           "'WD1' or 'KS'.")
    blocks = [b for (b,) in _blocks(x)]
    ranges = dask.compute(tree_sum([delayed(_range_block, pure=True)(b, c0, c1, bounds,
                                                                     compare_to)
                                    for b in blocks], _merge_ranges))[0]
    if ranges["n_ref"] == 0 or ranges["n_weak"] == 0:
        raise ValueError("calculate_distance needs two non-empty samples.")
    n_features = x.shape[1]
    inner = []
    for j in range(n_features):
        if distance_metric == "PSI":
            lo, hi = ranges["ref_min"][j], ranges["ref_max"][j]
            if lo == hi:
                lo, hi = lo - 0.5, hi + 0.5
            inner.append(np.linspace(lo, hi, 11)[1:-1])
        else:
            lo, hi = ranges["min"][j], ranges["max"][j]
            inner.append(np.linspace(lo, hi, DISTANCE_GRID + 1)[1:-1] if hi > lo
                         else np.empty(0))
    counts = dask.compute(tree_sum([delayed(_count_block, pure=True)(b, c0, c1, bounds,
                                                                     compare_to, inner)
                                    for b in blocks], _add_counts))[0]
    distances = []
    for j, (ref_counts, weak_counts) in enumerate(counts):
        if distance_metric == "PSI":
            distances.append(_psi_from_counts(ref_counts, weak_counts, ranges["n_ref"],
                                              ranges["n_weak"]))
        else:
            distances.append(_grid_distance(ref_counts, weak_counts, ranges["min"][j],
                                            ranges["max"][j], distance_metric))
    dist = np.asarray(distances)
    order = np.argsort(dist)[::-1][:10]
    names = fz.feature_names
    value = {"purpose": "diagnose", "distance_metric": distance_metric,
             "slice_features": fz.slice_features, "bins": fz.bins,
             "threshold_value": fz.threshold, "method": fz.method,
             "min_samples": fz.min_samples, "metric": fz.metric,
             "title": _TITLES[compare_to], "x": [names[j] for j in order],
             "y": np.round(dist[order], 4)}
    return TestDataResult(key="resilience_shift_histogram", value=value)


def _shift_counts(xb, c0, c1, bounds, compare_to):
    xb = _block_matrix(xb)
    rows = _core.fz_region_rows(xb, c0, c1, *bounds)
    m = _multiplicity(xb, c0, c1, bounds)
    return int(_reference_weights(m, compare_to).sum()), [len(r) for r in rows]


def _reference_frame(xb, c0, c1, bounds, compare_to, names, label, start):
    import pandas as pd

    xb_f = _block_matrix(xb)
    keep = _reference_weights(_multiplicity(xb_f, c0, c1, bounds), compare_to) > 0
    frame = pd.DataFrame(np.asarray(xb)[keep], columns=names)
    frame["resi_type_"] = label
    frame.index = pd.RangeIndex(start, start + len(frame))
    return frame


def _weak_frame(xb, c0, c1, bounds, r, names, start):
    import pandas as pd

    rows = _core.fz_region_rows(_block_matrix(xb), c0, c1, *bounds)[r]
    frame = pd.DataFrame(np.asarray(xb)[rows], columns=names)
    frame["resi_type_"] = "Weak Regions"
    frame.index = pd.RangeIndex(start, start + len(frame))
    return frame


def shift(fz, show_feature, compare_to):
    """get_shift of a dask-fitted diagnoser: the group frame is a lazy dask DataFrame, its
    rows in the in-memory order (reference rows, then the weak rows region after region) and
    numbered 0, 1, ... over the whole frame (one counting pass fixes the partitions' starts)."""
    import dask
    import dask.dataframe as dd
    import pandas as pd

    from orrin.utils import TestDataResult

    names = fz.feature_names
    if show_feature is None:
        show_feature = names[0]
    feature_type = fz.feature_types[names.index(show_feature)]
    x, bounds, c0, c1, delayed = _groups_pass(fz, compare_to)
    if not isinstance(compare_to, str) or compare_to not in _TITLES:
        raise _orrin_error("Unsupported value of compare_to.")
    blocks = [b for (b,) in _blocks(x)]
    counts = dask.compute([delayed(_shift_counts, pure=True)(b, c0, c1, bounds, compare_to)
                           for b in blocks])[0]
    label = _LABELS[compare_to]
    parts, starts, start = [], [], 0
    for b, (n_ref, _) in zip(blocks, counts):
        parts.append(delayed(_reference_frame, pure=True)(b, c0, c1, bounds, compare_to,
                                                          names, label, start))
        starts.append(start)
        start += n_ref
    for r in range(len(bounds[0])):
        for b, (_, per_region) in zip(blocks, counts):
            parts.append(delayed(_weak_frame, pure=True)(b, c0, c1, bounds, r, names, start))
            starts.append(start)
            start += per_region[r]
    meta = pd.DataFrame({name: pd.Series(dtype=x.dtype) for name in names})
    meta["resi_type_"] = pd.Series(dtype=object)
    frame = dd.from_delayed(parts, meta=meta, divisions=None, verify_meta=False)
    value = {"title": _TITLES[compare_to], "show_feature": show_feature,
             "slice_features": fz.slice_features, "bins": fz.bins,
             "threshold_value": fz.threshold, "method": fz.method,
             "min_samples": fz.min_samples, "metric": fz.metric,
             "feature_type": feature_type, "data": frame}
    return TestDataResult(key="frailzone_shift", value=value)


def marginal_value(value):
    """The marginal record of a dask-fitted diagnoser with what the plot reads gathered: the
    slicing columns and the scores of the fitting set (refused beyond GATHER_SHARE of the
    available memory)."""
    import dask
    import psutil

    fidx = list(value["fidx"])
    x = known_row_chunks(value["x"])
    need = x.shape[0] * (len(fidx) + 1) * 8
    if need > GATHER_SHARE * psutil.virtual_memory().available:
        raise MemoryError(f"plot_marginal on dask input gathers the slicing columns and scores "
                          f"of the fitting set (about {need / 2**30:.1f} GiB), more than a "
                          "quarter of the memory available here.")
    columns, scores = dask.compute(x[:, fidx], value["scores"])
    out = dict(value)
    out.update({"x": np.asarray(columns, dtype=np.float64), "scores": scores,
                "fidx": list(range(len(fidx))),
                "feature_names": [value["feature_names"][j] for j in fidx]})
    return out
