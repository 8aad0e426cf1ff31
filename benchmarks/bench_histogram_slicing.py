"""Histogram slicing: speed against a direct numpy transcription, scaling, peak memory.

Data: three standard-normal features, a target with a weak region in x0 and x1, MSE. "n rows"
means n test rows (the set the strategy is fitted on, `use_test=True`) plus n training rows.

Figures printed:
- at 1e6 rows, one and two slicing features: `HistogramSlicing.fit` (the whole fit with
  re-scoring of the regions on both sets) against the baseline fit (a numpy transcription of
  the same steps: per-sample scores, the pass with one boolean mask per bin, every weak region
  re-scored on both sets with one boolean mask per region and set, the gap sort and the
  table), and whether the tables are identical; the pass `_fit` alone against the baseline
  pass, and whether the weak regions and rule lists are identical;
- `fit` with bins=100 against bins=10 at 1e6 rows;
- `fit` at 1e7 rows against 1e6, steady state in one process (wall and CPU time);
- rows/s and peak resident memory of a fresh process at 1e5, 1e6 and 1e7 rows, and the
  1e7 / 1e6 ratio of those first calls, which also pay for the kernel backing fresh memory.

Usage: PYTHONPATH=src python benchmarks/bench_histogram_slicing.py [--quick]
"""

import argparse
import os
import sys

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "diagnoser"))

from harness import best_cpu, best_of, fresh_process  # noqa: E402
from histogram_reference import ReferenceSlicing  # noqa: E402

NAMES = ["x0", "x1", "x2"]

SETUP = r"""
import sys
sys.path.insert(0, {here!r})
from bench_histogram_slicing import make_data, fit_kwargs
from orrin.diagnoser.frailzone import HistogramSlicing
data = make_data({n})
s = HistogramSlicing(slice_features={features!r}, bins={bins})
kw = fit_kwargs(data)
"""


def make_data(n, seed=0):
    rng = np.random.default_rng(seed)

    def one_set():
        x = rng.normal(size=(n, 3))
        noise = 1.0 + 2.0 * ((x[:, 0] > 1.0) & (x[:, 1] < 0.0))
        y = x[:, 0] + x[:, 1] + rng.normal(size=n) * noise
        return x, y, x[:, 0] + x[:, 1]

    return one_set(), one_set()


def fit_kwargs(data):
    (test_x, test_y, test_p), (train_x, train_y, train_p) = data
    return dict(train_x=train_x, train_y=train_y, test_x=test_x, test_y=test_y,
                train_pred=train_p, test_pred=test_p, feature_names=NAMES)


def baseline_pass(data, fidx, bins, threshold=1.2, min_samples=30):
    """The numpy transcription of the pass on the fitting (test) set."""
    x, y, p = data[0]
    scores = (y - p) ** 2
    ref = ReferenceSlicing(fidx, threshold * np.average(scores), min_samples=min_samples,
                           bins=bins)
    if len(fidx) == 1:
        return ref._fit1d(x[:, fidx[0]], y, p, scores)
    return ref._fit2d(x[:, fidx], y, p, scores)


