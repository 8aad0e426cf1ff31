"""Runs a file of test cases in a pytest of its own, so that a crash of the interpreter (a
segfault in native code) fails the calling test instead of ending the whole run."""

import os
import subprocess
import sys


def run_cases(filename, timeout=600):
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), filename)
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", path],
        capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, (
        f"the cases of {filename} ended with exit status {proc.returncode}"
        f"{' (killed by a signal)' if proc.returncode < 0 else ''}:\n"
        f"{proc.stdout[-8000:]}\n{proc.stderr[-4000:]}")
