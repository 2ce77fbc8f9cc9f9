"""Sample times against the truth: the virtual device at 921600 baud (raw
1000 Hz, estimated 100 Hz, its crystal 50 ppm fast, a few frames lost) writes
each frame's sample time beside its stream; `brimlet record` captures it
through a pseudo-terminal, `load` fits the sample times, and the errors of
`sample_time` and of the receive time alone (each after taking away one
constant offset) are compared, with CPU burners loading the machine. Also:
the fitted rate against the crystal's, and the packets counted missing
against those the device lost. The device notes how late it sent each frame;
when it fell behind (99th percentile over 2 ms) the figures measure its
pacing, not the fit, and the results say so (`device_fell_behind`). The
device runs at a raised priority where the user may raise it (it stands for
hardware of its own); `record` and the burners at the usual one.

With `--links`, the link model instead (`brimlet_tools.sim.links`, in
process, the same on any machine): one row per link and event of a real
day, `load`'s errors beside those of a plain reference (the lower hull of
each 60 s window of (the device's own frame index, receive time): what the
floor gives when every gap is known) and of the receive time alone; and the
live clock stage's (`ClockStage`, fed read by read as a live source's
batches, with the boot clock beside each receive time, half a second
behind), and where its gap counts differ from
`load`'s for packets before the recording's last second. Errors per kind after one constant offset, packets after the
first second, in µs; for recordings of three minutes or more, the live
clock's also after the first 90 s, once its window holds the phase wraps
of a link on the USB frames.

    python bench/sample_time_bench.py [--seconds 60] [--burners 1]
    python bench/sample_time_bench.py --links [--minutes 60]
"""

from __future__ import annotations

import argparse
import csv
import multiprocessing
import os
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path
from typing import Any

import common
import numpy as np

from brimlet_tools.files.receive_times import TimesWarning, TimesWriter, companion_path
from brimlet_tools.recordings.recording import load
from brimlet_tools.sim.links import Delivered, Link, deliver
from brimlet_tools.sim.simulator import StreamConfig
from brimlet_tools.timing.stage import ClockStage

RATES = {"raw": 1000, "estimated": 100}
PPM = 50.0
FAULT_RATE = 0.001  # of frames dropped, and as many damaged
LATE_P99_NS = 2_000_000  # the device fell behind beyond this
DEVICE_NICE = -10
WALL_STEP_CASE = "the wall clock is set on an hour half-way"
WALL_STEP_NS = 3_600_000_000_000
SETTLED_S = 90  # the live window holds a few of the USB frames' phase wraps (33 s at 30 ppm) by then


def burn(until: float) -> None:
    while time.monotonic() < until:
        pass


def ahead_of_the_host() -> None:
    """Raises the virtual device's priority where allowed: it stands for a
    device with a processor of its own, which the host's load never slows."""
    try:
        os.nice(DEVICE_NICE)
    except OSError:
        pass


def errors_us(values: Any, truth: Any) -> dict[str, float]:
    """p99 and largest of |values - truth| after one offset, in µs."""
    error = values - truth
    error = np.abs(error - np.median(error)) / 1e3
    return {"p99": float(np.percentile(error, 99)), "max": float(error.max())}


REFERENCE_WINDOW_NS = 60_000_000_000


def lower_hull_line(x: Any, y: Any) -> tuple[float, float]:
    """The line (slope, value at 0) of the lower hull's edge that spans the mean x."""
    hull: list[int] = []
    for i in range(len(x)):
        while len(hull) >= 2:
            a, b = hull[-2], hull[-1]
            if (y[b] - y[a]) * (x[i] - x[a]) >= (y[i] - y[a]) * (x[b] - x[a]):
                hull.pop()
            else:
                break
        hull.append(i)
    if len(hull) == 1:
        return 0.0, float(y[hull[0]])
    mean = float(np.mean(x))
    k = max(1, min(int(np.searchsorted([x[h] for h in hull], mean)), len(hull) - 1))
    a, b = hull[k - 1], hull[k]
    slope = float(y[b] - y[a]) / float(x[b] - x[a])
    return slope, float(y[a]) - slope * float(x[a])


def reference(frame: Any, time: Any) -> Any:
    """The plain reference fit of one kind: per 60 s window, the lower hull
    of (frame index, receive time), the window's packets put on its line."""
    out = np.empty(len(time), np.int64)
    start = 0
    while start < len(time):
        end = int(np.searchsorted(time, time[start] + REFERENCE_WINDOW_NS))
        x, y = frame[start:end].astype(np.int64), time[start:end] - time[start]
        slope, at = lower_hull_line(x.tolist(), y.tolist()) if end - start > 1 else (0.0, 0.0)
        out[start:end] = time[start] + np.floor(at + slope * x).astype(np.int64)
        start = end
    return out


