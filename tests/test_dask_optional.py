"""Dask is optional: the in-memory paths never import it."""
import subprocess
import sys
import textwrap


def test_in_memory_use_imports_no_dask():
    code = textwrap.dedent("""
        import sys
        import numpy as np
        from orrin.models.xgb2.xgboost import XGB2Regressor
        from orrin.diagnoser.frailzone import FrailZone
        rng = np.random.default_rng(0)
        X = rng.normal(size=(200, 3)); y = X[:, 0] + X[:, 1] * X[:, 2]
        model = XGB2Regressor(n_estimators=5).fit(X, y)
        model.parse_model(); model.partial_dependence((0,), X); model.predict(X)
        fz = FrailZone(model, ["X0"], task_type="regression", threshold=0.5, bins=5, min_samples=5)
        fz.fit(X, y, np.arange(150), np.arange(150, 200), prediction=model.predict(X))
        fz.get_target_idx(); fz.get_distance()
        print(sorted(m for m in sys.modules if m == "dask" or m.startswith(("dask.", "distributed"))))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env={**__import__("os").environ, "MPLBACKEND": "Agg"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "[]"
