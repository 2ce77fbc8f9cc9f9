"""The tests' own harness: a child that a failing test leaves running ends with it."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CHILD_ENV, HANG_GUARD, wait_until

LEFT_RUNNING = """
import subprocess, sys
def test_leaves_a_child():
    sleeper = [sys.executable, "-c", "import time; time.sleep(600)"]
    child = subprocess.Popen(sleeper, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print("pid", child.pid, flush=True)
    assert False
"""


def test_a_failing_test_does_not_leave_its_child_running(tmp_path: Path) -> None:
    (tmp_path / "test_left.py").write_text(LEFT_RUNNING)
    # pytest from where this run has it (an installed wheel's environment
    # may have it only on this run's path); no fault handler, which an
    # emulated interpreter cannot always enable
    where = [str(Path(__file__).parent), CHILD_ENV["PYTHONPATH"], str(Path(pytest.__file__).parents[1])]
    env = {**CHILD_ENV, "PYTHONPATH": os.pathsep.join(where)}
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-p", "no:faulthandler", "-p", "conftest", "-q", "-s",
         str(tmp_path)],
        capture_output=True, text=True, timeout=HANG_GUARD, env=env, cwd=tmp_path,
    )  # fmt: skip
    assert "1 failed" in run.stdout, run.stdout + run.stderr
    pid = int(run.stdout.split("pid ")[1].split()[0])
    try:
        wait_until(lambda: not os.path.exists(f"/proc/{pid}"), timeout=10)
    finally:
        if os.path.exists(f"/proc/{pid}"):
            os.kill(pid, signal.SIGKILL)