def live_clock(c: dict[str, Any], skipped: Any, reads: list[tuple[int, int, int]],
               frame_end: Any) -> tuple[Any, Any, ClockStage]:  # fmt: skip
    """The sample times and gaps the live clock stage gives, and the stage,
    fed read by read with the columns a live source gives: each packet
    stamped with its read's wall and boot clocks."""
    stage = ClockStage(delay=0.5)
    ends = np.array([end for end, _, _ in reads], np.uint64)
    cuts = np.searchsorted(frame_end, ends, side="right")
    read_of = np.searchsorted(ends, frame_end)
    wall, boot = (np.array([r[k] for r in reads], np.int64)[read_of] for k in (1, 2))
    sample, missing, start = [], [], 0
    for cut in [*np.unique(cuts).tolist(), len(c["kind"]), None]:
        if cut is not None and cut <= start:
            continue
        if cut is None:
            out = stage.finish()
        else:
            out = stage.push({"kind": c["kind"][start:cut], "time": wall[start:cut].view("datetime64[ns]"),
                              "skipped": skipped[start:cut], "present": c["present"][start:cut],
                              "boot": boot[start:cut]})  # fmt: skip
            start = cut
        if out is not None:
            sample.append(out["sample_time"].view(np.int64))
            missing.append(out["missing_before"])
    return np.concatenate(sample), np.concatenate(missing), stage


RATES_OF = {"raw": lambda config: config.raw_rate, "estimated": lambda config: config.estimated_rate}


def link_cases(minutes: float) -> dict[str, tuple[StreamConfig, Link]]:
    """What happened on the line, and the stream and link it happened on."""
    ppm = StreamConfig(seconds=60, seed=3, clock_ppm=30)
    warm = (30.0, 70.0, 720.0)
    return {
        "polled UART": (ppm, Link("polled")),
        "UART, 16-byte FIFO": (ppm, Link("fifo16")),
        "converter, 62-byte chunks, 1 ms timer": (ppm, Link("chunk62-1ms")),
        "converter, 16 ms timer, raw only at 200 Hz": (StreamConfig(seconds=60, seed=3, clock_ppm=30, raw_rate=200,
                                                                    estimated_rate=0), Link("chunk62-16ms")),  # fmt: skip
        "500 Hz raw + 50 Hz estimated, converter 1 ms": (StreamConfig(seconds=60, seed=3, clock_ppm=30, raw_rate=500,
                                                                      estimated_rate=50), Link("chunk62-1ms")),  # fmt: skip
        "native USB (1 ms frames), crystal 30 ppm slow": (StreamConfig(seconds=300, seed=3, clock_ppm=-30),
                                                          Link("usb1ms")),  # fmt: skip
        "the line loses 1000 frames in one stretch": (ppm, Link("polled", losses=((20.0, 1000),))),
        "the line loses 1 frame, and 10": (ppm, Link("polled", losses=((20.0, 1), (40.0, 10)))),
        "the device sends nothing for 1 s": (ppm, Link("polled", pauses=((30.0, 1.0),))),
        WALL_STEP_CASE: (ppm, Link("polled")),
        "the device skips 10 frames": (ppm, Link("polled", pauses=((30.0, 0.0099),))),
        "the device skips 1 frame in 97": (ppm, Link("polled", skip_every=97)),
        "the device skips 1 frame in 97, converter 1 ms": (ppm, Link("chunk62-1ms", skip_every=97)),
        "crystal warming 30 to 70 ppm over 12 min": (StreamConfig(seconds=720, seed=3), Link("polled", warm=warm)),
        f"{minutes:g} min with that warm-up": (StreamConfig(seconds=60 * minutes, seed=3), Link("polled", warm=warm)),
    }


