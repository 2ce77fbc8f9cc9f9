"""A recording played on the virtual device: byte for byte, at its recorded
pace (scaled by --speed), again and again with --loop, and at the line's
pace when it has no receive times."""

from __future__ import annotations

import os
import select
import subprocess
import time
from pathlib import Path

import pytest

from brimlet_tools.sim.simulator import Faults, StreamConfig, stream_bytes
from conftest import CHILD_ENV, tool, write_times

pytest.importorskip("numpy")

SPAN = 1.2  # seconds of receive times
BAUD = 921600
LINE_PACED_BAUD = 115200  # half a second for the recording below: long beside a busy machine's delays


def read_port(port: str, size: int, limit: float = 20.0) -> tuple[bytes, float]:
    """`size` bytes from the port, and the time the last of them came."""
    fd = os.open(port, os.O_RDONLY | os.O_NOCTTY)
    data, last = bytearray(), 0.0
    deadline = time.monotonic() + limit
    try:
        while len(data) < size and time.monotonic() < deadline:
            if select.select([fd], [], [], 0.2)[0]:
                data += os.read(fd, 65536)
                last = time.monotonic()
    finally:
        os.close(fd)
    return bytes(data), last


@pytest.mark.parametrize("speed, timed, passes", [(1.0, True, 1), (4.0, True, 2), (1.0, False, 1)])
def test_a_recording_is_played_byte_for_byte_at_its_pace(tmp_path: Path, speed: float, timed: bool,
                                                          passes: int) -> None:  # fmt: skip
    # Few bytes a second: the port holds a second of them for a reader that
    # is slow to come on a busy machine.
    data = stream_bytes(StreamConfig(seconds=1.0, raw_rate=50, estimated_rate=20, seed=9,
                                     faults=Faults(garbage=0.05, drop=0.02, invalid=0.1)))  # fmt: skip
    path, link = tmp_path / "flight.bin", tmp_path / "port"
    path.write_bytes(data)
    if timed:  # reads spread evenly over SPAN seconds
        write_times(path, [(len(data) * k // 100, 1_700_000_000_000_000_000 + round(SPAN * 1e9 * k / 100))
                           for k in range(1, 101)])  # fmt: skip
    baud = BAUD if timed else LINE_PACED_BAUD
    options = ["--speed", str(speed)] + (["--loop"] if passes > 1 else [])
    device = subprocess.Popen(
        tool("virtual-device", "--file", str(path), "--baudrate", str(baud), "--keep-unread", "--link", str(link),
             *options),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
    )  # fmt: skip
    try:
        assert device.stdout is not None and device.stdout.readline().strip() == str(link)
        # Timed from the device's word that it is ready: a reader that comes
        # late on a busy machine finds bytes queued in the port and reads
        # them in one go, but none of them can have been sent before this.
        ready = time.monotonic()
        got, last = read_port(str(link), passes * len(data))
    finally:
        device.terminate()
        _, err = device.communicate(timeout=10)
    assert got[: len(data) * passes] == data * passes, err
    # The first bytes go out at the first packet's time: from there to the
    # last packet of a pass takes the span between their receive times.
    pace = SPAN * 0.99 / speed if timed else len(data) / (baud / 10)
    assert last - ready >= pace * 0.9 * passes - (pace if passes > 1 else 0), err
    assert ("recorded pace" if timed else "line's pace") in err


@pytest.mark.parametrize("timed", [True, False])
def test_a_stretch_is_played_from_the_bytes_after_the_packet_before_it(tmp_path: Path, timed: bool) -> None:
    from brimlet_tools import load
    from brimlet_tools.recordings.playback import cut
    from brimlet_tools.recordings.window import parse_point, rows

    data = stream_bytes(StreamConfig(seconds=1.0, raw_rate=50, estimated_rate=20, seed=3,
                                     faults=Faults(garbage=0.05, drop=0.02)))  # fmt: skip
    path = tmp_path / "flight.bin"
    path.write_bytes(data)
    if timed:
        write_times(path, [(len(data) * k // 100, 1_700_000_000_000_000_000 + round(SPAN * 1e9 * k / 100))
                           for k in range(1, 101)])  # fmt: skip
    recording = load(path)
    times, ends = recording["time"].view("int64"), recording.scan.end.tolist()
    span = (times[-1] - times[0]) / 1e9  # without receive times, the estimated axis's
    chosen = rows(recording, parse_point(str(span * 0.3)), parse_point(str(span * 0.7)))
    low, high = chosen.start, chosen.stop
    assert 0 < low < high < len(recording)
    playback = cut(recording, BAUD / 10, rows=chosen)
    assert b"".join(p.wire for p in playback.pieces) == data[ends[low - 1] : ends[high - 1]]
    assert playback.packets == high - low and playback.pieces[0].time == 0
    if timed:
        assert [p.time for p in playback.pieces] == pytest.approx(((times[low:high] - times[low]) / 1e9).tolist())
