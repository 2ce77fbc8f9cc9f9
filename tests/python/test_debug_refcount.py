"""Reference counts under the debug interpreter: replaying many packets, and
the failure paths of the parser methods, must not leave references behind."""

from __future__ import annotations

import gc
import sys

import pytest

import brimlet
from brimlet_tools.wire.frames import estimated_frame, raw_frame

pytestmark = pytest.mark.skipif(
    not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter (sys.gettotalrefcount)"
)

SLACK = 50


@pytest.fixture(scope="module")
def long_recording(tmp_path_factory) -> str:
    frames = [
        raw_frame(scaled_accel=[1.0, 2.0, 3.0], scaled_gyro=[0.1, 0.2, 0.3], scaled_ambient_pressure=1013.0),
        estimated_frame(
            invalid=["est_linear_accel"],
            est_orient_quaternion=[1.0, 0.0, 0.0, 0.0],
            est_linear_accel=[0.0, 0.0, 9.81],
            est_pressure_alt=120.0,
        ),
    ]
    target = tmp_path_factory.mktemp("refcount") / "recording.bin"
    target.write_bytes(b"".join(frames) * 5000)
    return str(target)


def read_everything(path: str) -> int:
    parser = brimlet.MockParser(path)
    count = 0
    with parser:
        while True:
            batch = parser.get_data_packets()
            for packet in batch:
                str(packet)
                packet.scaled_accel, packet.est_orient_quaternion, packet.invalid_fields, packet.timestamp
            count += len(batch)
            if not batch and not parser.is_running():
                break
    count += len(parser.get_data_packets())
    return count


def failing_calls(path: str) -> None:
    parser = brimlet.MockParser(path, timeout=float("nan"))
    attempts = [
        lambda: brimlet.MockParser(b"bytes path"),
        lambda: brimlet.MockParser(path, bogus=1),
        lambda: brimlet.MockParser("/nonexistent/recording"),
        lambda: brimlet.SerialParser("/nonexistent/port", baudrate=-1),
        lambda: brimlet.SerialParser("/nonexistent/port", timeout="x"),
        lambda: parser.get_data_packets(1),
        lambda: parser.get_data_packets(block=True),
        lambda: parser.__exit__(None),
    ]
    for attempt in attempts:
        try:
            attempt()
        except BaseException:
            pass


def total_after(action, path: str) -> int:
    action(path)
    gc.collect()
    return sys.gettotalrefcount()


@pytest.mark.parametrize("action", [read_everything, failing_calls])
def test_reference_total_does_not_grow(long_recording, action):
    assert action is not read_everything or read_everything(long_recording) == 10000
    baseline = total_after(action, long_recording)  # warms caches and the packet free list
    for _ in range(5):
        after = total_after(action, long_recording)
    assert after - baseline < SLACK


def test_extension_counts_its_own_references(long_recording):
    # Built against headers without reference debugging, the module would
    # change counts without the interpreter's total seeing it, and the test
    # above could not see a leak.
    parser = brimlet.MockParser(long_recording)
    before = sys.gettotalrefcount()
    held = [parser.__enter__() for _ in range(1000)]
    assert sys.gettotalrefcount() - before >= 1000
    parser.__exit__(None, None, None)
    del held
