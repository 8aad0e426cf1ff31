"""Weak regions of a gradient-boosting regressor on scikit-learn's diabetes data."""

import os

from sklearn.datasets import load_diabetes
from sklearn.ensemble import GradientBoostingRegressor
from sklearn.model_selection import train_test_split
import numpy as np


def main(out_dir):
    from orrin.diagnoser.frailzone import HistogramSlicing

    data = load_diabetes(as_frame=True)
    x, y = data.data.to_numpy(), data.target.to_numpy()
    names = list(data.data.columns)
    train_idx, test_idx = train_test_split(np.arange(len(y)), test_size=0.3, random_state=0)
    model = GradientBoostingRegressor(random_state=0).fit(x[train_idx], y[train_idx])
    pred = model.predict(x)

    for features in (["bmi"], ["bmi", "s5"]):
        slicer = HistogramSlicing(model, features, "regression", threshold=1.1, min_samples=10)
        table = slicer.fit(x[train_idx], y[train_idx], x[test_idx], y[test_idx],
                           pred[train_idx], pred[test_idx], feature_names=names)
        print(f"Weak regions on {features} (histogram slicing):")
        print("none" if table is None else table.to_string())
        print()
    os.makedirs(out_dir, exist_ok=True)
