"""What a user's call costs: FrailZone end to end against a numpy transcription of the same
steps, against its own kernels, in rows, in memory, and the getters that follow a fit.

Data: n rows x 5 standard-normal features, a weak region in x0 and x1, MSE, predictions
given, a random 70/30 split given as position arrays (as a user would draw it).

Figures printed, each next to its target:
- `FrailZone.fit` (histogram, bins=10) at 1e6 and 1e7 rows, one and two slicing features,
  use_test true and false: against the numpy transcription of the whole facade (base checks,
  the split, the strategy's pass and re-scoring, the records), and against the time of
  gathering the fitting set's matrix plus `HistogramSlicing.fit` on splits already made;
- `get_target_idx`, `get_distance`, `get_shift`, `get_marginal` against their numpy
  transcriptions at 1e6 rows;
- 1e7 rows against 1e6, first call in a fresh process included;
- peak memory of a fit at 1e7 rows x 5 columns above the input, and the resident set after
  the fit, after a second fit and after `orrin.release_memory()`;
- the tree method end to end against `DecisionTreeRegressor.fit` alone.

Usage: PYTHONPATH=src python benchmarks/bench_frailzone_fit.py [--quick]
"""

import argparse
import os
import sys

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "diagnoser"))

from harness import best_of, fresh_process  # noqa: E402
from histogram_reference import ReferenceSlicing  # noqa: E402

NAMES = [f"x{i}" for i in range(5)]


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 5))
    noise = 1.0 + 2.0 * ((x[:, 0] > 1.0) & (x[:, 1] < 0.0))
    y = x[:, 0] + x[:, 1] + rng.normal(size=n) * noise
    pred = x[:, 0] + x[:, 1]
    perm = rng.permutation(n)
    cut = int(0.7 * n)
    return x, y, pred, perm[:cut], perm[cut:]


# The numpy transcription of FrailZone.fit ------------------------------------------------

def baseline_checks(x, y, train_idx, test_idx, pred):
    """The base class's checks and conversions, as numpy does them."""
    x = np.asarray(x)
    y = np.asarray(y)
    n = x.shape[0]
    out = []
    for idx in (train_idx, test_idx):
        idx = np.asarray(idx)
        assert idx.min() >= -n and idx.max() < n
        out.append(idx.astype(np.intp))
    return x, y, out[0], out[1], np.asarray(pred)


def baseline_fit(x, y, train_idx, test_idx, pred, fidx, use_test, bins=10, threshold=1.2,
                 min_samples=20):
    """FrailZone.fit transcribed: checks, the split, the pass on the fitting set, every weak
    region re-scored on both sets with one boolean mask per region and set, gap sort, table."""
    x, y, train_idx, test_idx, pred = baseline_checks(x, y, train_idx, test_idx, pred)
    sets = {"train": (x[train_idx], y[train_idx], pred[train_idx]),
            "test": (x[test_idx], y[test_idx], pred[test_idx])}
    fx, fy, fp = sets["test" if use_test else "train"]
    scores = (fy - fp) ** 2
    assert all(np.isfinite(s[0][:, fidx]).all() for s in sets.values())
    ref = ReferenceSlicing(fidx, threshold * np.average(scores), min_samples=min_samples,
                           bins=bins)
    weak = (ref._fit1d(fx[:, fidx[0]], fy, fp, scores) if len(fidx) == 1
            else ref._fit2d(fx[:, fidx], fy, fp, scores))[0]
    if not weak:
        return None
    two = len(fidx) == 2
    test_max = sets["test"][0][:, fidx[0]].max()
    rows = []
    for region in weak:
        row = dict(region)
        scored = {}
        for name, (sx, sy, sp) in sets.items():
            c0 = sx[:, fidx[0]]
            lb1, ub1 = region["lb1"], region["ub1"]
            mask = (c0 >= lb1) & ((c0 <= ub1) if ub1 == test_max else (c0 < ub1))
            if two:
                c1 = sx[:, fidx[1]]
                inside = c1[mask]
                closed = len(inside) > 0 and inside.max() == region["ub2"]
                upper = (c1 <= region["ub2"]) if closed else (c1 < region["ub2"])
                mask = mask & (c1 >= region["lb2"]) & upper
            idx = np.where(mask)[0]
            every = (sy[idx] - sp[idx]) ** 2
            scored[name] = (len(idx), every, np.average(every) if len(idx) else np.nan)
        row.update({"#Train": scored["train"][0], "#Test": scored["test"][0],
                    "train_MSE All": scored["train"][1], "train_MSE": scored["train"][2],
                    "test_MSE All": scored["test"][1], "test_MSE": scored["test"][2]})
        row["Gap"] = row["test_MSE"] - row["train_MSE"]
        rows.append(row)
    rows.sort(key=lambda r: -np.inf if np.isnan(r["Gap"]) else r["Gap"], reverse=True)
    cols = ["lb1", "ub1"] + (["lb2", "ub2"] if two else [])
    cols += ["#Test", "#Train", "test_MSE", "train_MSE", "Gap"]
    rename = {"lb1": "[" + NAMES[fidx[0]], "ub1": NAMES[fidx[0]] + ")"}
    if two:
        rename.update({"lb2": "[" + NAMES[fidx[1]], "ub2": NAMES[fidx[1]] + ")"})
    return pd.DataFrame(rows).loc[:, cols].rename(columns=rename)


