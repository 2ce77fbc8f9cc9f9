"""The live sample clock (`brimlet_tools.timing.online`, over the native
live clock): what it costs per
packet, and how close its sample times come to the truth on the live
virtual device.

Cost: a minute of a line at 1000 + 100 packets per second (reads every
millisecond or so, now and then a stall of up to 15 ms, one frame in a
thousand lost) fed read by read as packets (`feed`), as the live source's
column batches (`feed_columns`) and as counts (`count`, what `record` and
`monitor` feed); the best of three runs, in µs per packet and as a share of
one core at 1100 packets per second.

Accuracy: the virtual device at 921600 baud (its crystal 50 ppm fast, a few
frames lost) writes each frame's sample time beside its stream while it is
read through a pseudo-terminal, in turn by `brimlet dump --port ...
--sample-times` and by `live(port)` batches through `feed_columns` (both
read a live source, whose batches say where the line lost bytes, and read on
for the clock's delay after the end); after the first second, the errors of the sample times and of the receive
times alone (each after taking away one constant offset), and the missing
packets counted against those lost.

    python bench/online_bench.py [--seconds 20] [--burners 0] [--readers dump,live-source] [--json]
"""

from __future__ import annotations

import argparse
import csv
import multiprocessing
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import common
import numpy as np

from brimlet_tools.timing.online import SampleClock
from brimlet_tools.wire.fields import PACKET_TYPES

RATES = {"raw": 1000, "estimated": 100}
PPM = 50.0
LATE_P99_NS = 2_000_000  # the device fell behind beyond this


def reads(seconds: float, seed: int = 1) -> list[list[SimpleNamespace]]:
    """The packets of a simulated line as a reader on a busy host gets
    them, read by read."""
    rng = random.Random(seed)
    frames = sorted((k / rate, kind) for kind, rate in RATES.items() for k in range(int(seconds * rate)))
    out: list[list[SimpleNamespace]] = []
    now, i = 0.0, 0
    while i < len(frames):
        now = max(now, frames[i][0]) + 20e-6 + rng.expovariate(1 / 15e-6)
        batch = []
        while i < len(frames) and frames[i][0] + 300e-6 <= now:
            if rng.random() > 0.001:
                batch.append(SimpleNamespace(packet_type=frames[i][1], timestamp=round(1.7e18 + now * 1e9)))
            i += 1
        if batch:
            out.append(batch)
        now += rng.expovariate(1 / 1e-3) if rng.random() > 0.02 else rng.uniform(5e-3, 15e-3)
    return out


def cost_us(batches: list[list[SimpleNamespace]]) -> dict[str, float]:
    """µs per packet of each way of feeding the clock, best of three."""
    n = sum(map(len, batches))
    # As a live source gives them: which fields each frame carries, and no byte passed over.
    columns = [{"kind": (kind := np.array([p.packet_type == "estimated" for p in b], np.uint8)),
                "time": np.array([p.timestamp for p in b], np.int64).view("datetime64[ns]"),
                "skipped": np.zeros(len(b), np.uint32), "present": np.where(kind == 1, 0xFE0, 0x1F).astype(np.uint16)}
               for b in batches]  # fmt: skip
    counts = [[(kind, sum(p.packet_type == kind for p in b), b[-1].timestamp) for kind in RATES] for b in batches]

    def packets() -> None:
        clock = SampleClock()
        for b in batches:
            clock.feed(b)
        clock.finish()

    def batched() -> None:
        clock = SampleClock()
        for c in columns:
            clock.feed_columns(c)
        clock.finish_columns()

    def counted() -> None:
        clock = SampleClock()
        for read in counts:
            for kind, k, t in read:
                if k:
                    clock.count(kind, k, t)
        clock.finish()

    out = {}
    for name, run in (("feed", packets), ("feed_columns", batched), ("count", counted)):
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - start)
        out[name] = best / n * 1e6
    return out


def burn(until: float) -> None:
    while time.monotonic() < until:
        pass


