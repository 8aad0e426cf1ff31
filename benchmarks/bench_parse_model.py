"""Speed of `parse_model` of a fitted XGB2Regressor, and of the effect decoder alone.

Usage: python benchmarks/bench_parse_model.py [--rows 10000] [--trees 100] [--features 10]
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from harness import best_cpu  # noqa: E402

from orrin import _core  # noqa: E402
from orrin.models.xgb2.xgboost import XGB2Regressor  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=1e4)
    parser.add_argument("--trees", type=int, default=100)
    parser.add_argument("--features", type=int, default=10)
    parser.add_argument("--repeat", type=int, default=20)
    args = parser.parse_args()
    rows = int(args.rows)
    rng = np.random.default_rng(0)
    X = rng.normal(size=(rows, args.features))
    y = X[:, 0] + X[:, 1] * X[:, 2] + np.sin(X[:, 3]) * X[:, 4] + 0.1 * rng.normal(size=rows)
    model = XGB2Regressor(n_estimators=args.trees, random_state=0).fit(X, y)
    text = bytes(model.estimator_.get_booster().save_raw("json"))
    parse = best_cpu(model.parse_model, repeat=args.repeat)
    decode = best_cpu(lambda: _core.xgb_effects(text, X, True, False), repeat=args.repeat)
    print(f"rows={rows:.0e} trees={args.trees} features={args.features} "
          f"model text {len(text) / 1024:.0f} KiB: parse_model {parse * 1e3:.2f} ms, "
          f"xgb_effects alone {decode * 1e3:.2f} ms (CPU time, best of {args.repeat})")


if __name__ == "__main__":
    main()