def baseline_fit(data, fidx, bins, threshold=1.2, min_samples=30):
    """The numpy transcription of the whole fit: the pass on the test set, then every weak
    region re-scored on both sets with one boolean mask per region and set, the gap sort and
    the table. Returns the table (None without weak regions)."""
    (test_x, test_y, test_p), (train_x, train_y, train_p) = data
    weak, _, _ = baseline_pass(data, fidx, bins, threshold, min_samples)
    if not weak:
        return None
    two = len(fidx) == 2
    test_max = test_x[:, fidx[0]].max()
    rows = []
    for region in weak:
        row = dict(region)
        scored = {}
        for name, x, y, p in (("train", train_x, train_y, train_p),
                              ("test", test_x, test_y, test_p)):
            c0 = x[:, fidx[0]]
            lb1, ub1 = region["lb1"], region["ub1"]
            mask = (c0 >= lb1) & ((c0 <= ub1) if ub1 == test_max else (c0 < ub1))
            if two:
                c1 = x[:, fidx[1]]
                inside = c1[mask]
                closed = len(inside) > 0 and inside.max() == region["ub2"]
                upper = (c1 <= region["ub2"]) if closed else (c1 < region["ub2"])
                mask = mask & (c1 >= region["lb2"]) & upper
            idx = np.where(mask)[0]
            if len(idx) == 0:
                scored[name] = (0, [], np.nan)
            else:
                every = (y[idx] - p[idx]) ** 2
                scored[name] = (len(idx), every, np.average(every))
        row["#Train"] = scored["train"][0]
        row["#Test"] = scored["test"][0]
        row["train_MSE All"] = scored["train"][1]
        row["train_MSE"] = scored["train"][2]
        row["test_MSE All"] = scored["test"][1]
        row["test_MSE"] = scored["test"][2]
        row["Gap"] = row["test_MSE"] - row["train_MSE"]
        rows.append(row)
    gaps = np.array([r["Gap"] for r in rows])
    order = sorted(range(len(rows)), key=lambda i: (np.isnan(gaps[i]), -np.nan_to_num(gaps[i])))
    table = pd.DataFrame([rows[i] for i in order])
    cols = ["lb1", "ub1"] + (["lb2", "ub2"] if two else [])
    cols += ["#Test", "#Train", "test_MSE", "train_MSE", "Gap"]
    names = [NAMES[i] for i in fidx]
    rename = {"lb1": "[" + names[0], "ub1": names[0] + ")"}
    if two:
        rename.update({"lb2": "[" + names[1], "ub2": names[1] + ")"})
    return table.loc[:, cols].rename(columns=rename)


