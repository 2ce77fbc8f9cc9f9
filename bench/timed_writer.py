"""The virtual device, with the time of every write: the writer side of the
latency measurement, run as its own process by `live_bench.py`.

It plays the simulator's counter stream on a pseudo-terminal exactly as
`python -m brimlet_tools virtual-device` does (the same `VirtualDevice`,
the same pacing, one frame per write), and notes `time.monotonic_ns()` just
before each frame goes to the master side. A reader in another process
compares that with the moment the packet reached Python, on the same
monotonic clock.

Protocol on its standard streams: it prints the port's path, waits for one
line on standard input (the reader has opened the port), plays, writes the
times as JSON to `--times`, prints "played", and keeps the port open until
standard input ends, so that the reader can finish reading.

    python bench/timed_writer.py --seconds 10 --times /tmp/times.json
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

import common  # noqa: F401  (puts the tools on the path)

from brimlet_tools.sim import simulator
from brimlet_tools.sim.virtual_device import VirtualDevice


class TimedDevice(VirtualDevice):
    """A virtual device that keeps the monotonic time of every write, in
    frame order (so the time of frame k is `times[k]`)."""

    def __init__(self, baudrate: int) -> None:
        # Nothing is discarded: the reader is there before the first frame.
        super().__init__(baudrate, stale_after=None)
        self.times: list[int] = []

    def write(self, data: bytes) -> int:
        self.times.append(time.monotonic_ns())
        return super().write(data)


def stream_config(seconds: float, raw_rate: float, estimated_rate: float) -> simulator.StreamConfig:
    """The counter stream both sides agree on."""
    return simulator.StreamConfig(seconds=seconds, raw_rate=raw_rate, estimated_rate=estimated_rate, counter=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--baudrate", type=int, default=921600)
    ap.add_argument("--raw-rate", type=float, default=1000.0)
    ap.add_argument("--estimated-rate", type=float, default=100.0)
    ap.add_argument("--times", type=Path, required=True)
    args = ap.parse_args()
    config = stream_config(args.seconds, args.raw_rate, args.estimated_rate)
    device = TimedDevice(args.baudrate)
    with device:
        print(device.path, flush=True)
        sys.stdin.readline()
        report = device.play(simulator.simulate(config))
        args.times.write_text(json.dumps({"times": device.times, "dropped": report.bytes_dropped, "lag": report.lag}))
        print("played", flush=True)
        sys.stdin.read()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
