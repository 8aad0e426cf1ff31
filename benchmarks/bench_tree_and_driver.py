"""Tree slicing against the tree fit alone, and linearity of the fit driver's re-scoring and
of `get_target_idx`.

Usage: PYTHONPATH=src python3 benchmarks/bench_tree_and_driver.py [--rows 1e5,1e6,1e7]
Prints figures; asserts nothing.
"""

import argparse
import sys
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np
from sklearn.tree import DecisionTreeRegressor

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import best_cpu, best_of, fresh_process  # noqa: E402

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

    t_tree = best_cpu(tree_alone, repeat)
    t_hook = best_cpu(slicing_fit_hook, repeat)
    t_full = best_cpu(slicing_full, repeat)
    print(f"tree   n={n:>9,d}  cpu: DecisionTreeRegressor.fit {t_tree:8.3f}s  TreeSlicing._fit "
          f"{t_hook:8.3f}s ({t_hook / t_tree:5.2f}x)  TreeSlicing.fit incl. re-scoring "
          f"{t_full:8.3f}s ({t_full / t_tree:5.2f}x)")


def driver_time(n, regions, columns, repeat):
    x, y, p = data(n)
    s = FixedRegions(slice_features=None)
    s.regions, s.columns = regions, columns
    def run():
        s.fit(x, y, x, y, p, p, feature_names=["a", "b", "c"])

    return best_of(run, repeat), best_cpu(run, repeat)


def target_time(n, regions, columns, repeat):
    x, _, _ = data(n)
    f = fz.FrailZone(None, ["a"])
    stats = [dict(r) for r in regions]
    f.diag = SimpleNamespace(weak_region_stats=stats, x=x, fidx=columns)
    return best_of(f.get_target_idx, repeat), best_cpu(f.get_target_idx, repeat)


MEMORY_SETUP = """
import sys
sys.path.insert(0, {here!r})
from bench_tree_and_driver import FixedRegions, data, ONE
from types import SimpleNamespace
from orrin.diagnoser import frailzone as fz
x, y, p = data({n})
s = FixedRegions(slice_features=None)
s.regions, s.columns = ONE, [0]
f = fz.FrailZone(None, ["a"])
f.diag = SimpleNamespace(weak_region_stats=[dict(r) for r in ONE], x=x, fidx=[0])
"""


def memory(n):
    setup = MEMORY_SETUP.format(here=str(Path(__file__).resolve().parent), n=n)
    for label, stmt in (("driver re-scoring", 's.fit(x, y, x, y, p, p, feature_names=["a", "b", "c"])'),
                        ("get_target_idx", "f.get_target_idx()")):
        r = fresh_process(setup, stmt)
        print(f"memory n={n:>11,d}  {label:17s} peak RSS {r['peak_rss_mb']:8.1f} MB "
              f"(data and imports {r['setup_rss_mb']:8.1f} MB)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", default="1e5,1e6,1e7")
    parser.add_argument("--memory", action="store_true", help="peak memory in fresh processes")
    args = parser.parse_args()
    sizes = [int(float(v)) for v in args.rows.split(",")]
    if args.memory:
        # Before any large array exists here: a child process starts with its parent's peak.
        for n in sizes:
            memory(n)
    for n in sizes:
        if n <= 1_000_000:
            tree_ratio(n, 3)
    for label, regions, columns in (("one feature", ONE, [0]), ("two features", TWO, [0, 1])):
        prev = None
        for n in sizes:
            repeat = 3
            t_drv = driver_time(n, regions, columns, repeat)
            t_idx = target_time(n, regions, columns, repeat)
            line = (f"{label:12s} n={n:>11,d}  driver re-scoring {t_drv[0]:7.3f}s wall "
                    f"{t_drv[1]:7.3f}s cpu  get_target_idx {t_idx[0]:7.4f}s wall "
                    f"{t_idx[1]:7.4f}s cpu ({n / t_idx[0] / 1e6:5.1f} M rows/s)")
            if prev is not None:
                line += (f"  x{n // prev[0]} rows: driver {t_drv[0] / prev[1][0]:5.1f}x wall "
                         f"{t_drv[1] / prev[1][1]:5.1f}x cpu, target {t_idx[0] / prev[2][0]:5.1f}x "
                         f"wall {t_idx[1] / prev[2][1]:5.1f}x cpu")
            print(line)
            prev = (n, t_drv, t_idx)


if __name__ == "__main__":
    main()
