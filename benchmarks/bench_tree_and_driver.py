"""Tree slicing against the tree fit alone, and linearity of the fit driver's re-scoring and
of `get_target_idx`.

Usage: PYTHONPATH=src python3 benchmarks/bench_tree_and_driver.py [--rows 1e5,1e6,1e7]
Prints figures; asserts nothing.
"""

import argparse
import sys
from pathlib import Path
from types import SimpleNamespace

import numpy as np
from sklearn.tree import DecisionTreeRegressor

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import best_of  # noqa: E402

from orrin.diagnoser import frailzone as fz  # noqa: E402


def data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.random((n, 3))
    y = rng.random(n)
    p = y + np.where(x[:, 0] > 0.7, rng.normal(size=n), 0.0)
    return x, y, p


class FixedRegions(fz.BaseSlicing):
    """Strategy with fixed weak regions, so that only the driver's own work is timed."""

    regions = []
    columns = [0]

    def _fit(self, x, y, preds, scores, sample_weight=None):
        self.x = x
        self.fidx = self.columns
        self.threshold_value = 0.0
        self.weak_region = [dict(r) for r in self.regions]


ONE = [{"lb1": 0.0, "ub1": 0.25}, {"lb1": 0.25, "ub1": 0.7}, {"lb1": 0.7, "ub1": 0.9},
       {"lb1": 0.9, "ub1": 1.0}]
TWO = [dict(r, lb2=0.1, ub2=0.8) for r in ONE]


def tree_ratio(n, repeat):
    x, y, p = data(n)
    scores = (y - p) ** 2
    names = ["a", "b", "c"]

    def tree_alone():
        DecisionTreeRegressor(max_depth=2, min_samples_leaf=30).fit(x[:, [0]], scores)

    def slicing_fit_hook():
        t = fz.TreeSlicing(slice_features=["a"])
        t.feature_names = names
        t._fit(x, y, p, scores)

    def slicing_full():
        fz.TreeSlicing(slice_features=["a"]).fit(x, y, x, y, p, p, feature_names=names)

    t_tree = best_of(tree_alone, repeat)
    t_hook = best_of(slicing_fit_hook, repeat)
    t_full = best_of(slicing_full, repeat)
    print(f"tree   n={n:>9,d}  DecisionTreeRegressor.fit {t_tree:8.3f}s  TreeSlicing._fit "
          f"{t_hook:8.3f}s ({t_hook / t_tree:5.2f}x)  TreeSlicing.fit incl. re-scoring "
          f"{t_full:8.3f}s ({t_full / t_tree:5.2f}x)")


def driver_time(n, regions, columns, repeat):
    x, y, p = data(n)
    s = FixedRegions(slice_features=None)
    s.regions, s.columns = regions, columns
    return best_of(lambda: s.fit(x, y, x, y, p, p, feature_names=["a", "b", "c"]), repeat)


def target_time(n, regions, columns, repeat):
    x, _, _ = data(n)
    f = fz.FrailZone(None, ["a"])
    stats = [dict(r) for r in regions]
    f.diag = SimpleNamespace(weak_region_stats=stats, x=x, fidx=columns)
    return best_of(f.get_target_idx, repeat)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", default="1e5,1e6,1e7")
    args = parser.parse_args()
    sizes = [int(float(v)) for v in args.rows.split(",")]
    for n in sizes:
        if n <= 1_000_000:
            tree_ratio(n, 3)
    for label, regions, columns in (("one feature", ONE, [0]), ("two features", TWO, [0, 1])):
        prev = None
        for n in sizes:
            repeat = 3 if n <= 1_000_000 else 1
            t_drv = driver_time(n, regions, columns, repeat)
            t_idx = target_time(n, regions, columns, repeat)
            line = (f"{label:12s} n={n:>11,d}  driver re-scoring {t_drv:8.3f}s "
                    f"({n / t_drv / 1e6:6.1f} M rows/s)  get_target_idx {t_idx:8.4f}s "
                    f"({n / t_idx / 1e6:6.1f} M rows/s)")
            if prev is not None:
                line += f"  x{n // prev[0]} rows: {t_drv / prev[1]:5.1f}x, {t_idx / prev[2]:5.1f}x"
            print(line)
            prev = (n, t_drv, t_idx)


if __name__ == "__main__":
    main()
