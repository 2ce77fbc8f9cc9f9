"""How late `brimlet record` stamps what it reads.

The simulated device's frames (100 raw + 20 estimated per second) are
written to a pseudo-terminal at their pace while `brimlet record` takes the
line down; each packet's receive time in the recording is set against the
wall-clock time its frame was written. The delay is the recorder's: the time
from the write to the read that brought the frame, and the stamp.

    python bench/record_delay_bench.py [--seconds 10] [--json]
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time
import tty
from pathlib import Path
from typing import Any

import common
import numpy as np

from brimlet_tools.recordings.recording import load
from brimlet_tools.sim.simulator import StreamConfig, simulate


def wait_for_size(path: Path, size: int, limit: float = 30.0) -> None:
    deadline = time.monotonic() + limit
    while path.stat().st_size < size:
        if time.monotonic() > deadline:
            raise RuntimeError(f"record wrote {path.stat().st_size} of {size} bytes")
        time.sleep(0.01)


def measure(seconds: float, directory: Path) -> dict[str, Any]:
    master, slave = os.openpty()
    tty.setraw(slave)
    output = directory / "capture.bin"
    process = subprocess.Popen([sys.executable, "-m", "brimlet_tools", "record", "--port", os.ttyname(slave),
                                "--output", str(output), "--quiet"],
                               stderr=subprocess.PIPE, text=True, env=common.child_env())  # fmt: skip
    try:
        assert process.stderr is not None
        process.stderr.readline()  # "recording ...": the port is set up
        written: list[int] = []
        size, start = 0, time.monotonic()
        for frame in simulate(StreamConfig(seconds=seconds, raw_rate=100, estimated_rate=20, seed=3)):
            time.sleep(max(0.0, start + frame.time - time.monotonic()))
            written.append(time.time_ns())
            os.write(master, frame.wire)
            size += len(frame.wire)
        wait_for_size(output, size)
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=10)
        os.close(master)
        os.close(slave)
    received = load(output).columns["time"].view(np.int64)
    if len(received) != len(written):
        raise RuntimeError(f"{len(received)} packets recorded of {len(written)} written")
    delay = (received - np.array(written)) / 1e6
    return {"seconds": seconds, "packets": len(written), "median_ms": float(np.median(delay)),
            "p75_ms": float(np.percentile(delay, 75)), "p99_ms": float(np.percentile(delay, 99)),
            "max_ms": float(delay.max()), "min_ms": float(delay.min())}  # fmt: skip


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        result = measure(args.seconds, Path(directory))
    common.emit(result, args.json, [f"record: {result}"])
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
