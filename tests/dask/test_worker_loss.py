"""A worker process killed during a fit: the right result (dask recomputes what was lost) or a
clear error, never a wrong result."""
import os
import signal
import threading

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

from orrin.diagnoser.frailzone import FrailZone  # noqa: E402


def test_killing_a_worker_during_a_histogram_fit(regression_data):
    rng = np.random.default_rng(8)
    n = 40_000
    X = rng.normal(size=(n, 3))
    y = X[:, 0] ** 2 + 0.1 * rng.normal(size=n)
    pred = np.zeros(n)
    train, test = np.arange(0, n, 2), np.arange(1, n, 2)
    expected = FrailZone(None, ["X0", "X1"], task_type="regression", min_samples=10)
    expected.fit(X, y, train, test, prediction=pred)

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, memory_limit="2GiB")
    with distributed.Client(cluster) as client:
        pids = sorted(client.run(os.getpid).values())
        killed = threading.Event()

        def kill():
            os.kill(pids[0], signal.SIGKILL)
            killed.set()

        killer = threading.Timer(0.3, kill)
        fz = FrailZone(None, ["X0", "X1"], task_type="regression", min_samples=10)
        killer.start()
        try:
            fz.fit(da.from_array(X, chunks=(1000, 3)), y, train, test, prediction=pred)
        except Exception as error:  # a lost computation must say so
            assert "worker" in (type(error).__name__ + str(error)).lower()
        else:
            if not killed.is_set():
                pytest.skip("the fit ended before the worker was killed")
            np.testing.assert_array_equal(fz.output[["#Test", "#Train"]].values,
                                          expected.output[["#Test", "#Train"]].values)
            np.testing.assert_allclose(fz.output.values, expected.output.values, rtol=1e-12)
        finally:
            killer.cancel()
    cluster.close()