def errors_us(values: Any, truth: Any) -> dict[str, float]:
    """p99 and largest of |values - truth| after one offset, in µs."""
    error = values - truth
    error = np.abs(error - np.median(error)) / 1e3
    return {"p99": float(np.percentile(error, 99)), "max": float(error.max())}


def dumped(link: Path, seconds: float, output: Path) -> dict[str, Any]:
    """What `brimlet dump --port ... --sample-times` wrote."""
    subprocess.run([sys.executable, "-m", "brimlet_tools", "dump", "-p", str(link), "-b", "921600", "--seconds",
                    str(seconds), "--sample-times", "--quiet", "-o", str(output)], check=True, env=common.child_env())  # fmt: skip
    with output.open() as f:
        got = list(csv.DictReader(f))
    return {"kind": np.array([r["kind"] for r in got]),
            "index": np.array([int(float(r["scaled_ambient_pressure"] if r["kind"] == "raw" else r["est_pressure_alt"]))
                               for r in got]),
            "sample": np.array([int(r["sample_time"]) for r in got], np.int64),
            "receive": np.array([int(r["time"]) for r in got], np.int64),
            "missing": np.array([int(r["missing_before"]) for r in got])}  # fmt: skip


def streamed(link: Path, seconds: float) -> dict[str, Any]:
    """The batches of `live(port)` through the clock's `feed_columns`, as
    `serve` stamps them: they tell where the line lost bytes."""
    from brimlet_tools.live.stream import live

    clock, parts = SampleClock(), []
    end = time.monotonic() + seconds
    ended_at = None  # the receive time of the end: what comes later only settles what came before
    with live(link, 921600) as stream:
        for batch in stream:
            parts.append(clock.feed_columns(batch))
            if ended_at is None and time.monotonic() >= end:
                ended_at = time.time_ns()
            if time.monotonic() >= end + clock.delay_ns / 1e9:
                break
    parts.append(clock.finish_columns())
    c = {name: np.concatenate([p[name] for p in parts if p is not None]) for name in
         ("kind", "scaled_ambient_pressure", "est_pressure_alt", "sample_time", "time", "missing_before")}  # fmt: skip
    before = c["time"].view(np.int64) <= (ended_at or np.iinfo(np.int64).max)
    c = {name: column[before] for name, column in c.items()}
    kind = np.array(PACKET_TYPES)[c["kind"]]
    return {"kind": kind, "index": np.where(kind == "raw", c["scaled_ambient_pressure"], c["est_pressure_alt"]).astype(np.int64),
            "sample": c["sample_time"].view(np.int64), "receive": c["time"].view(np.int64), "missing": c["missing_before"].astype(np.int64)}  # fmt: skip


READERS = {"dump": "`brimlet dump --port ... --sample-times`",
           "live-source": "`live(port)` batches through `feed_columns` (as `serve` stamps)"}


