"""Speed of the depth-2 effect decomposition and of the tree functions.

1. Parse plus evaluate: `XGBInterpreter(model).fit(X)` and every stored effect evaluated on
   the rows of X, against the booster's own per-row interaction contributions
   (`predict(DMatrix(X), pred_interactions=True)`) on the same rows. Those cost the same for
   every row, so by default they are timed on `--sample` rows and scaled to all rows (the
   figure says so); `--full` times them on every row.
2. Evaluation of one main effect on `--eval-rows` rows against `np.searchsorted` on the same
   column (a strided column of a C-ordered matrix, and a contiguous one).

Usage: python benchmarks/bench_effects.py [--rows 1000000] [--trees 100 1000]
       [--eval-rows 10000000] [--sample 20000] [--full]
"""

import argparse
import os
import sys
import time

import numpy as np
import xgboost as xgb

sys.path.insert(0, os.path.dirname(__file__))
from harness import best_of  # noqa: E402

from orrin.models.utils import predict_1D_func_tree, predict_2D_func_tree  # noqa: E402
from orrin.models.xgb2.interpret import XGBInterpreter  # noqa: E402


def data(rows, features, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, features))
    y = X[:, 0] + X[:, 1] * X[:, 2] + np.sin(X[:, 3]) * X[:, 4] + 0.1 * rng.normal(size=rows)
    return X, y


def parse_and_evaluate(model, X):
    interp = XGBInterpreter(model).fit(X)
    for item in interp.effects_["1D"].values():
        predict_1D_func_tree(item["fidx"], item["split_unique_list"][0], item["values"],
                             True)(X)
    for item in interp.effects_["2D"].values():
        predict_2D_func_tree(item["fidx"], item["split_unique_list"][0],
                             item["split_unique_list"][1], item["values"], True)(X)
    return interp


def bench_parse(rows, trees, sample, full, features=10):
    X, y = data(rows, features)
    train = min(rows, 100_000)
    model = xgb.XGBRegressor(n_estimators=trees, max_depth=2, max_bin=256,
                             random_state=0).fit(X[:train], y[:train])
    ours = best_of(lambda: parse_and_evaluate(model, X), repeat=2)
    interp = parse_and_evaluate(model, X)
    booster = model.get_booster()
    measured = rows if full else min(sample, rows)
    part = X[:measured]
    t0 = time.perf_counter()
    booster.predict(xgb.DMatrix(part), pred_interactions=True)
    theirs = (time.perf_counter() - t0) * rows / measured
    how = "timed" if measured == rows else f"timed on {measured} rows, scaled"
    print(f"rows={rows:.0e} features={features} trees={trees}: effects "
          f"{len(interp.effects_['1D'])} main + {len(interp.effects_['2D'])} pair; "
          f"parse+evaluate {ours:.3f} s; pred_interactions {theirs:.2f} s ({how}); "
          f"ratio {theirs / ours:.1f}x")


def bench_evaluate(rows, features=10):
    rng = np.random.default_rng(1)
    X = rng.normal(size=(rows, features))
    splits = np.unique(rng.normal(size=255).astype(np.float32)).astype(np.float64)
    values = rng.normal(size=splits.size + 1)
    effect = predict_1D_func_tree((3,), splits, values, True)
    ours = best_of(lambda: effect(X), repeat=3)
    theirs = best_of(lambda: np.searchsorted(splits, X[:, 3], side="right"), repeat=3)
    column = np.ascontiguousarray(X[:, 3:4])
    del X
    effect0 = predict_1D_func_tree((0,), splits, values, True)
    ours_c = best_of(lambda: effect0(column), repeat=3)
    theirs_c = best_of(lambda: np.searchsorted(splits, column[:, 0], side="right"), repeat=3)
    print(f"rows={rows:.0e}, {splits.size} split points, strided column of a {features}-column "
          f"matrix: predict_1D_func_tree {ours:.3f} s, np.searchsorted {theirs:.3f} s, "
          f"ratio {theirs / ours:.2f}x")
    print(f"rows={rows:.0e}, contiguous column: predict_1D_func_tree {ours_c:.3f} s, "
          f"np.searchsorted {theirs_c:.3f} s, ratio {theirs_c / ours_c:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=1e6)
    parser.add_argument("--trees", type=int, nargs="+", default=[100, 1000])
    parser.add_argument("--eval-rows", type=float, default=1e7)
    parser.add_argument("--sample", type=int, default=20_000)
    parser.add_argument("--full", action="store_true")
    args = parser.parse_args()
    for trees in args.trees:
        bench_parse(int(args.rows), trees, args.sample, args.full)
    bench_evaluate(int(args.eval_rows))


if __name__ == "__main__":
    main()
