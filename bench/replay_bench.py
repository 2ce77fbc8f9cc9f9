"""Replay throughput: a 100 MB recording of the simulated device into Python
packet objects, through the module and through the pure-Python baseline.

Module, drained while it runs: `get_data_packets()` is called in a loop while
the reader thread decodes, each batch dropped after it is counted. Two
loops: the one of the project's replay tool (`brimlet_tools.live.acquire.replay`),
which sleeps 2 ms when a call brings nothing, and a busy loop that never
sleeps. The busy loop takes a few packets per call, so the cost of a call
and the hand-over of each packet between the threads weigh more. The
README's loop calls `get_data_packets(block=True)` until every packet is
in hand. With
"every property read", all fifteen properties of every packet are read too
(the tool's loop). Module, drained after the run: the reader decodes the
whole recording into its queue while Python sleeps, then one
`get_data_packets()` call turns everything into packet objects; the time
counts both. Baseline: the file read in 64 KiB pieces and decoded into
dicts by `BaselineDecoder`.

Every figure is the best of `--repeat` runs (of `--baseline-repeat` for the
slow baseline), timed from before the parser is made to the last packet.

    python bench/replay_bench.py [--megabytes 100] [--repeat 3] [--json]
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from pathlib import Path

import common
from baseline_decoder import BaselineDecoder

import brimlet
from brimlet_tools.live.acquire import POLL_INTERVAL

CHUNK = 64 * 1024


def module_drained_while_running(path: Path, read_properties: bool, busy: bool) -> tuple[int, float, int]:
    """Packets, seconds and calls for a replay whose batches are taken as
    they come: the replay tool's loop, or a `busy` one."""
    names = common.PROPERTY_NAMES
    total = calls = 0
    started = time.perf_counter()
    parser = brimlet.MockParser(path, timeout=1.0)
    parser.start()
    while True:
        # Everything decoded before the flag was seen down is queued, so the
        # batch taken after that is the last.
        running = parser.is_running()
        batch = parser.get_data_packets()
        calls += 1
        total += len(batch)
        if read_properties:
            for packet in batch:
                for name in names:
                    getattr(packet, name)
        if not running:
            break
        if not batch and not busy:
            time.sleep(POLL_INTERVAL)
        del batch
    parser.stop()
    return total, time.perf_counter() - started, calls


def module_blocking(path: Path, expected: int) -> tuple[int, float, int]:
    """Packets, seconds and calls for the README's loop: `get_data_packets(
    block=True)` until every packet is in hand."""
    total = calls = 0
    started = time.perf_counter()
    with brimlet.MockParser(path, timeout=1.0) as parser:
        while total < expected:
            total += len(parser.get_data_packets(block=True))
            calls += 1
    return total, time.perf_counter() - started, calls


def module_drained_after_run(path: Path) -> tuple[int, float, int]:
    """Packets and seconds for a replay that is drained once, at its end."""
    started = time.perf_counter()
    parser = brimlet.MockParser(path, timeout=1.0)
    parser.start()
    while parser.is_running():
        time.sleep(0.001)
    parser.stop()
    batch = parser.get_data_packets()
    seconds = time.perf_counter() - started
    return len(batch), seconds, 1


def baseline(path: Path) -> tuple[int, float, int]:
    """Packets and seconds for the pure-Python decoder over the same file."""
    decoder = BaselineDecoder()
    total = calls = 0
    started = time.perf_counter()
    with path.open("rb") as f:
        while chunk := f.read(CHUNK):
            total += len(decoder.feed(chunk))
            calls += 1
    return total, time.perf_counter() - started, calls


Run = Callable[[], tuple[int, float, int]]


def measure(run: Run, expected: int, repeat: int) -> tuple[float, float]:
    """Best seconds of `repeat` runs of `run`, each checked for every packet,
    and the packets per call of that run."""
    best, per_call = float("inf"), 0.0
    for _ in range(repeat):
        got, seconds, calls = run()
        if got != expected:
            raise SystemExit(f"error: {got} packets, expected {expected}")
        if seconds < best:
            best, per_call = seconds, got / calls
    return best, per_call


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=float, default=100.0)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--baseline-repeat", type=int, default=2)
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD, help="where the recording is kept")
    ap.add_argument("--skip-baseline", action="store_true")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()

    path, expected = common.recording(args.megabytes, args.build)
    runs: dict[str, Run] = {
        "module_while_running": lambda: module_drained_while_running(path, False, False),
        "module_busy_loop": lambda: module_drained_while_running(path, False, True),
        "module_blocking": lambda: module_blocking(path, expected),
        "module_after_run": lambda: module_drained_after_run(path),
        "module_while_running_properties": lambda: module_drained_while_running(path, True, False),
    }
    if not args.skip_baseline:
        runs["baseline"] = lambda: baseline(path)
    results: common.Results = {"bytes": path.stat().st_size, "packets": expected}
    lines = [f"recording: {path.stat().st_size / 1e6:.1f} MB, {expected} packets"]
    for name, run in runs.items():
        repeat = args.baseline_repeat if name == "baseline" else args.repeat
        seconds, per_call = measure(run, expected, repeat)
        results[name] = {"seconds": seconds, "packets_per_second": expected / seconds, "packets_per_call": per_call}
        lines.append(f"{name:34s} {expected / seconds / 1e6:7.3f} M packets/s  "
                     f"{seconds * 1e9 / expected:8.1f} ns/packet  {per_call:8.0f} packets/call")  # fmt: skip
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
