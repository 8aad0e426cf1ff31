"""Shared timing helpers for the benchmark scripts (figures are printed, never asserted).

`fresh_process(code)` runs a snippet in a new interpreter and reports its wall time and the
peak resident set of that process, so memory figures are not polluted by earlier runs.
"""

import json
import subprocess
import sys
import time

_RUNNER = r"""
import json, sys, time

def peak_rss_kb():
    # VmHWM belongs to this process's own address space; getrusage's ru_maxrss would
    # start from the parent's peak.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0

setup, stmt = sys.argv[1], sys.argv[2]
ns = {}
exec(setup, ns)
rss_before = peak_rss_kb()
t0 = time.perf_counter()
exec(stmt, ns)
elapsed = time.perf_counter() - t0
rss = peak_rss_kb()
print(json.dumps({"seconds": elapsed, "peak_rss_mb": rss / 1024.0, "setup_rss_mb": rss_before / 1024.0}))
"""


def fresh_process(setup, stmt):
    """Run `setup` then time `stmt` in a fresh interpreter.

    Returns a dict with "seconds" (time of `stmt`), "peak_rss_mb" (peak resident set of the
    whole process) and "setup_rss_mb" (peak resident set after `setup`).
    """
    out = subprocess.run([sys.executable, "-c", _RUNNER, setup, stmt], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def _best(func, repeat, clock):
    best = float("inf")
    for _ in range(repeat):
        t0 = clock()
        func()
        best = min(best, clock() - t0)
    return best


def best_of(func, repeat=3):
    """Smallest wall time of `repeat` calls of `func()` in this process, in seconds."""
    return _best(func, repeat, time.perf_counter)


def best_cpu(func, repeat=3):
    """Smallest CPU time of this process over `repeat` calls of `func()`, in seconds: steadier
    than wall time when other processes share the cores."""
    return _best(func, repeat, time.process_time)
