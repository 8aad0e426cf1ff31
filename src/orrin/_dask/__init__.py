"""Dask support: the graphs that run the modules' kernels partition by partition.

The C++ entry points hand dask collections here; these functions only build task graphs
(map over partitions, combine small per-partition results) around the same kernels that the
in-memory path runs. Importing this package imports no dask: each function imports what it
uses when it is called.
"""


def is_dask_collection(obj):
    """True for a dask array, DataFrame or Series, told apart without importing dask."""
    return type(obj).__module__.startswith("dask")


def current_client():
    """The distributed.Client that dask input runs on; a clear error when there is none."""
    try:
        from distributed import get_client
    except ImportError as exc:  # pragma: no cover - dask without distributed
        raise ImportError('dask input needs dask.distributed: pip install "orrin[dask]"') from exc
    try:
        return get_client()
    except ValueError as exc:
        raise RuntimeError(
            "dask input needs a running distributed.Client: create one (for example "
            "distributed.Client(distributed.LocalCluster())) before calling fit") from exc


def as_dask_matrix(X):
    """A dask collection as a dask array of rows, one chunk across the columns.

    DataFrames become arrays of their values; ``lengths`` computes the partition lengths
    (needed where rows of several collections are aligned).
    """
    if hasattr(X, "to_dask_array"):
        return X.to_dask_array(lengths=True)
    if X.ndim == 2 and X.numblocks[1] > 1:
        X = X.rechunk({1: -1})
    return X


def known_row_chunks(X):
    """X with its row chunk sizes computed when they are unknown."""
    if any(c != c for c in X.chunks[0]):
        X = X.compute_chunk_sizes()
    return X


def tree_sum(parts, add):
    """One delayed result that combines the delayed ``parts`` pairwise with ``add``."""
    from dask import delayed

    parts = list(parts)
    while len(parts) > 1:
        paired = [delayed(add, pure=True)(parts[i], parts[i + 1])
                  for i in range(0, len(parts) - 1, 2)]
        if len(parts) % 2:
            paired.append(parts[-1])
        parts = paired
    return parts[0]


def map_rows(function, X, dtype):
    """``function`` applied to every row block of X: a dask array of one value per row."""
    if hasattr(X, "to_dask_array"):
        X = X.to_dask_array()
    if X.ndim != 2:
        raise ValueError(f"X must be a two-dimensional matrix, got {X.ndim} dimension(s)")
    if X.numblocks[1] > 1:
        X = X.rechunk({1: -1})
    return X.map_blocks(function, drop_axis=1, dtype=dtype)
