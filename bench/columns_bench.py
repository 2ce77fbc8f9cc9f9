"""Whole recordings into numpy columns: `brimlet_tools.recordings.recording.load` (the
native columnar decoder) against what a user had before it,
`arrays_baseline.field_arrays` over the replayed packets, on the replay
recording; and the same recording on to a pandas DataFrame.

    python bench/columns_bench.py [--megabytes 100] [--repeat 5] [--arrays-repeat 1]
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from pathlib import Path

import common

from arrays_baseline import field_arrays
from brimlet_tools.live.acquire import replay
from brimlet_tools.recordings.recording import load, to_dataframe


def timed(run: Callable[[], int], expected: int) -> float:
    """Seconds of one `run`, which must find `expected` packets."""
    started = time.perf_counter()
    got = run()
    seconds = time.perf_counter() - started
    if got != expected:
        raise SystemExit(f"error: {got} packets, expected {expected}")
    return seconds


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=float, default=100.0)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--arrays-repeat", type=int, default=1)
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD, help="where the recording is kept")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()

    path, expected = common.recording(args.megabytes, args.build)
    path.read_bytes()  # warm: the file is in the page cache for every run
    runs: dict[str, tuple[int, Callable[[], int]]] = {
        "load": (args.repeat, lambda: len(load(path))),
        "dataframe": (args.repeat, lambda: len(to_dataframe(load(path)))),
        "arrays": (args.arrays_repeat, lambda: len(field_arrays(replay(path))["packet_type"])),
    }
    results: common.Results = {"bytes": path.stat().st_size, "packets": expected}
    lines = [f"recording: {path.stat().st_size / 1e6:.1f} MB, {expected} packets"]
    for name, (repeat, run) in runs.items():
        seconds = common.best_of(repeat, lambda: timed(run, expected))
        results[name] = {"seconds": seconds, "packets_per_second": expected / seconds}
        lines.append(f"{name:10s} {expected / seconds / 1e6:7.3f} M packets/s  {seconds * 1e9 / expected:8.1f} ns/packet")
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