def identical(a, b):
    if isinstance(a, dict):
        return list(a) == list(b) and all(identical(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(identical(u, v) for u, v in zip(a, b))
    if isinstance(a, float) and a != a:
        return b != b
    return a == b


def compare_at(n, repeat):
    from orrin.diagnoser.frailzone import HistogramSlicing

    data = make_data(n)
    x, y, p = data[0]
    scores = (y - p) ** 2
    for features, fidx in ((["x0"], [0]), (["x0", "x1"], [0, 1])):
        s = HistogramSlicing(slice_features=features, bins=10)
        kw = fit_kwargs(data)
        t_fit = best_of(lambda: s.fit(**kw), repeat)
        table = s.fit(**kw)
        t_pass = best_of(lambda: s._fit(x, y, p, scores), repeat)
        t_base = best_of(lambda: baseline_pass(data, fidx, 10), max(1, repeat // 2))
        t_base_fit = best_of(lambda: baseline_fit(data, fidx, 10), max(1, repeat // 2))
        weak, rules, _ = baseline_pass(data, fidx, 10)
        same = identical(s.weak_region, weak) and identical(s.rule_list, rules)
        base_table = baseline_fit(data, fidx, 10)
        same_table = (table is None and base_table is None) or (
            table is not None and base_table is not None and table.equals(base_table)
            and list(table.columns) == list(base_table.columns))
        print(f"{len(features)} feature(s), {n:.0e} rows: fit {t_fit * 1e3:8.1f} ms, "
              f"baseline fit {t_base_fit * 1e3:8.1f} ms, ratio {t_base_fit / t_fit:5.1f}x, "
              f"identical tables: {same_table}; _fit {t_pass * 1e3:8.1f} ms, "
              f"baseline pass {t_base * 1e3:8.1f} ms, ratio {t_base / t_pass:5.1f}x, "
              f"baseline pass/fit {t_base / t_fit:5.1f}x; {len(weak)} weak regions, "
              f"identical pass: {same}")


def bins_ratio(n, repeat):
    from orrin.diagnoser.frailzone import HistogramSlicing

    data = make_data(n)
    kw = fit_kwargs(data)
    x, y, p = data[0]
    scores = (y - p) ** 2
    for features in (["x0"], ["x0", "x1"]):
        fit_t, pass_t = {}, {}
        for bins in (10, 100):
            s = HistogramSlicing(slice_features=features, bins=bins)
            fit_t[bins] = best_of(lambda: s.fit(**kw), repeat)
            pass_t[bins] = best_of(lambda: s._fit(x, y, p, scores), repeat)
        print(f"{len(features)} feature(s), {n:.0e} rows: fit bins=10 {fit_t[10] * 1e3:.1f} ms, "
              f"bins=100 {fit_t[100] * 1e3:.1f} ms, ratio {fit_t[100] / fit_t[10]:.2f}; "
              f"_fit bins=10 {pass_t[10] * 1e3:.1f} ms, bins=100 {pass_t[100] * 1e3:.1f} ms, "
              f"ratio {pass_t[100] / pass_t[10]:.2f}")


def scaling(sizes, repeat=3):
    """Steady-state fit time at each size in this process (best of `repeat`, wall and CPU):
    the linearity figure. A first call in a fresh process also pays for the kernel backing
    fresh memory, which grows faster than the rows do (see `fresh`)."""
    from orrin.diagnoser.frailzone import HistogramSlicing

    results = {}
    for n in sizes:
        kw = fit_kwargs(make_data(n))
        for features in (["x0"], ["x0", "x1"]):
            s = HistogramSlicing(slice_features=features, bins=10)
            s.fit(**kw)
            wall = best_of(lambda: s.fit(**kw), repeat)
            cpu = best_cpu(lambda: s.fit(**kw), repeat)
            results[(len(features), n)] = (wall, cpu)
            print(f"{len(features)} feature(s), {n:.0e} rows: fit {wall * 1e3:9.1f} ms wall "
                  f"{cpu * 1e3:9.1f} ms cpu, {n / wall:12.0f} rows/s")
        del kw
    return results


def fresh(sizes):
    results = {}
    for features in (["x0"], ["x0", "x1"]):
        for n in sizes:
            setup = SETUP.format(here=HERE, n=n, features=features, bins=10)
            r = fresh_process(setup, "s.fit(**kw)")
            results[(len(features), n)] = r["seconds"]
            print(f"{len(features)} feature(s), {n:.0e} rows: fit {r['seconds'] * 1e3:9.1f} ms, "
                  f"{n / r['seconds']:12.0f} rows/s, peak RSS {r['peak_rss_mb']:7.1f} MiB "
                  f"(after data setup {r['setup_rss_mb']:7.1f} MiB)")
    return results


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    args = parser.parse_args()
    big = 10 ** 4 if args.quick else 10 ** 6
    sizes = [10 ** 3, 10 ** 4] if args.quick else [10 ** 5, 10 ** 6, 10 ** 7]
    print("== against the numpy transcription ==")
    compare_at(big, 5)
    print("== bins=100 against bins=10 ==")
    bins_ratio(big, 5)
    print("== steady state in this process ==")
    steady = scaling(sizes[-2:])
    for f in (1, 2):
        wall = steady[(f, sizes[-1])][0] / steady[(f, sizes[-2])][0]
        cpu = steady[(f, sizes[-1])][1] / steady[(f, sizes[-2])][1]
        print(f"{f} feature(s): time {sizes[-1]:.0e} / {sizes[-2]:.0e} rows = {wall:.1f} wall, "
              f"{cpu:.1f} cpu")
    print("== fresh process (first call) ==")
    results = fresh(sizes)
    for f in (1, 2):
        print(f"{f} feature(s): time {sizes[-1]:.0e} / {sizes[-2]:.0e} rows = "
              f"{results[(f, sizes[-1])] / results[(f, sizes[-2])]:.1f}")


if __name__ == "__main__":
    main()
