"""A 600 s recording exported to each format: seconds and bytes, beside the
CSV that `dump` writes packet by packet (as for a live port) and the CSV it
wrote before (every value as the seventeen digits of its double-precision
widening, packet by packet).

The recording is the simulated device at 1000 raw and 100 estimated
packets per second with the line faults of the bundled sample, made once
and kept in the build directory. The seconds of a format are the best of
`--repeat` runs of `brimlet_tools.export.export` on the loaded recording;
the load itself is timed apart.

    python bench/export_bench.py [--seconds 600] [--repeat 2]
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import shutil
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import common

from brimlet_tools.export import export
from brimlet_tools.live.acquire import replay
from brimlet_tools.recordings.formats import PREVIOUS_COLUMNS, PacketWriter
from brimlet_tools.recordings.recording import load
from brimlet_tools.sim import simulator
from brimlet_tools.wire.fields import DATA_FIELDS, field_values

OUTPUTS = ("flight.parquet", "flight.h5", "flight.mcap", "flight.db3", "flight.csv", "flight.jsonl")


def flight(seconds: float, build: Path) -> Path:
    """The recording of `seconds` of the simulated device, made once."""
    path = build / "recordings" / f"export-{seconds:g}s-seed{common.RECORDING_CONFIG.seed}.bin"
    if not path.is_file():
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        partial.write_bytes(simulator.stream_bytes(dataclasses.replace(common.RECORDING_CONFIG, seconds=seconds)))
        partial.replace(path)
    return path


def old_csv(recording: Path, output: Path) -> None:
    """The CSV as `dump --format csv` wrote it before: `repr` of each value."""
    with output.open("w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(PREVIOUS_COLUMNS)
        for packet in replay(recording):
            row = [packet.packet_type, str(packet.timestamp), packet.invalid_fields or ""]
            for f in DATA_FIELDS:
                values = field_values(packet, f.name)
                row.extend([""] * f.width if values is None else map(repr, values))
            writer.writerow(row)


def packet_csv(recording: Path, output: Path) -> None:
    """The CSV as `dump` writes a port's packets: one at a time, as they come."""
    with output.open("w", newline="") as out:
        writer = PacketWriter(out, "csv")
        for packet in replay(recording):
            writer.write(packet)


def size(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*")) if path.is_dir() else path.stat().st_size


def timed(run: Callable[[], object]) -> float:
    started = time.perf_counter()
    run()
    return time.perf_counter() - started


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=600.0, help="length of the recording")
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--build", type=Path, default=common.DEFAULT_BUILD, help="where the recording is kept")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()

    path = flight(args.seconds, args.build)
    path.read_bytes()  # warm
    load_seconds = common.best_of(args.repeat, lambda: timed(lambda: load(path)))
    recording = load(path)
    results: common.Results = {"seconds_recorded": args.seconds, "bytes": path.stat().st_size,
                               "packets": len(recording), "load_seconds": load_seconds, "formats": {}}  # fmt: skip
    lines = [f"recording: {args.seconds:g} s, {path.stat().st_size} bytes, {len(recording)} packets; "
             f"load {load_seconds:.2f} s"]  # fmt: skip
    with tempfile.TemporaryDirectory(dir=args.build) as scratch:
        work = Path(scratch)

        def once(name: str) -> float:
            out = work / name
            for leftover in (out, out.with_suffix("")):
                shutil.rmtree(leftover, ignore_errors=True) if leftover.is_dir() else leftover.unlink(missing_ok=True)
            return timed(lambda: export(recording, out))

        for name in OUTPUTS:
            seconds = common.best_of(args.repeat, lambda: once(name))
            written = work / name if not name.endswith((".mcap", ".db3")) else work / Path(name).stem
            results["formats"][name] = {"seconds": seconds, "bytes": size(written)}
            lines.append(f"{name:16s} {seconds:6.2f} s  {size(written):>11} bytes")
        # The packets of the recording as a port's come: decoded by MockParser,
        # written one at a time (the replay's own time included).
        one_by_one = work / "packets.csv"
        seconds = timed(lambda: packet_csv(path, one_by_one))
        results["formats"]["CSV packet by packet"] = {"seconds": seconds, "bytes": one_by_one.stat().st_size}
        lines.append(f"{'CSV packet by packet':16s} {seconds:6.2f} s  {one_by_one.stat().st_size:>11} bytes")
        old = work / "old.csv"
        seconds = timed(lambda: old_csv(path, old))
        results["old_csv"] = {"seconds": seconds, "bytes": old.stat().st_size}
        lines.append(f"{'CSV before':16s} {seconds:6.2f} s  {old.stat().st_size:>11} bytes")
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