# Transcriptions of the getters -------------------------------------------------------------

def baseline_target_idx(f):
    block = f.diag.x[:, f.diag.fidx]
    out = []
    for row in f.diag.weak_region_stats:
        inside = (block[:, 0] >= row["lb1"]) & (block[:, 0] < row["ub1"])
        if len(f.diag.fidx) == 2:
            inside &= (block[:, 1] >= row["lb2"]) & (block[:, 1] < row["ub2"])
        out.append(np.where(inside)[0])
    return np.concatenate(out)


def baseline_groups(f):
    from orrin.diagnoser.utils import calculate_distance  # noqa: F401 (same service)
    rows = f.x[f.test_idx if f.diag.use_test else f.train_idx]
    idx = baseline_target_idx(f)
    keep = np.ones(len(rows), dtype=bool)
    keep[idx] = False
    return rows[idx], rows[keep]


def baseline_distance(f):
    from orrin.diagnoser.utils import calculate_distance
    weak, rest = baseline_groups(f)
    dist = np.array([calculate_distance(rest[:, i], weak[:, i]) for i in range(rest.shape[1])])
    order = np.argsort(dist)[::-1][:10]
    return [f.feature_names[i] for i in order], np.round(dist[order], 4)


def baseline_shift(f):
    weak, rest = baseline_groups(f)
    a = pd.DataFrame(rest, columns=f.feature_names)
    b = pd.DataFrame(weak, columns=f.feature_names)
    a["resi_type_"] = "Remaining Regions"
    b["resi_type_"] = "Weak Regions"
    return pd.concat((a, b), axis=0).reset_index(drop=True)


def baseline_marginal(f):
    d = f.diag
    return {"slice_features": f.slice_features, "weak_region_stats": d.weak_region_stats,
            "fidx": d.fidx, "x": d.x, "y": d.y, "scores": d.scores}


# Figures -------------------------------------------------------------------------------------

def line(label, value, target):
    print(f"  {label:<58} {value:>10}   target {target}")


