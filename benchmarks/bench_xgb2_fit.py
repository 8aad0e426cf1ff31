"""Fit time of the depth-2 estimators against a bare xgboost estimator with the same parameters.

Usage: PYTHONPATH=src python3 benchmarks/bench_xgb2_fit.py [rows] [features] [repeat] [threads]
Both fits run alternately in this process; the best of `repeat` runs of each is reported.
`threads` sets xgboost's global thread count (default: xgboost's own choice); one thread
gives steadier figures on a busy machine.
Then each regressor fit runs once in a fresh process for its peak memory.
"""

import os
import sys
import time

import numpy as np
import xgboost

from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor


def best_alternating(first, second, repeat):
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, func in enumerate((first, second)):
            t0 = time.perf_counter()
            func()
            best[i] = min(best[i], time.perf_counter() - t0)
    return best


SETUP = """
import numpy as np, xgboost
from orrin.models.xgb2.xgboost import XGB2Regressor
rng = np.random.default_rng(0)
X = rng.normal(size=({rows}, {features}))
y = X[:, 0] + X[:, 1] * X[:, 2] + np.sin(X[:, 3]) + 0.1 * rng.normal(size={rows})
params = XGB2Regressor().fit(X[:1000], y[:1000]).xgb_params_
"""


def report_memory(rows, features):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from harness import fresh_process

    setup = SETUP.format(rows=rows, features=features)
    for label, stmt in (("XGB2Regressor", "XGB2Regressor().fit(X, y)"),
                        ("bare XGBRegressor", "xgboost.XGBRegressor(**params).fit(X, y)")):
        result = fresh_process(setup, stmt)
        print(f"{label}: rows={rows} fresh-process fit {result['seconds']:.3f} s, peak RSS "
              f"{result['peak_rss_mb']:.0f} MB (after data {result['setup_rss_mb']:.0f} MB)")


def main():
    rows = int(float(sys.argv[1])) if len(sys.argv) > 1 else 100_000
    features = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    repeat = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    if len(sys.argv) > 4:
        xgboost.set_config(nthread=int(sys.argv[4]))
    rng = np.random.default_rng(0)
    X = rng.normal(size=(rows, features))
    y = X[:, 0] + X[:, 1] * X[:, 2] + np.sin(X[:, 3]) + 0.1 * rng.normal(size=rows)
    labels = (y > 0).astype(int)

    for face, library, target in ((XGB2Regressor, xgboost.XGBRegressor, y),
                                  (XGB2Classifier, xgboost.XGBClassifier, labels)):
        params = face().fit(X[:1000], target[:1000]).xgb_params_
        ours, bare = best_alternating(lambda: face().fit(X, target),
                                      lambda: library(**params).fit(X, target), repeat)
        print(f"{face.__name__}: rows={rows} features={features} fit {ours:.3f} s, "
              f"bare {library.__name__} {bare:.3f} s, ratio {ours / bare:.3f}, "
              f"{rows / ours:,.0f} rows/s")
    report_memory(rows, features)


if __name__ == "__main__":
    main()
