"""End-to-end replay benchmark: a 100 MB recording through MockParser into
Python lists of IMUPacket objects.

Prints packets per second and nanoseconds per packet, once for making the
packet objects only and once with every property of every packet read.

    python bench/replay_bench.py [--megabytes 100] [--repeat 3]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "python"))

import brimlet  # noqa: E402
from brimlet_tools import frames  # noqa: E402

PROPERTIES = (
    "packet_type", "timestamp", "invalid_fields", "scaled_accel", "scaled_gyro", "delta_vel",
    "delta_theta", "scaled_ambient_pressure", "est_pressure_alt", "est_orient_quaternion",
    "est_attitude_uncert_quaternion", "est_angular_rate", "est_compensated_accel",
    "est_linear_accel", "est_gravity_vector",
)


def one_second() -> tuple[bytes, int]:
    """A second of a device stream: raw frames at 1000 Hz, estimated at 100 Hz."""
    out = bytearray()
    count = 0
    for k in range(1000):
        t = k / 1000
        out += frames.raw_frame(
            scaled_accel=[0.01 * t, -0.02, -9.81], scaled_gyro=[0.001, 0.002 * t, 0.003],
            delta_theta=[1e-6, 2e-6, 3e-6], delta_vel=[1e-5, 2e-5, -9.81e-3],
            scaled_ambient_pressure=1013.25 - t)
        count += 1
        if k % 10 == 0:
            out += frames.estimated_frame(
                est_orient_quaternion=[1, 0, 0, 0], est_linear_accel=[0.1, 0.2, 0.3],
                est_angular_rate=[0.01, 0.02, 0.03], est_attitude_uncert_quaternion=[0.01] * 4,
                est_gravity_vector=[0, 0, -9.80665], est_compensated_accel=[0, 0, -9.81],
                est_pressure_alt=t)
            count += 1
    return bytes(out), count


def write_recording(path: Path, megabytes: int) -> int:
    block, per_block = one_second()
    blocks = max(1, megabytes * 1_000_000 // len(block))
    with path.open("wb") as f:
        for _ in range(blocks):
            f.write(block)
    return blocks * per_block


def replay(path: Path, read_properties: bool) -> tuple[int, float]:
    """Replays the recording, draining while it runs; returns (packets, seconds)."""
    total = 0
    started = time.perf_counter()
    parser = brimlet.MockParser(str(path), timeout=1.0)
    parser.start()
    while True:
        running = parser.is_running()
        batch = parser.get_data_packets()
        total += len(batch)
        if read_properties:
            for packet in batch:
                for name in PROPERTIES:
                    getattr(packet, name)
        del batch
        if not running:
            break
    parser.stop()
    return total, time.perf_counter() - started


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megabytes", type=int, default=100)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "stream.bin"
        expected = write_recording(path, args.megabytes)
        size = os.path.getsize(path)
        print(f"recording: {size / 1e6:.1f} MB, {expected} frames")
        for label, read in (("packets into lists", False), ("with every property read", True)):
            best = None
            for _ in range(args.repeat):
                got, seconds = replay(path, read)
                if got != expected:
                    print(f"error: {got} packets, expected {expected}", file=sys.stderr)
                    return 1
                best = seconds if best is None else min(best, seconds)
            assert best is not None
            print(f"{label:26s} {expected / best / 1e6:6.2f} M packets/s  {best * 1e9 / expected:7.1f} ns/packet")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
