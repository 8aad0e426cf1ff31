"""Bounded fuzzing of the diagnoser's public methods (fuzz_frailzone.py), each group in a
child process: a crash of the interpreter fails the group instead of the test run."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
GROUPS = ["strategy_fit", "region_services", "strategy_passes", "frailzone_calls",
          "plot_marginal"]


@pytest.mark.parametrize("group", GROUPS)
def test_every_call_returns_or_refuses_cleanly_and_a_refusal_changes_nothing(group):
    env = dict(os.environ, MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join([str(HERE)] + [p for p in sys.path if p]))
    proc = subprocess.run([sys.executable, str(HERE / "fuzz_frailzone.py"), group], env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, (
        f"{group} exited with {proc.returncode}"
        f"{' (killed by a signal)' if proc.returncode < 0 else ''}:\n{proc.stderr[-6000:]}")
