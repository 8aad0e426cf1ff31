"""Both modules on a dask.distributed cluster against the in-memory path (figures printed).

The data (10 columns) is generated partition by partition on the workers, so the whole table
never exists in one process: FrailZone.fit with the histogram method on one and two features,
and XGB2Regressor.fit (100 trees) followed by parse_model. Each is timed on a local cluster
of two single-threaded worker processes and reported as rows/s next to the in-memory figure
at --memory-rows rows, with every worker's peak resident memory (VmHWM), which must stay
bounded by a few partitions instead of growing with the rows.

    PYTHONPATH=src python benchmarks/bench_dask.py --rows 1e8 --memory-rows 1e7
"""

import argparse
import os
import time

import numpy as np

N_COLUMNS = 10


def make_block(block_info=None):
    """Rows of one partition, the same for the same block index wherever it is generated."""
    index = block_info[None]["chunk-location"][0]
    rows = block_info[None]["chunk-shape"][0]
    rng = np.random.default_rng(1_000_003 * index + 17)
    x = rng.normal(size=(rows, N_COLUMNS + 1))
    x[:, 2] = np.round(x[:, 2], 1)
    return x  # the last column is the noise of the target


def target(block):
    x = block
    return x[:, 0] ** 2 + x[:, 1] * x[:, 2] + 0.3 * x[:, 3] + 0.1 * x[:, N_COLUMNS]


def prediction(block):
    return block[:, 0] + 0.3 * block[:, 3]


def train_mask(block):
    # Every third row is a test row; a function of the values keeps it reproducible per block.
    return (np.floor(np.abs(block[:, 4]) * 1e6) % 3) != 0


def in_memory(rows, chunk):
    blocks = []
    for index, start in enumerate(range(0, rows, chunk)):
        n = min(chunk, rows - start)
        blocks.append(make_block({None: {"chunk-location": (index, 0), "chunk-shape": (n,)}}))
    return np.concatenate(blocks)


def dask_table(rows, chunk):
    import dask.array as da

    chunks = ((chunk,) * (rows // chunk) + ((rows % chunk,) if rows % chunk else ()),
              (N_COLUMNS + 1,))
    full = da.map_blocks(make_block, chunks=chunks, dtype=np.float64)
    x = full[:, :N_COLUMNS]
    y = full.map_blocks(target, drop_axis=1, dtype=np.float64)
    pred = full.map_blocks(prediction, drop_axis=1, dtype=np.float64)
    train = full.map_blocks(train_mask, drop_axis=1, dtype=bool)
    return x, y, pred, train


def worker_peaks(client):
    def peak_mb():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
        return float("nan")

    return sorted(client.run(peak_mb).values())


def frailzone_fit(features, x, y, pred, train, test):
    from orrin.diagnoser.frailzone import FrailZone

    fz = FrailZone(None, features, task_type="regression", bins=10, min_samples=100)
    t0 = time.perf_counter()
    fz.fit(x, y, train, test, prediction=pred)
    return time.perf_counter() - t0, fz


def xgb_fit(x, y):
    from orrin.models.xgb2.xgboost import XGB2Regressor

    model = XGB2Regressor(n_estimators=100, max_bin=64)
    t0 = time.perf_counter()
    model.fit(x, y)
    fitted = time.perf_counter() - t0
    t0 = time.perf_counter()
    model.parse_model()
    return fitted, time.perf_counter() - t0


def report(label, rows, seconds, memory_rows=None, memory_seconds=None, peaks=None):
    line = f"{label:<34} {rows:>12,d} rows {seconds:8.1f} s {rows / seconds:>12,.0f} rows/s"
    if memory_seconds is not None:
        ratio = (rows / seconds) / (memory_rows / memory_seconds)
        line += f"   in memory at {memory_rows:,d}: {memory_rows / memory_seconds:>12,.0f} rows/s" \
                f" (dask/memory {ratio:.2f})"
    if peaks is not None:
        line += "   worker peaks " + ", ".join(f"{p:.0f} MiB" for p in peaks)
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, default=1e8, help="rows of the dask table")
    parser.add_argument("--memory-rows", type=float, default=1e7,
                        help="rows of the in-memory comparison")
    parser.add_argument("--xgb-rows", type=float, default=None,
                        help="rows for the XGB2 figures (default: --rows / --memory-rows)")
    parser.add_argument("--chunk", type=float, default=1e6, help="rows per partition")
    parser.add_argument("--skip-xgb", action="store_true")
    args = parser.parse_args()
    rows, memory_rows, chunk = int(args.rows), int(args.memory_rows), int(args.chunk)

    import distributed

    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, memory_limit="8GiB")
    client = distributed.Client(cluster)
    print(f"2 workers x 1 thread, {chunk:,d} rows x {N_COLUMNS} columns per partition, "
          f"{os.cpu_count()} cores", flush=True)

    table = in_memory(memory_rows, chunk)
    X, y, pred = table[:, :N_COLUMNS], target(table), prediction(table)
    mask = train_mask(table)
    train, test = np.flatnonzero(mask), np.flatnonzero(~mask)
    memory = {}
    for features in (["X0"], ["X0", "X2"]):
        memory[tuple(features)] = frailzone_fit(features, X, y, pred, train, test)

    dx, dy, dpred, dtrain = dask_table(rows, chunk)
    # What one pass over freshly generated partitions costs: every dask figure below pays it
    # once per pass (the table is never kept), while the in-memory figures start from data
    # already in memory.
    t0 = time.perf_counter()
    dx.sum().compute()
    report("one pass: generate and sum", rows, time.perf_counter() - t0)
    for features in (["X0"], ["X0", "X2"]):
        seconds, fz = frailzone_fit(features, dx, dy, dpred, dtrain, ~dtrain)
        ref_seconds, ref = memory[tuple(features)]
        report(f"FrailZone.fit histogram {len(features)}D", rows, seconds, memory_rows,
               ref_seconds, worker_peaks(client))
        if rows == memory_rows:
            same = (fz.output is None and ref.output is None) or (
                fz.output[["#Test", "#Train"]].values.tolist()
                == ref.output[["#Test", "#Train"]].values.tolist())
            print(f"  same regions and counts as in memory: {same}", flush=True)
    del table, X, y, pred, train, test

    if not args.skip_xgb:
        xgb_rows = int(args.xgb_rows) if args.xgb_rows else None
        big = xgb_rows or rows
        small = xgb_rows or memory_rows
        table = in_memory(small, chunk)
        fit_s, parse_s = xgb_fit(table[:, :N_COLUMNS], target(table))
        del table
        dx, dy, _, _ = dask_table(big, chunk)
        dfit_s, dparse_s = xgb_fit(dx, dy)
        peaks = worker_peaks(client)
        report("XGB2Regressor.fit 100 trees", big, dfit_s, small, fit_s, peaks)
        report("XGB2Regressor.parse_model", big, dparse_s, small, parse_s)
    client.close()
    cluster.close()


if __name__ == "__main__":
    main()
