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

    python bench/sample_time_bench.py [--seconds 60] [--burners 1]
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
from pathlib import Path
from typing import Any

import common
import numpy as np

from brimlet_tools.recordings.recording import load

RATES = {"raw": 1000, "estimated": 100}
PPM = 50.0
FAULT_RATE = 0.001  # of frames dropped, and as many damaged
LATE_P99_NS = 2_000_000  # the device fell behind beyond this
DEVICE_NICE = -10


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


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--burners", type=int, default=1, help="busy processes beside the run")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
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
