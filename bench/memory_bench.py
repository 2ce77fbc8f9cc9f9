"""Memory: what a queued packet costs while nobody drains, what a packet held
as a Python object costs, and the peak resident memory of a replay of the
100 MB recording. Each measurement runs in a fresh interpreter of its own,
so that one does not inherit another's heap.

* `queued`: a MockParser replays the whole recording while Python does not
  drain it; the resident memory gained by then, divided by the packets,
  is the cost of one queued packet (the record in the channel). Then one
  `get_data_packets()` turns the queue into packet objects in a list: the
  memory gained by that, per packet, is the cost of one packet object (the
  queue's memory, freed meanwhile, stays resident: the C library keeps it
  for later allocations). Then the list is dropped, and what is still
  resident is noted. The peak (ru_maxrss) is that of the whole process.
* `while-running`: the same replay drained while it runs by the loop of the
  project's replay tool (see `replay_bench.py`), batches dropped; its peak
  is what a consumer that keeps up needs. How far the queue grows
  meanwhile depends on how the two threads are scheduled, so this runs
  `--runs` times and the largest peak is reported.
* `baseline`: the pure-Python decoder keeping the dicts of the first
  `--baseline-packets` packets; resident memory gained per packet.

    python bench/memory_bench.py [--megabytes 100] [--json]
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import common
import replay_bench
from baseline_decoder import BaselineDecoder, Packet

MODES = ("queued", "while-running", "baseline")


def queued(path: Path, expected: int) -> dict[str, Any]:
    import brimlet

    parser = brimlet.MockParser(path, timeout=1.0)
    start_rss = common.rss()
    start_peak = common.peak_rss()
    parser.start()
    while parser.is_running():
        time.sleep(0.01)
    parser.stop()
    queued_rss = common.rss()
    batch = parser.get_data_packets()
    held_rss = common.rss()
    if len(batch) != expected:
        raise SystemExit(f"error: {len(batch)} packets, expected {expected}")
    del batch
    dropped_rss = common.rss()
    return {
        "packets": expected,
        "start_rss": start_rss,
        "start_peak": start_peak,
        "queued_bytes_per_packet": (queued_rss - start_rss) / expected,
        # The queue's blocks go back to the system while the objects are made,
        # so the objects are what dropping the list gives back.
        "objects_bytes_per_packet": (held_rss - dropped_rss) / expected,
        "held_rss": held_rss,
        "dropped_rss": dropped_rss,
        "peak_rss": common.peak_rss(),
    }


def while_running(path: Path, expected: int) -> dict[str, Any]:
    start_rss = common.rss()
    total, _seconds, _calls = replay_bench.module_drained_while_running(path, False, False)
    if total != expected:
        raise SystemExit(f"error: {total} packets, expected {expected}")
    return {"packets": total, "start_rss": start_rss, "peak_rss": common.peak_rss()}


def baseline(path: Path, keep: int) -> dict[str, Any]:
    decoder = BaselineDecoder()
    held: list[Packet] = []
    start_rss = common.rss()
    with path.open("rb") as f:
        while len(held) < keep and (chunk := f.read(64 * 1024)):
            held += decoder.feed(chunk)
    return {"packets": len(held), "held_bytes_per_packet": (common.rss() - start_rss) / len(held)}


def run_mode(mode: str, args: argparse.Namespace) -> dict[str, Any]:
    """Runs one mode in a fresh interpreter and returns its results."""
    command = [sys.executable, __file__, "--mode", mode, "--megabytes", f"{args.megabytes:g}",
               "--build", str(args.build), "--baseline-packets", str(args.baseline_packets), "--json"]  # fmt: skip
    out = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    result: dict[str, Any] = json.loads(out.strip().splitlines()[-1])
    return result


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=float, default=100.0)
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD)
    ap.add_argument("--baseline-packets", type=int, default=200_000)
    ap.add_argument("--runs", type=int, default=3, help="replays drained while running (default %(default)s)")
    ap.add_argument("--mode", choices=MODES, help="one measurement, in this process")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    path, expected = common.recording(args.megabytes, args.build)
    if args.mode == "queued":
        results = queued(path, expected)
    elif args.mode == "while-running":
        results = while_running(path, expected)
    elif args.mode == "baseline":
        results = baseline(path, args.baseline_packets)
    else:
        results = {mode: run_mode(mode, args) for mode in MODES}
        # How far the queue grows while it is drained depends on how the two
        # threads happen to be scheduled: a few runs, the largest peak kept.
        runs = [results["while-running"]] + [run_mode("while-running", args) for _ in range(args.runs - 1)]
        results["while-running"] = max(runs, key=lambda r: r["peak_rss"])
        results["while-running"]["runs_peak_rss"] = [r["peak_rss"] for r in runs]
    lines = [f"{k}: {v}" for k, v in results.items()]
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
