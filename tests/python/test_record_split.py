"""`record` split into parts by time or by size: each part a recording of
its own, cut between frames, with its receive times; nothing lost or doubled
across the cuts."""

from __future__ import annotations

import os
import signal
import time
from pathlib import Path

import pytest

from brimlet_tools import load
from brimlet_tools.sim.simulator import StreamConfig, simulate
from conftest import run_cli, start_record, wait_for_size

np = pytest.importorskip("numpy")

CONFIG = StreamConfig(seconds=2.5, raw_rate=200, estimated_rate=20, seed=6)


@pytest.mark.parametrize("split, parts", [(("--split-seconds", "1"), range(3, 5)), (("--split-size", "8k"), range(3, 12))])
def test_a_split_recording_holds_every_packet_once_in_parts_that_decode_whole(
    split: tuple[str, str], parts: range, pty_pair, tmp_path: Path
) -> None:
    master, port = pty_pair
    process = start_record(port, tmp_path / "flight.bin", *split)
    sent, start, size = [], time.monotonic(), 0
    for frame in simulate(CONFIG):
        time.sleep(max(0.0, start + frame.time - time.monotonic()))
        os.write(master, frame.wire)
        sent.append(frame.wire)
        size += len(frame.wire)
    names = lambda: sorted(tmp_path.glob("flight_[0-9][0-9][0-9].bin"))  # noqa: E731
    deadline = time.monotonic() + 30
    while sum(p.stat().st_size for p in names()) < size and time.monotonic() < deadline:
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=30)
    assert process.returncode == 0, err
    found = names()
    assert len(found) in parts and not (tmp_path / "flight.bin").exists(), [p.name for p in found]
    assert b"".join(p.read_bytes() for p in found) == b"".join(sent)
    loaded = [load(p) for p in found]
    assert all(not r.times_estimated and r.scan.outside == 0 and r.scan.unfinished == 0 for r in loaded)
    assert sum(len(r) for r in loaded) == len(sent)
    if split[0] == "--split-size":
        assert all(p.stat().st_size <= 8000 + 1000 for p in found[:-1])  # cut at the first frame's end past it
    again = run_cli("record", "-p", port, "-o", str(tmp_path / "flight.bin"), *split, "--seconds", "0.1")
    assert again.returncode == 1 and "flight_000.bin" in again.stderr  # never replaced without --force
