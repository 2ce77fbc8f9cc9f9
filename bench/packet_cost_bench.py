"""Packet object cost: the time to build a batch of packet objects, the time
to read all fifteen properties of every packet, and what recycling packet
memory through the module's free list does to both.

The batches are real `get_data_packets()` results: for every batch a
MockParser replays a small recording of `--batch` packets to its end before
the clock runs, so that the timed call does nothing but turn queued records
into a list of packet objects. Two ways to treat the batches, measured by
this one script in one process, alternating, best of `--repeat`:

* recycled: each batch is dropped before the next is built, so its objects'
  memory goes back to the free list (at most 19 blocks) and to the
  interpreter's allocator, and the next batch is built from it;
* kept: every batch stays alive to the end, so the free list is empty and
  every object takes fresh memory.

Build time is that of the `get_data_packets()` calls alone; read time is the
time of the same loop that also reads every property of every packet, less
the build time. Both are per packet.

    python bench/packet_cost_bench.py [--batch 11 --batch 1100] [--packets 100000] [--json]
"""

from __future__ import annotations

import argparse
import gc
import resource
import tempfile
import time
from pathlib import Path
from typing import Any

import common

import brimlet

MODES = ("recycled", "kept")


def ended_parsers(path: Path, count: int) -> list[brimlet.MockParser]:
    """`count` parsers that have each decoded the whole recording at `path`
    into their queues and have been stopped."""
    parsers = [brimlet.MockParser(path) for _ in range(count)]
    for parser in parsers:
        parser.start()
    for parser in parsers:
        while parser.is_running():
            time.sleep(0.0005)
        parser.stop()
    return parsers


def one_pass(path: Path, batches: int, keep: bool, read: bool) -> tuple[float, int]:
    """Seconds to take one batch from each of `batches` ended parsers (reading
    every property of every packet when `read`), and the packets taken."""
    names = common.PROPERTY_NAMES
    parsers = ended_parsers(path, batches)
    kept: list[list[brimlet.IMUPacket]] = []
    total = 0
    gc.disable()
    started = time.perf_counter()
    for parser in parsers:
        batch = parser.get_data_packets()
        total += len(batch)
        if read:
            for packet in batch:
                for name in names:
                    getattr(packet, name)
        if keep:
            kept.append(batch)
        del batch
    seconds = time.perf_counter() - started
    gc.enable()
    del kept, parsers
    return seconds, total


def measure(path: Path, batch: int, packets: int, repeat: int) -> dict[str, Any]:
    batches = max(1, packets // batch)
    best: dict[tuple[str, bool], float] = {}
    for _ in range(repeat):
        for mode in MODES:
            for read in (False, True):
                seconds, total = one_pass(path, batches, mode == "kept", read)
                if total != batches * batch:
                    raise SystemExit(f"error: {total} packets, expected {batches * batch}")
                per_packet = seconds / total
                key = (mode, read)
                best[key] = min(best.get(key, float("inf")), per_packet)
    result: dict[str, Any] = {"batch": batch, "packets": batches * batch}
    for mode in MODES:
        build = best[(mode, False)]
        result[mode] = {"build_ns": build * 1e9, "read_ns": (best[(mode, True)] - build) * 1e9}
    return result


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--batch", type=int, action="append", help="packets per batch (repeatable; default 11 and 1100)")
    ap.add_argument("--packets", type=int, default=110_000, help="packets per pass")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    sizes = args.batch or [11, 1100]
    # One open recording per parser of a pass.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    need = max(args.packets // size for size in sizes) + 64
    if need > hard:
        raise SystemExit(f"error: {need} open files needed, the limit is {hard}; lower --packets")
    results: common.Results = {"batches": []}
    lines = []
    with tempfile.TemporaryDirectory() as tmp:
        for size in sizes:
            path = common.small_recording(Path(tmp) / f"batch-{size}.bin", size)
            r = measure(path, size, args.packets, args.repeat)
            results["batches"].append(r)
            for mode in MODES:
                lines.append(f"batch {size:5d} {mode:8s} build {r[mode]['build_ns']:6.1f} ns/packet  "
                             f"read all properties {r[mode]['read_ns']:6.1f} ns/packet")  # fmt: skip
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
