import numpy as np
import pytest

pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def client():
    """Two worker processes with one thread each: real processes, real serialisation."""
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, memory_limit="2GiB")
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def regression_data():
    rng = np.random.default_rng(5)
    X = rng.normal(size=(3000, 5))
    X[:, 3] = np.round(X[:, 3], 1)
    y = X[:, 0] + X[:, 1] * X[:, 2] + 0.5 * np.sin(X[:, 3]) + 0.1 * rng.normal(size=3000)
    return X, y
