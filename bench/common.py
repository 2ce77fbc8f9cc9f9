"""What the benchmark scripts share: the recording, memory readings, results.

Every script can run alone and prints a few lines for a person; with
`--json` it prints its results as one JSON object on the last line of
standard output instead, which is how `suite.py` collects them.
"""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT / "python") not in sys.path:
    sys.path.insert(0, str(ROOT / "python"))

from brimlet_tools.sim import simulator  # noqa: E402
from brimlet_tools.wire.fields import PROPERTY_NAMES  # noqa: E402

DEFAULT_BUILD = ROOT / "build" / "bench"
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")

# The stream of the replay recording: the simulated device at its usual
# rates, with the line faults of a real cable (as in the bundled sample), so
# the decoders also resynchronise after noise, lost bytes and damage.
RECORDING_CONFIG = simulator.StreamConfig(
    profile="turn-and-climb",
    seconds=None,
    raw_rate=1000.0,
    estimated_rate=100.0,
    seed=1,
    faults=simulator.Faults(garbage=0.002, drop=0.001, damage=0.001, invalid=0.01),
)

Results = dict[str, Any]

__all__ = [
    "BUSY_SHARE",
    "MachineShare",
    "SequenceCheck",
    "PROPERTY_NAMES",
    "best_of",
    "child_env",
    "emit",
    "peak_rss",
    "recording",
    "rss",
    "small_recording",
    "virtual_device",
]


def recording(megabytes: float, build: Path = DEFAULT_BUILD) -> tuple[Path, int]:
    """A recording of about `megabytes` million bytes of the simulated stream
    and the number of packets a decoder finds in it. Made once with the
    simulator and kept in `build`."""
    path = build / "recordings" / f"replay-{megabytes:g}MB-seed{RECORDING_CONFIG.seed}.bin"
    count_path = path.with_suffix(".packets")
    if path.is_file() and count_path.is_file():
        return path, int(count_path.read_text())
    path.parent.mkdir(parents=True, exist_ok=True)
    target = int(megabytes * 1_000_000)
    size = packets = 0
    partial = path.with_suffix(".partial")
    with partial.open("wb") as out:
        for frame in simulator.simulate(RECORDING_CONFIG):
            out.write(frame.wire)
            size += len(frame.wire)
            packets += frame.intact
            if size >= target:
                break
    partial.replace(path)
    count_path.write_text(f"{packets}\n")
    return path, packets


def rss() -> int:
    """Resident memory of this process now, in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE_SIZE


def peak_rss() -> int:
    """The most resident memory this process has had, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def best_of(repeat: int, run: Callable[[], float]) -> float:
    """The smallest of `repeat` results of `run` (seconds, or any cost)."""
    return min(run() for _ in range(repeat))


def emit(results: Results, as_json: bool, lines: list[str]) -> None:
    """Prints `results` for the suite or `lines` for a person."""
    if as_json:
        print(json.dumps(results))
    else:
        for line in lines:
            print(line)


@dataclass
class SequenceCheck:
    """Sequence numbers in arrival order: gaps are lost packets, a number
    that is not the next one (and not ahead of it) came out of order."""

    first: int | None = None
    last: int | None = None
    received: int = 0
    lost: int = 0
    out_of_order: int = 0
    unnumbered: int = 0

    def see(self, counter: int | None) -> None:
        if counter is None:
            self.unnumbered += 1
            return
        self.received += 1
        if self.last is None:
            self.first = counter
        else:
            ahead = (counter - self.last - 1) % simulator.COUNTER_MODULUS
            if ahead < simulator.COUNTER_MODULUS // 2:
                self.lost += ahead
            else:
                self.out_of_order += 1
                return
        self.last = counter

    def summary(self) -> dict[str, Any]:
        return {"received": self.received, "first": self.first, "last": self.last, "lost": self.lost,
                "out_of_order": self.out_of_order, "unnumbered": self.unnumbered}  # fmt: skip


def small_recording(path: Path, packets: int) -> Path:
    """A recording of the first `packets` frames of the simulated stream,
    without line faults: every frame gives one packet."""
    config = simulator.StreamConfig(seconds=None, seed=RECORDING_CONFIG.seed)
    with path.open("wb") as out:
        for frame in simulator.simulate(config):
            if frame.index >= packets:
                break
            out.write(frame.wire)
    return path


def child_env() -> dict[str, str]:
    """The environment for a child interpreter, with the tools on its path."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT / "python"), env.get("PYTHONPATH", "")) if p)
    return env


@contextmanager
def virtual_device(seconds: float, baudrate: int, raw_rate: float, estimated_rate: float) -> Iterator[str]:
    """The command-line tool's virtual device with the counter stream, in a
    process of its own, for `seconds`; gives the port's path. The device is
    stopped (as by Ctrl-C) when the block ends."""
    device = subprocess.Popen(
        [sys.executable, "-m", "brimlet_tools", "virtual-device", "--baudrate", str(baudrate),
         "--raw-rate", f"{raw_rate:g}", "--estimated-rate", f"{estimated_rate:g}", "--counter",
         "--seconds", f"{seconds:g}"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(),
    )  # fmt: skip
    try:
        assert device.stdout is not None
        path = device.stdout.readline().strip()
        if not path:
            raise RuntimeError("the virtual device did not start: " + (device.communicate()[1] or "").strip())
        yield path
    finally:
        device.terminate()
        device.communicate(timeout=10)


# Beyond this share of the machine taken by other programs while a step ran,
# the step's figures measure the machine, not the code: the document says so.
BUSY_SHARE = 0.25


def busy_seconds() -> float:
    """Processor time that every program of the machine has had since boot."""
    with open("/proc/stat") as f:
        ticks = [int(x) for x in f.readline().split()[1:]]
    idle = ticks[3] + ticks[4]  # idle and waiting for the disk
    return (sum(ticks[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def own_seconds() -> float:
    """Processor time of this process and of the children it has waited for."""
    return sum(r.ru_utime + r.ru_stime for r in (resource.getrusage(resource.RUSAGE_SELF),
                                                 resource.getrusage(resource.RUSAGE_CHILDREN)))  # fmt: skip


class MachineShare:
    """What other programs took of the machine between `start()` and
    `result()`: the processor time of the whole machine less that of this
    process and its children, over the wall time and the cores."""

    def __init__(self) -> None:
        self.start()

    def start(self) -> None:
        self.began, self.busy, self.own = time.monotonic(), busy_seconds(), own_seconds()

    def result(self) -> dict[str, Any]:
        wall = time.monotonic() - self.began
        others = (busy_seconds() - self.busy) - (own_seconds() - self.own)
        share = max(0.0, others) / (wall * (os.cpu_count() or 1)) if wall > 0 else 0.0
        return {"seconds": wall, "others_share": share, "too_busy": share > BUSY_SHARE}
