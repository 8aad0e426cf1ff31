"""End-to-end run of the native core on data that scikit-learn ships.

Usage: python examples/main_job.py [OUTPUT_FOLDER]   (default: out/main_job)

Writes the weak-region tables and figures of the diagnoser, the weak-region scan of every
feature and pair, and the effect figures of the depth-2 boosted model into the output folder.
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import diagnose_weak_regions  # noqa: E402
import interpret_xgb2  # noqa: E402


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    diagnose_weak_regions.main(out_dir)
    interpret_xgb2.main(out_dir)
    print(f"figures written to {os.path.abspath(out_dir)}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("out", "main_job"))
