"""What the sample-time fit adds to `load`: the replay recording with receive
times beside it, loaded as it is and with the fit left out (the receive
times themselves as the sample times, nothing counted missing: what `load`
did before it fitted sample times), in alternating runs, best of each.

The receive times are made up for the recording: reads of 40 to 200 bytes
at the line's pace (921600 baud), each late by a wandering delay, so the fit
meets what a real capture gives it: lost and damaged frames, gaps, jitter.

    python bench/load_fit_bench.py [--megabytes 30] [--repeat 7]
"""

from __future__ import annotations

import argparse
import shutil
import time
from pathlib import Path
from typing import Any

import common
import numpy as np

from brimlet_tools.files.receive_times import TimesWriter, companion_path
from brimlet_tools.recordings.recording import load
from brimlet_tools.timing import envelope

START_NS = 1_750_000_000_000_000_000
NS_PER_BYTE = 10_000_000_000 // 921_600


def timed_recording(megabytes: float, build: Path) -> tuple[Path, int]:
    """A copy of the replay recording with receive times beside it, made once
    and kept in `build`, and its number of packets."""
    source, packets = common.recording(megabytes, build)
    path = source.with_name("timed-" + source.name)
    times = Path(companion_path(path))
    if path.is_file() and times.is_file():
        return path, packets
    shutil.copy(source, path)
    data = path.read_bytes()
    rng = np.random.default_rng(1)
    ends = np.minimum(np.cumsum(rng.integers(40, 201, len(data) // 40)), len(data))
    ends = np.append(ends[ends < len(data)], len(data))
    late = rng.exponential(300_000, len(ends)).astype(np.int64)
    stamps = np.maximum.accumulate(START_NS + ends.astype(np.int64) * NS_PER_BYTE + late)
    partial = times.with_suffix(".partial")
    start = 0
    with TimesWriter(partial) as writer:
        for end, stamp in zip(ends.tolist(), stamps.tolist(), strict=True):
            writer.add(data[start:end], stamp, stamp)
            start = end
    partial.replace(times)
    return path, packets


def without_fit(native: Any, kind: Any, time_: Any, skipped: Any, end: Any, names: tuple[str, ...],
                *_: Any) -> Any:  # fmt: skip
    """What load gave before the fit: the receive times themselves, not even
    copied, and zeros that are never touched."""
    return envelope.SampleTimes(time_, np.zeros(len(kind), np.uint16))


def seconds_of(path: Path, packets: int) -> float:
    started = time.perf_counter()
    got = load(path)
    seconds = time.perf_counter() - started
    if len(got) != packets or got.times_estimated:
        raise SystemExit(f"error: {len(got)} packets (expected {packets}), estimated times {got.times_estimated}")
    return seconds


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=float, default=30.0)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD, help="where the recording is kept")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    path, packets = timed_recording(args.megabytes, args.build)
    path.read_bytes()  # warm: the file is in the page cache for every run
    fit = envelope.fit
    best = {"fitted": float("inf"), "unfitted": float("inf")}
    for _ in range(args.repeat):
        for name, function in (("fitted", fit), ("unfitted", without_fit)):
            envelope.fit = function
            try:
                best[name] = min(best[name], seconds_of(path, packets))
            finally:
                envelope.fit = fit
    ratio = best["fitted"] / best["unfitted"]
    results: common.Results = {"bytes": path.stat().st_size, "packets": packets, "ratio": ratio}
    lines = [f"recording with receive times: {path.stat().st_size / 1e6:.1f} MB, {packets} packets"]
    for name, seconds in best.items():
        results[name] = {"seconds": seconds, "packets_per_second": packets / seconds}
        lines.append(f"load, {name:8s} {packets / seconds / 1e6:7.3f} M packets/s  {seconds * 1e9 / packets:8.1f} ns/packet")
    lines.append(f"the fit adds {100 * (ratio - 1):.1f}% to load")
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
