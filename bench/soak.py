"""Soak: the module reading the virtual device for a long time.

The command-line tool's virtual device plays the counter stream (every frame
carries its sequence number in place of the pressure or pressure altitude)
at 921600 baud, 1000 raw and 100 estimated frames per second, for `--seconds`
(default: the SOAK_SECONDS environment variable, else 600). A SerialParser
drains it with `get_data_packets(block=True)` and reads every value of every
packet. Checked:

* no packet lost and none out of order: the sequence numbers run without a
  gap and never go back, from the first packet to the last;
* every packet numbered (none decoded into something else);
* the packets came at the stream's rate (within 1% of 1100 per second);
* memory stays flat: resident memory, sampled every `--sample-every`
  seconds, grows by less than `--flat-bytes` (default 2 MiB) from the first
  sample after the warm-up (60 s, or a fifth of a shorter run) to the
  largest sample after it.

Prints the counts and the memory samples; exits with status 1 if a check
fails.

    python bench/soak.py [--seconds 600]
"""

from __future__ import annotations

import argparse
import os
import time

import common

import brimlet
from brimlet_tools.sim import simulator

BAUDRATE = 921600
RAW_RATE = 1000.0
ESTIMATED_RATE = 100.0
RATE = RAW_RATE + ESTIMATED_RATE


def default_seconds() -> float:
    return float(os.environ.get("SOAK_SECONDS") or 600)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=default_seconds())
    ap.add_argument("--sample-every", type=float, default=5.0, metavar="S")
    ap.add_argument("--flat-bytes", type=int, default=2 << 20, metavar="N")
    args = ap.parse_args()
    warmup = min(60.0, args.seconds / 5)
    check = common.SequenceCheck()
    samples: list[tuple[float, int]] = []
    errors: list[str] = []
    names = common.PROPERTY_NAMES
    print(f"soak: {args.seconds:g} s of the virtual device at {BAUDRATE} baud, "
          f"{RAW_RATE:g} raw + {ESTIMATED_RATE:g} estimated packets/s", flush=True)  # fmt: skip
    with common.virtual_device(args.seconds + 10, BAUDRATE, RAW_RATE, ESTIMATED_RATE) as path:
        with brimlet.SerialParser(path, baudrate=BAUDRATE, timeout=1.0) as parser:
            started = time.monotonic()
            cpu_started = time.process_time()
            next_sample = 0.0
            while (elapsed := time.monotonic() - started) < args.seconds:
                try:
                    batch = parser.get_data_packets(block=True)
                except OSError as e:
                    errors.append(f"read failed after {elapsed:.1f} s: {e}")
                    break
                for packet in batch:
                    for name in names:
                        getattr(packet, name)
                    check.see(simulator.counter_of(packet))
                del batch
                if elapsed >= next_sample:
                    samples.append((elapsed, common.rss()))
                    next_sample += args.sample_every
            elapsed = time.monotonic() - started
            cpu = time.process_time() - cpu_started
            samples.append((elapsed, common.rss()))

    after = [rss for t, rss in samples if t >= warmup]
    growth = max(after) - after[0] if after else 0
    rate = check.received / elapsed if elapsed else 0.0
    if check.received == 0:
        errors.append("no packets")
    if check.lost:
        errors.append(f"{check.lost} packets lost")
    if check.out_of_order:
        errors.append(f"{check.out_of_order} packets out of order")
    if check.unnumbered:
        errors.append(f"{check.unnumbered} packets without a sequence number")
    if abs(rate - RATE) > RATE / 100:
        errors.append(f"{rate:.1f} packets/s, not {RATE:g}")
    if growth >= args.flat_bytes:
        errors.append(f"resident memory grew by {growth} bytes after the warm-up (limit {args.flat_bytes})")

    print(f"packets: {check.received} in {elapsed:.1f} s ({rate:.1f}/s), sequence numbers "
          f"{check.first}..{check.last}, lost {check.lost}, out of order {check.out_of_order}, "
          f"unnumbered {check.unnumbered}")  # fmt: skip
    print(f"cpu: {cpu:.2f} s, {100 * cpu / elapsed:.2f}% of one core")
    print(f"memory: resident {samples[0][1] / 2**20:.2f} MiB at start, "
          f"{after[0] / 2**20 if after else 0:.2f} MiB after the {warmup:g} s warm-up, "
          f"largest after it {max(after) / 2**20 if after else 0:.2f} MiB (growth {growth} bytes, "
          f"limit {args.flat_bytes}); {len(samples)} samples")  # fmt: skip
    print("memory samples (s, MiB): " + " ".join(f"{t:.0f}:{rss / 2**20:.2f}" for t, rss in samples))
    for failure in errors:
        print(f"FAIL: {failure}")
    print("soak: " + ("FAILED" if errors else "passed"))
    return 1 if errors else 0


if __name__ == "__main__":
    raise SystemExit(main())