def clocks(name: str, reads: list[tuple[int, int]]) -> list[tuple[int, int, int]]:
    """Each read's (end, wall clock, boot clock): the model's one clock is
    both, but in the wall-clock-step case, whose wall clock is set on an hour
    half-way."""
    if name != WALL_STEP_CASE:
        return [(end, t, t) for end, t in reads]
    at = reads[len(reads) // 2][1]
    return [(end, t + (WALL_STEP_NS if t >= at else 0), t) for end, t in reads]


def link_row(name: str, config: StreamConfig, link: Link, folder: Path) -> dict[str, Any]:
    got: Delivered = deliver(config, link)
    path = folder / "link.bin"
    path.write_bytes(got.data)
    reads = clocks(name, got.reads)
    with TimesWriter(companion_path(path)) as writer:
        start = 0
        for end, t, boot in reads:
            writer.add(got.data[start:end], t, boot)
            start = end
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TimesWarning)  # the stepped wall clock, said once: known here
        loaded = load(path)
    c = loaded.columns
    truth, truly_missing = np.array(got.truth, np.int64), np.array(got.missing)
    live_sample, live_missing, stage = live_clock(c, loaded.scan.skipped, reads, loaded.scan.end)
    read_of = np.searchsorted(np.array([end for end, _ in got.reads]), loaded.scan.end.astype(np.int64))
    row: dict[str, Any] = {}
    for code, kind in enumerate(RATES):
        of_kind = c["kind"] == code
        if not of_kind.any():
            continue
        keep = truth[of_kind] >= truth[0] + 10**9
        settled = truth[of_kind] >= truth[0] + SETTLED_S * 10**9
        frame = np.cumsum(truly_missing[of_kind] + 1)
        time = c["time"][of_kind].view(np.int64)

        def errors(values: Any) -> dict[str, float]:
            return errors_us(values[keep], truth[of_kind][keep])

        said, truly, live_said = c["missing_before"][of_kind], truly_missing[of_kind], live_missing[of_kind]
        # Packets a half period or more off in no read of a gap: one that holds
        # a packet after a gap, or came late enough to hold the frame that
        # never came (its receive time cannot tell which side of the gap a
        # packet of it lies). Nothing excuses the others.
        period = 1e9 / RATES_OF[kind](config)
        error = c["sample_time"][of_kind].view(np.int64) - truth[of_kind]
        off = np.abs(error - np.median(error)) >= period / 2
        reads = read_of[of_kind]
        excused = np.isin(reads, reads[truly > 0])
        after_gap = np.nonzero(truly > 0)[0]
        if len(after_gap):
            index = np.arange(len(time))
            g = after_gap[np.minimum(np.searchsorted(after_gap, index, side="right"), len(after_gap) - 1)]
            first_lost = truth[of_kind][g] - truly[g] * period
            quickest = (time - truth[of_kind]).min()
            excused |= (g > index) & (time >= first_lost + quickest)
        row[kind] = {
            "load_us": errors(c["sample_time"][of_kind].view(np.int64)),
            "reference_us": errors(reference(frame, time)),
            "receive_time_us": errors(time),
            "live_us": errors(live_sample[of_kind]),
            # Once the live window has held the USB frames' phase wraps (the
            # longer recordings only).
            "live_settled_us": (errors_us(live_sample[of_kind][settled], truth[of_kind][settled])
                                if config.seconds >= 2 * SETTLED_S else None),  # fmt: skip
            "lost": int(truly.sum()), "counted": int(said.sum()), "live_counted": int(live_said.sum()),
            "missing_right": float((said == truly).mean()), "live_missing_right": float((live_said == truly).mean()),
            "live_differs": int((live_said != said)[time <= time[-1] - 10**9].sum()),
            "clock_steps": loaded.fits[kind].clock_steps, "live_clock_steps": stage.stats(kind).clock_steps,
            "rate_hz": loaded.fits[kind].rate,
            "off_a_period": int(off.sum()), "off_outside_gap_reads": int((off & ~excused).sum()),
        }  # fmt: skip
    return row


