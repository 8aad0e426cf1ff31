"""Time of FrailZone.plot_marginal spent outside matplotlib.

Usage: python benchmarks/bench_plot_marginal.py [ROWS ...]   (default: 1e5 1e6)

For each row count, a two-feature record with 20 weak regions is drawn with grid=1000. The
call is timed as is, and again with the module's matplotlib entry points (`plt`,
`LinearSegmentedColormap`) replaced by a stub that accepts every call and does nothing: that
second time is the work outside matplotlib (record reading, validation, histogram panels,
region map). Both are timed in the same run; the share is stub time / full time.

Under the Agg backend `show()` renders nothing, so the full time holds only building the
figure and its tight layout. The last columns add one rendering of the canvas (what `show()`
does on an interactive backend and what `savefig` does) for comparison.
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import best_of  # noqa: E402
from orrin.diagnoser import frailzone as fz  # noqa: E402
from orrin.utils import TestDataResult  # noqa: E402


class _Stub:
    """Stands in for any matplotlib object: every attribute, call and item is itself."""

    colors = [(0.0, 0.0, 0.0)] * 8

    def __getattr__(self, name):
        return self

    def __call__(self, *args, **kwargs):
        return self

    def __getitem__(self, key):
        return self


def make_record(rows, seed=0):
    rng = np.random.default_rng(seed)
    x = np.column_stack([rng.uniform(0, 10, rows), rng.normal(size=rows), rng.normal(size=rows)])
    regions = []
    for i in range(20):
        lb1 = float(i % 10)
        lb2 = -2.0 + (i // 10) * 2.0
        regions.append({"lb1": lb1, "ub1": lb1 + 1.0, "lb2": lb2, "ub2": lb2 + 1.5,
                        "test_MSE": 1.0, "train_MSE": 0.9})
    value = {
        "slice_features": ["a", "c"], "bins": 10, "method": "histogram", "min_samples": 20,
        "metric": None, "weak_region_stats": regions, "fidx": [0, 2], "rule_list": [],
        "x": x, "y": np.zeros(rows), "threshold_value": 0.8, "score_name": "MSE", "_sign": -1,
        "scores": rng.random(rows), "use_test": True, "is_metric_additive": True,
        "feature_names": ["a", "b", "c"],
    }
    return TestDataResult(key="frailzone_plot", value=value)


def main(row_counts):
    draw = fz.FrailZone.plot_marginal
    print(f"{'rows':>10} {'full s':>9} {'outside s':>10} {'outside %':>10} "
          f"{'rendered s':>11} {'outside %':>10}")
    for rows in row_counts:
        rec = make_record(rows)

        def full():
            draw(rec, grid=1000)
            plt.close("all")

        real = (fz.plt, fz.LinearSegmentedColormap)

        def outside():
            fz.plt, fz.LinearSegmentedColormap = _Stub(), _Stub()
            try:
                draw(rec, grid=1000)
            finally:
                fz.plt, fz.LinearSegmentedColormap = real

        def rendered():
            draw(rec, grid=1000).canvas.draw()
            plt.close("all")

        full()  # warm up fonts and caches
        t_full = best_of(full, repeat=3)
        t_out = best_of(outside, repeat=3)
        t_rend = best_of(rendered, repeat=3)
        print(f"{rows:>10.0e} {t_full:>9.3f} {t_out:>10.4f} {100 * t_out / t_full:>9.1f}% "
              f"{t_rend:>11.3f} {100 * t_out / t_rend:>9.1f}%")


if __name__ == "__main__":
    counts = [int(float(a)) for a in sys.argv[1:]] or [100_000, 1_000_000]
    main(counts)