def live_accuracy(seconds: float, burners: int, reader: str) -> tuple[dict[str, Any], list[str]]:
    tool = [sys.executable, "-m", "brimlet_tools"]
    with tempfile.TemporaryDirectory() as tmp:
        link, output, truth = Path(tmp) / "port", Path(tmp) / "dump.csv", Path(tmp) / "truth.csv"
        device = subprocess.Popen(
            [*tool, "virtual-device", "--seconds", str(seconds + 4), "--counter", "--baudrate", "921600",
             "--link", str(link), "--truth", str(truth), "--clock-ppm", str(PPM), "--drop-rate", "0.001",
             "--damage-rate", "0.001", "--quiet"],
            stdout=subprocess.PIPE, text=True, env=common.child_env(),
        )  # fmt: skip
        assert device.stdout is not None and device.stdout.readline().strip() == str(link)
        until = time.monotonic() + seconds + 2
        busy = [multiprocessing.Process(target=burn, args=(until,)) for _ in range(burners)]
        for b in busy:
            b.start()
        got = dumped(link, seconds, output) if reader == "dump" else streamed(link, seconds)
        device.wait()
        for b in busy:
            b.join()
        with truth.open() as f:
            sent = list(csv.DictReader(f))
    kinds = np.array([r["kind"] for r in sent])
    sampled = np.array([int(r["sample_time_ns"]) for r in sent], np.int64)
    faulty = np.array([r["fault"] != "" for r in sent])
    late = np.array([int(r["late_ns"]) for r in sent])
    kind, index, sample, receive, missing = (got[name] for name in ("kind", "index", "sample", "receive", "missing"))
    late_p99 = float(np.percentile(late, 99))
    results: dict[str, Any] = {"reader": reader, "seconds": seconds, "burners": burners, "packets": len(kind),
                               "device_late_p99_us": late_p99 / 1e3, "device_fell_behind": late_p99 > LATE_P99_NS}  # fmt: skip
    lines = [f"live, {READERS[reader]}: {len(kind)} packets in {seconds:g} s, {burners} burners; the device itself late by up to "
             f"{results['device_late_p99_us']:.0f} µs (p99)"
             + (" (it fell behind: these figures are not valid)" if results["device_fell_behind"] else "")]  # fmt: skip
    for name in RATES:
        rows = kind == name
        settled = rows & (sample >= sample[rows][0] + 1_000_000_000)
        lost = np.cumsum(faulty & (kinds == name))
        # A packet counted right has as many packets missing before it as
        # were lost, counted from the first packet after the port's first
        # read (whose packets came at once and can hide a gap): where a gap
        # among packets that came in one read was put a packet or two early,
        # those between are not.
        first = int((np.diff(receive[rows]) > 1e9 / RATES[name] / 2).argmax()) + 1
        frames = index[rows]
        counted = np.cumsum(missing[rows]) - np.cumsum(missing[rows])[first] - (lost[frames] - lost[frames[first]])
        counted[:first] = 0
        right = np.zeros(len(kind), bool)
        right[np.flatnonzero(rows)] = counted == 0
        r = {
            "sample_time_us": errors_us(sample[settled], sampled[index[settled]]),
            "counted_right_us": errors_us(sample[settled & right], sampled[index[settled & right]]),
            "counted_right": float((counted == 0).mean()),
            "receive_time_us": errors_us(receive[settled], sampled[index[settled]]),
            "missing": int(missing[rows].sum()), "lost": int(lost[index[rows][-1]] - lost[index[rows][0]]),
        }  # fmt: skip
        results[name] = r
        lines.append(f"{name:9s} sample_time p99 {r['sample_time_us']['p99']:.1f} µs, max "
                     f"{r['sample_time_us']['max']:.1f} µs ({100 * r['counted_right']:.2f}% of packets counted "
                     f"right: max {r['counted_right_us']['max']:.1f} µs); receive time p99 "
                     f"{r['receive_time_us']['p99']:.1f} µs, max {r['receive_time_us']['max']:.1f} µs; "
                     f"missing {r['missing']} of {r['lost']} lost")  # fmt: skip
    return results, lines


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20.0, help="of the live run")
    ap.add_argument("--burners", type=int, default=0, help="busy processes beside the live run")
    ap.add_argument("--readers", type=lambda text: text.split(","), default=list(READERS),
                    help=f"of the live runs, in turn ({', '.join(READERS)})")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    batches = reads(60.0)
    cost = cost_us(batches)
    results: common.Results = {"cost_us_per_packet": cost}
    lines = [f"cost per packet: {', '.join(f'{k} {v:.2f} µs' for k, v in cost.items())}; at 1100 packets/s "
             f"feed takes {cost['feed'] * 1100 / 1e4:.2f}% of a core, feed_columns "
             f"{cost['feed_columns'] * 1100 / 1e4:.2f}%"]  # fmt: skip
    for reader in args.readers:
        live, said = live_accuracy(args.seconds, args.burners, reader)
        results[f"live_{reader}"] = live
        lines += said
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