def links_main(args: argparse.Namespace) -> int:
    results: common.Results = {"minutes": args.minutes, "links": {}}
    lines = ["per kind: load p99/max | reference p99/max | receive time p99/max | live p99/max (µs); "
             "lost: counted by load, by the live clock"]  # fmt: skip
    with tempfile.TemporaryDirectory() as tmp:
        for name, (config, link) in link_cases(args.minutes).items():
            row = results["links"][name] = link_row(name, config, link, Path(tmp))
            parts = []
            for kind, r in row.items():
                figures = " | ".join(f"{r[k]['p99']:.1f}/{r[k]['max']:.1f}"
                                     for k in ("load_us", "reference_us", "receive_time_us", "live_us"))  # fmt: skip
                if r["live_settled_us"] is not None:
                    figures += f" (after {SETTLED_S} s: {r['live_settled_us']['p99']:.1f}/{r['live_settled_us']['max']:.1f})"
                parts.append(f"{kind} {figures}; lost {r['lost']}: {r['counted']}, {r['live_counted']}"
                             + (f" ({r['live_differs']} packets' counts differ)" if r["live_differs"] else "")
                             + (f", {r['clock_steps']} clock steps" if r["clock_steps"] else "")
                             + (f", {r['live_clock_steps']} live" if r["live_clock_steps"] else "")
                             + (f"; {r['off_a_period']} a period off, {r['off_outside_gap_reads']} outside "
                                "the reads of a gap" if r["off_a_period"] else ""))  # fmt: skip
            lines.append(f"{name}: " + "; ".join(parts))
            if not args.json:
                print(lines[-1], flush=True)
    if args.json:
        common.emit(results, True, lines)
    return 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--burners", type=int, default=1, help="busy processes beside the run")
    ap.add_argument("--links", action="store_true", help="the link model's table instead")
    ap.add_argument("--minutes", type=float, default=60.0, help="the long warm-up recording of the link table")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    if args.links:
        return links_main(args)
    tool = [sys.executable, "-m", "brimlet_tools"]
    with tempfile.TemporaryDirectory() as tmp:
        link, output, truth = Path(tmp) / "port", Path(tmp) / "capture.bin", Path(tmp) / "truth.csv"
        device = subprocess.Popen(
            [*tool, "virtual-device", "--seconds", str(args.seconds + 4), "--counter", "--baudrate", "921600",
             "--link", str(link), "--truth", str(truth), "--clock-ppm", str(PPM), "--drop-rate", str(FAULT_RATE),
             "--damage-rate", str(FAULT_RATE), "--quiet"],
            stdout=subprocess.PIPE, text=True, env=common.child_env(), preexec_fn=ahead_of_the_host,
        )  # fmt: skip
        assert device.stdout is not None and device.stdout.readline().strip() == str(link)
        until = time.monotonic() + args.seconds + 2
        burners = [multiprocessing.Process(target=burn, args=(until,)) for _ in range(args.burners)]
        for b in burners:
            b.start()
        subprocess.run([*tool, "record", "-p", str(link), "-o", str(output), "-b", "921600", "--seconds",
                        str(args.seconds), "--quiet"], check=True, env=common.child_env())  # fmt: skip
        device.wait()
        for b in burners:
            b.join()
        with truth.open() as f:
            rows = list(csv.DictReader(f))
        kinds = np.array([r["kind"] for r in rows])
        sampled = np.array([int(r["sample_time_ns"]) for r in rows], np.int64)
        faulty = np.array([r["fault"] != "" for r in rows])
        late = np.array([int(r["late_ns"]) for r in rows], np.int64)
        loaded = load(output)
    c = loaded.columns
    index = np.where(c["kind"] == 0, c["scaled_ambient_pressure"], c["est_pressure_alt"]).astype(np.int64)
    late = late[index.min():index.max() + 1]  # the frames sent while `record` read
    late_p99 = float(np.percentile(late, 99))
    results: common.Results = {
        "seconds": args.seconds, "burners": args.burners, "packets": len(loaded), "clock_ppm": PPM,
        "fault_rate": FAULT_RATE, "device_late_p99_ms": late_p99 / 1e6, "device_late_max_ms": float(late.max()) / 1e6,
        "device_fell_behind": late_p99 > LATE_P99_NS,
    }  # fmt: skip
    lines = [f"{len(loaded)} packets in {args.seconds:g} s, {args.burners} burners; the device sent its frames "
             f"late by {late_p99 / 1e6:.2f} ms at the 99th percentile"
             + (" (it fell behind: these figures are not valid)" if results["device_fell_behind"] else "")]  # fmt: skip
    for code, kind in enumerate(RATES):
        rows_ = c["kind"] == code
        frames = index[rows_]
        lost = np.cumsum(faulty & (kinds == kind))
        truth_missing = np.diff(lost[frames])
        counted = c["missing_before"][rows_][1:]
        fit = loaded.fits[kind]
        r = {
            "sample_time_us": errors_us(c["sample_time"][rows_].view(np.int64), sampled[frames]),
            "receive_time_us": errors_us(c["time"][rows_].view(np.int64), sampled[frames]),
            "rate_error_ppm": ((fit.rate or 0) / (RATES[kind] * (1 + PPM * 1e-6)) - 1) * 1e6,
            "missing_right": float((counted == truth_missing).mean()),
            "lost": int(truth_missing.sum()),
            "counted": int(counted.sum()),
            "false_gaps": int((counted > truth_missing).sum()),
        }
        results[kind] = r
        lines.append(f"{kind:9s} sample_time p99 {r['sample_time_us']['p99']:.1f} µs, max "
                     f"{r['sample_time_us']['max']:.1f} µs; receive time p99 {r['receive_time_us']['p99']:.1f} "
                     f"µs, max {r['receive_time_us']['max']:.1f} µs; rate {r['rate_error_ppm']:+.2f} ppm; "
                     f"{r['counted']} of {r['lost']} lost counted, missing_before right for "
                     f"{100 * r['missing_right']:.2f}%")  # fmt: skip
    common.emit(results, args.json, lines)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
