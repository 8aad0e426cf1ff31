"""Histogram slicing: speed against a direct numpy transcription, scaling, peak memory.

Data: three standard-normal features, a target with a weak region in x0 and x1, MSE. "n rows"
means n test rows (the set the strategy is fitted on, `use_test=True`) plus n training rows.

Figures printed:
- at 1e6 rows, one and two slicing features: `HistogramSlicing.fit` (the whole fit with
  re-scoring of the regions on both sets), its pass `_fit` alone, and the baseline (the numpy
  transcription of the same pass, one boolean mask per bin) run on the same data in this
  process; and whether the weak regions and rule lists are identical;
- `fit` with bins=100 against bins=10 at 1e6 rows;
- `fit` at 1e7 rows against 1e6;
- rows/s and peak resident memory of a fresh process at 1e5, 1e6 and 1e7 rows.

Usage: PYTHONPATH=src python benchmarks/bench_histogram_slicing.py [--quick]
"""

import argparse
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "diagnoser"))

from harness import best_of, fresh_process  # noqa: E402
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


def baseline(data, fidx, bins, threshold=1.2, min_samples=30):
    """The numpy transcription of the pass on the fitting (test) set."""
    x, y, p = data[0]
    scores = (y - p) ** 2
    ref = ReferenceSlicing(fidx, threshold * np.average(scores), min_samples=min_samples,
                           bins=bins)
    if len(fidx) == 1:
        return ref._fit1d(x[:, fidx[0]], y, p, scores)
    return ref._fit2d(x[:, fidx], y, p, scores)


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
        t_pass = best_of(lambda: s._fit(x, y, p, scores), repeat)
        t_base = best_of(lambda: baseline(data, fidx, 10), max(1, repeat // 2))
        weak, rules, _ = baseline(data, fidx, 10)
        same = identical(s.weak_region, weak) and identical(s.rule_list, rules)
        print(f"{len(features)} feature(s), {n:.0e} rows: fit {t_fit * 1e3:8.1f} ms, "
              f"_fit {t_pass * 1e3:8.1f} ms, baseline {t_base * 1e3:8.1f} ms; "
              f"baseline/fit {t_base / t_fit:5.1f}x, baseline/_fit {t_base / t_pass:5.1f}x; "
              f"{len(weak)} weak regions, identical: {same}")


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
    print("== fresh process ==")
    results = fresh(sizes)
    for f in (1, 2):
        print(f"{f} feature(s): time {sizes[-1]:.0e} / {sizes[-2]:.0e} rows = "
              f"{results[(f, sizes[-1])] / results[(f, sizes[-2])]:.1f}")


if __name__ == "__main__":
    main()