def fit_figures(n, repeat):
    from orrin.diagnoser.frailzone import FrailZone, HistogramSlicing

    x, y, pred, tr, te = make_data(n)
    print(f"\n== FrailZone.fit (histogram, bins=10) at {n:.0e} rows x 5 columns, 70/30 split")
    for features, fidx in ((["x0"], [0]), (["x0", "x1"], [0, 1])):
        for use_test in (False, True):
            f = FrailZone(None, features, task_type="regression", use_test=use_test)
            t_fit = best_of(lambda: f.fit(x, y, tr, te, prediction=pred, feature_names=NAMES),
                            repeat)
            t_base = best_of(lambda: baseline_fit(x, y, tr, te, pred, fidx, use_test),
                             max(1, repeat // 2))
            same = baseline_fit(x, y, tr, te, pred, fidx, use_test).equals(f.output)
            fit_rows = te if use_test else tr
            split = dict(train_x=x[tr], train_y=y[tr], test_x=x[te], test_y=y[te],
                         train_pred=pred[tr], test_pred=pred[te], feature_names=NAMES,
                         use_test=use_test)
            s = HistogramSlicing(slice_features=features, min_samples=20)
            t_gather = best_of(lambda: x[fit_rows], repeat)
            t_kernel = best_of(lambda: s.fit(**split), repeat)
            tag = f"{len(features)} feature(s), use_test={use_test}"
            print(f"  {tag}: fit {t_fit * 1e3:.1f} ms, transcription {t_base * 1e3:.1f} ms, "
                  f"gather + HistogramSlicing.fit {(t_gather + t_kernel) * 1e3:.1f} ms, "
                  f"identical table: {same}")
            line("transcription / FrailZone.fit", f"{t_base / t_fit:.1f}x", ">= 10x")
            line("FrailZone.fit / (gather + HistogramSlicing.fit)",
                 f"{t_fit / (t_gather + t_kernel):.2f}", "<= 1.5")


def getter_figures(n, repeat):
    from orrin.diagnoser.frailzone import FrailZone

    x, y, pred, tr, te = make_data(n)
    print(f"\n== getters at {n:.0e} rows (two slicing features, use_test=True)")
    f = FrailZone(None, ["x0", "x1"], task_type="regression", use_test=True)
    f.fit(x, y, tr, te, prediction=pred, feature_names=NAMES)
    for name, ours, theirs in (
            ("get_target_idx", f.get_target_idx, lambda: baseline_target_idx(f)),
            ("get_distance", f.get_distance, lambda: baseline_distance(f)),
            ("get_shift", f.get_shift, lambda: baseline_shift(f)),
            ("get_marginal", f.get_marginal, lambda: baseline_marginal(f))):
        t_ours = best_of(ours, repeat)
        t_base = best_of(theirs, repeat)
        line(f"{name}: transcription {t_base * 1e3:.2f} ms / ours {t_ours * 1e3:.2f} ms",
             f"{t_base / t_ours:.1f}x", ">= 5x")


SETUP = r"""
import sys, numpy as np
sys.path.insert(0, {here!r})
from bench_frailzone_fit import make_data, NAMES
from orrin.diagnoser.frailzone import FrailZone
x, y, pred, tr, te = make_data({n})
f = FrailZone(None, {features!r}, task_type="regression", method={method!r})
"""
FIT = "f.fit(x, y, tr, te, prediction=pred, feature_names=NAMES)"


def rss_mb():
    with open("/proc/self/status") as status:
        for row in status:
            if row.startswith("VmRSS:"):
                return int(row.split()[1]) / 1024.0
    return 0.0


def scale_figures(sizes):
    print("\n== first call in a fresh process (histogram)")
    first = {}
    for features in (["x0"], ["x0", "x1"]):
        for n in sizes:
            r = fresh_process(SETUP.format(here=HERE, n=n, features=features,
                                           method="histogram"), FIT)
            first[(len(features), n)] = r["seconds"]
            input_mb = n * 7 * 8 / 2**20  # x, y, pred
            print(f"  {len(features)} feature(s), {n:.0e} rows: {r['seconds'] * 1e3:8.1f} ms "
                  f"({n / r['seconds'] / 1e6:5.1f} M rows/s), peak RSS {r['peak_rss_mb']:.0f} MiB"
                  f", above the input set-up {r['peak_rss_mb'] - r['setup_rss_mb']:.0f} MiB"
                  f" (input {input_mb:.0f} MiB: ratio "
                  f"{(r['peak_rss_mb'] - r['setup_rss_mb']) / input_mb:.2f}, target <= 1.5)")
        lo, hi = min(sizes), max(sizes)
        if hi == 10 * lo or hi == 100 * lo:
            line(f"{len(features)} feature(s): first call {hi:.0e} / {lo:.0e}",
                 f"{first[(len(features), hi)] / first[(len(features), lo)]:.1f}",
                 f"<= {12 * hi // lo // 10}")


def memory_figures(n):
    import orrin
    from orrin.diagnoser.frailzone import FrailZone

    print(f"\n== resident memory around fits at {n:.0e} rows (two features)")
    x, y, pred, tr, te = make_data(n)
    base = rss_mb()
    f = FrailZone(None, ["x0", "x1"], task_type="regression")
    f.fit(x, y, tr, te, prediction=pred, feature_names=NAMES)
    kept = f.diag.x.nbytes / 2**20
    print(f"  after the data: {base:.0f} MiB; the fit keeps its training matrix "
          f"({kept:.0f} MiB) and scores")
    print(f"  after a fit: {rss_mb():.0f} MiB, cached blocks "
          f"{orrin.memory.cached_bytes() / 2**20:.0f} MiB (limit "
          f"{orrin.memory.memory_limit() / 2**20:.0f} MiB per module)")
    f.fit(x, y, tr, te, prediction=pred, feature_names=NAMES)
    print(f"  after a second fit: {rss_mb():.0f} MiB")
    released = orrin.release_memory()
    print(f"  after orrin.release_memory() ({released / 2**20:.0f} MiB handed back): "
          f"{rss_mb():.0f} MiB")


def tree_figures(n, repeat):
    from sklearn.tree import DecisionTreeRegressor

    from orrin.diagnoser.frailzone import FrailZone

    x, y, pred, tr, te = make_data(n)
    print(f"\n== tree method at {n:.0e} rows")
    for features, fidx in ((["x0"], [0]), (["x0", "x1"], [0, 1])):
        f = FrailZone(None, features, task_type="regression", method="tree")
        t_fit = best_of(lambda: f.fit(x, y, tr, te, prediction=pred, feature_names=NAMES), repeat)
        scores = (y[tr] - pred[tr]) ** 2
        cols = x[tr][:, fidx]
        t_tree = best_of(lambda: DecisionTreeRegressor(max_depth=2, min_samples_leaf=20)
                         .fit(cols, scores), repeat)
        line(f"{len(features)} feature(s): fit {t_fit * 1e3:.0f} ms / tree alone "
             f"{t_tree * 1e3:.0f} ms", f"{t_fit / t_tree:.2f}", "<= 1.2")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="1e5/1e6 rows, fewer repeats")
    args = parser.parse_args()
    repeat = 3 if args.quick else 5
    big = 10**6 if args.quick else 10**7
    fit_figures(10**6, repeat)
    if not args.quick:
        fit_figures(big, 2)
    getter_figures(10**6, repeat)
    tree_figures(10**6, 3)
    scale_figures([10**5, 10**6] if args.quick else [10**6, 10**7])
    memory_figures(big)


if __name__ == "__main__":
    main()
