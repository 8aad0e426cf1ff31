"""Weak regions of a gradient-boosting regressor on scikit-learn's diabetes data.

Fits a model, runs the FrailZone diagnoser with histogram and tree slicing on one and on two
slice features, prints each weak-region table and writes into the output folder:

- ``marginal_<method>_<features>.png``: the marginal weak-region plot of each diagnosis;
- ``shift_<method>_<feature>.png``: how the samples inside the weak regions differ from the
  remaining ones (distance ranking of all features, and the distributions of the feature
  that differs most besides the slice feature);
- ``scan.png``: the weak-region scan of every feature and pair, ranked by excess.

Run it through ``examples/main_job.py`` or as ``python examples/diagnose_weak_regions.py OUT``.
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from sklearn.datasets import load_diabetes  # noqa: E402
from sklearn.ensemble import GradientBoostingRegressor  # noqa: E402
from sklearn.model_selection import train_test_split  # noqa: E402

# The diabetes features are mean-centred and scaled; these are their readable names.
LABELS = {"age": "age", "sex": "sex", "bmi": "body mass index", "bp": "blood pressure",
          "s1": "total cholesterol", "s2": "LDL", "s3": "HDL", "s4": "TC / HDL",
          "s5": "log triglycerides", "s6": "blood sugar"}


def load_model():
    data = load_diabetes(as_frame=True)
    x, y = data.data.to_numpy(), data.target.to_numpy()
    names = list(data.data.columns)
    train_idx, test_idx = train_test_split(np.arange(len(y)), test_size=0.4, random_state=0)
    model = GradientBoostingRegressor(max_depth=2, n_estimators=150, learning_rate=0.05,
                                      random_state=0)
    model.fit(x[train_idx], y[train_idx])
    return model, x, y, names, train_idx, test_idx


def diagnose(model, x, y, names, train_idx, test_idx, features, method):
    from orrin.diagnoser.frailzone import FrailZone

    diag = FrailZone(model, features, task_type="regression", method=method, threshold=1.1,
                     bins=10, max_depth=3, min_samples=15, use_test=True)
    diag.fit(x, y, train_idx, test_idx, prediction=model.predict(x), feature_names=names)
    return diag


def print_table(diag, features, method):
    table = diag.get_result().value["data"]
    print(f"Weak regions on {' x '.join(features)} ({method} slicing, "
          f"limit {diag.diag.threshold_value:.1f} {diag.diag.score_name}):")
    if table is None:
        print("  none found\n")
        return False
    with pd.option_context("display.width", 120, "display.float_format", "{:.4g}".format):
        print(table.to_string())
    print()
    return True


def save_marginal(diag, features, method, out_dir):
    from orrin.diagnoser.frailzone import FrailZone

    fig = FrailZone.plot_marginal(diag.get_marginal(), figsize=(7, 6))
    path = os.path.join(out_dir, f"marginal_{method}_{'_'.join(features)}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def save_shift(diag, features, method, out_dir):
    """Distance ranking of all features, and the most shifted feature beside the slice ones."""
    distance = diag.get_distance().value
    ranked = list(distance["x"])
    other = next((f for f in ranked if f not in features), ranked[0])
    shift = diag.get_shift(show_feature=other).value
    frame = shift["data"]

    fig, (ax_rank, ax_dist) = plt.subplots(1, 2, figsize=(11, 4.5),
                                           gridspec_kw={"width_ratios": [1, 1.3]})
    order = np.arange(len(ranked))[::-1]
    colours = ["#d95f02" if f in features else "#1b9e77" for f in ranked]
    ax_rank.barh(order, distance["y"], color=colours, edgecolor="black")
    ax_rank.set_yticks(order)
    ax_rank.set_yticklabels([LABELS.get(f, f) for f in ranked])
    ax_rank.set_xlabel("PSI (weak vs remaining test samples)")
    ax_rank.set_title("Feature shift in the weak regions")
    ax_rank.text(0.98, 0.02, "orange: slice feature", transform=ax_rank.transAxes,
                 ha="right", va="bottom", fontsize=8, color="#d95f02")

    weak = frame.loc[frame["resi_type_"] == "Weak Regions", other].to_numpy()
    rest = frame.loc[frame["resi_type_"] == "Remaining Regions", other].to_numpy()
    edges = np.histogram_bin_edges(frame[other].to_numpy(), bins=15)
    ax_dist.hist(rest, bins=edges, density=True, alpha=0.6, color="#7f7f7f", edgecolor="black",
                 label=f"remaining ({len(rest)})")
    ax_dist.hist(weak, bins=edges, density=True, alpha=0.6, color="#d95f02", edgecolor="black",
                 label=f"weak regions ({len(weak)})")
    ax_dist.set_xlabel(f"{LABELS.get(other, other)} ({other}, scaled)")
    ax_dist.set_ylabel("Density")
    ax_dist.set_title(f"{LABELS.get(other, other)}: weak vs remaining")
    ax_dist.legend(fontsize=9)
    fig.suptitle(f"{shift['title']} ({method} slicing on {' x '.join(features)})", fontsize=12)
    fig.tight_layout()
    path = os.path.join(out_dir, f"shift_{method}_{'_'.join(features)}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def save_scan(model, x, y, names, train_idx, test_idx, out_dir):
    """Scan every feature and pair for weak regions, print the top candidates, draw them."""
    from orrin.diagnoser.scan import WeakRegionScan

    scan = WeakRegionScan(model, task_type="regression", threshold=1.1, min_samples=15,
                          use_test=True)
    scan.fit(x, y, train_idx, test_idx, prediction=model.predict(x), feature_names=names)
    print("Weak-region scan, top candidates by excess:")
    with pd.option_context("display.width", 140, "display.float_format", "{:.4g}".format):
        print(scan.results_.head(8).to_string())
    print()
    fig = scan.plot(top=15)
    path = os.path.join(out_dir, "scan.png")
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    return path


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    model, x, y, names, train_idx, test_idx = load_model()
    mse = np.mean((model.predict(x[test_idx]) - y[test_idx]) ** 2)
    print(f"diabetes data: {len(train_idx)} training and {len(test_idx)} test rows, "
          f"test MSE {mse:.1f}\n")
    written = []
    for method in ("histogram", "tree"):
        for features in (["bmi"], ["bmi", "s5"]):
            diag = diagnose(model, x, y, names, train_idx, test_idx, features, method)
            if not print_table(diag, features, method):
                continue
            written.append(save_marginal(diag, features, method, out_dir))
            if len(features) == 1:
                written.append(save_shift(diag, features, method, out_dir))
    written.append(save_scan(model, x, y, names, train_idx, test_idx, out_dir))
    for path in written:
        print(f"wrote {path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("out", "diagnose_weak_regions"))
