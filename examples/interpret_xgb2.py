"""Depth-2 boosted models on scikit-learn's diabetes and breast-cancer data, read back as an
intercept plus main and pair effects; writes the effect figures as PNG files.

Usage: python examples/interpret_xgb2.py [OUTPUT_FOLDER]   (default: out/interpret_xgb2)
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
from sklearn.datasets import load_breast_cancer, load_diabetes  # noqa: E402


def parsed(kind, X, y, names):
    """Train a depth-2 model and return its FANOVA interpretation and its raw margins."""
    from orrin.models.xgb2.xgboost import XGB2Classifier, XGB2Regressor

    face = XGB2Regressor if kind == "regression" else XGB2Classifier
    model = face(n_estimators=200, feature_names=names, random_state=0).fit(X, y)
    fanova = model.parse_model()
    margin = model.estimator_.predict(X, output_margin=True)
    return fanova, margin


def report(title, fanova, margin, X, out_dir, stem, top=4):
    table = fanova.importance_table()
    print(f"{title}: {len(table)} effects, top {top}:")
    print(table.head(top).to_string(index=False))
    local = fanova.explain_local(X)
    gap = float(np.max(np.abs(local["margin"].to_numpy() - margin)))
    print(f"largest gap between intercept + effects and the raw margin: {gap:.2e}\n")
    written = []
    shown = list(table["fidx"].head(top))
    pairs = table.loc[table["type"] == "pair", "fidx"]
    if len(pairs) and pairs.iloc[0] not in shown:
        shown.append(pairs.iloc[0])  # the strongest interaction as well
    for fidx in shown:
        fig = fanova.plot_effect(fidx)
        label = "_".join(str(j) for j in fidx)
        path = os.path.join(out_dir, f"{stem}_effect_{label}.png")
        fig.savefig(path, dpi=100)
        written.append(path)
    fig = fanova.plot_importance(top_n=10)
    path = os.path.join(out_dir, f"{stem}_importance.png")
    fig.savefig(path, dpi=100)
    written.append(path)
    return written


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    written = []
    diabetes = load_diabetes(as_frame=True)
    X, y = diabetes.data.to_numpy(), diabetes.target.to_numpy()
    fanova, margin = parsed("regression", X, y, list(diabetes.data.columns))
    written += report("Diabetes regressor", fanova, margin, X, out_dir, "xgb2_diabetes")

    cancer = load_breast_cancer(as_frame=True)
    X, y = cancer.data.to_numpy(), cancer.target.to_numpy()
    names = [name.replace(" ", "_") for name in cancer.data.columns]
    fanova, margin = parsed("classification", X, y, names)
    written += report("Breast-cancer classifier", fanova, margin, X, out_dir, "xgb2_cancer")
    return written


if __name__ == "__main__":
    for path in main(sys.argv[1] if len(sys.argv) > 1 else os.path.join("out", "interpret_xgb2")):
        print(path)
