"""Time of FrailZone.plot_marginal spent outside matplotlib.

Usage: python benchmarks/bench_plot_marginal.py [ROWS ...]   (default: 1e5 1e6)

For each row count, a two-feature record with 20 weak regions is drawn with grid=1000. The
call is timed as is, and again with the module's matplotlib entry points (`plt`,
`LinearSegmentedColormap`) replaced by a stub that accepts every call and does nothing: that
second time is the work outside matplotlib (record reading, validation, histogram panels,
region map, the arrays handed over). Only the call itself is timed (closing the figure is
not), and the two runs alternate, so that both find the caches as a drawing leaves them; the
share is stub time / full time, each the best of five. "warm s" is the stubbed call repeated
back to back (the rows still in the caches), for comparison.

The stub's own cost is bounded by the "fixed" column: the stubbed call on a 10-row record
with grid=2, where our work is negligible. It is not subtracted.

Under the Agg backend `show()` renders nothing, so the full time holds only building the
figure and its tight layout. The last columns add one rendering of the canvas (what `show()`
does on an interactive backend and what `savefig` does) for comparison.
"""

import sys
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

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


def timed(func):
    t0 = time.perf_counter()
    out = func()
    return time.perf_counter() - t0, out


def main(row_counts, repeat=5):
    draw = fz.FrailZone.plot_marginal
    real = (fz.plt, fz.LinearSegmentedColormap)

    def stubbed(rec, grid):
        fz.plt, fz.LinearSegmentedColormap = _Stub(), _Stub()
        try:
            return draw(rec, grid=grid)
        finally:
            fz.plt, fz.LinearSegmentedColormap = real

    small = make_record(10)
    stubbed(small, 2)
    t_fixed = min(timed(lambda: stubbed(small, 2))[0] for _ in range(20))
    print(f"fixed (stubbed call, 10 rows, grid=2): {t_fixed * 1e3:.3f} ms")
    print(f"{'rows':>10} {'full s':>9} {'outside s':>10} {'outside %':>10} {'warm s':>8} "
          f"{'rendered s':>11} {'outside %':>10}")
    for rows in row_counts:
        rec = make_record(rows)
        draw(rec, grid=1000)  # warm up fonts and caches
        plt.close("all")
        t_full = t_out = t_rend = float("inf")
        for _ in range(repeat):
            t, _fig = timed(lambda: draw(rec, grid=1000))
            plt.close("all")
            t_full = min(t_full, t)
            t_out = min(t_out, timed(lambda: stubbed(rec, 1000))[0])
        t_warm = min(timed(lambda: stubbed(rec, 1000))[0] for _ in range(repeat))
        for _ in range(repeat):
            t, _fig = timed(lambda: draw(rec, grid=1000).canvas.draw())
            plt.close("all")
            t_rend = min(t_rend, t)
        print(f"{rows:>10.0e} {t_full:>9.3f} {t_out:>10.4f} {100 * t_out / t_full:>9.1f}% "
              f"{t_warm:>8.4f} {t_rend:>11.3f} {100 * t_out / t_rend:>9.1f}%")


if __name__ == "__main__":
    counts = [int(float(a)) for a in sys.argv[1:]] or [100_000, 1_000_000]
    main(counts)
