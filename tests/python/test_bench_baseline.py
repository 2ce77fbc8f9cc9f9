"""The benchmarks' pure-Python baselines do the same work as what they are
measured against: the baseline decoder finds the same packets as the
module, the arrays hold the packets' values."""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from brimlet_tools.sample import SAMPLE
from brimlet_tools.sim import simulator
from brimlet_tools.wire.fields import PROPERTY_NAMES
from brimlet_tools.wire.frames import estimated_frame, raw_frame

sys.path.append(str(Path(__file__).resolve().parents[2] / "bench"))

from baseline_decoder import BaselineDecoder  # noqa: E402

VALUES = [name for name in PROPERTY_NAMES if name != "timestamp"]


def decode(data: bytes, piece: int) -> list[dict[str, object]]:
    decoder = BaselineDecoder()
    packets: list[dict[str, object]] = []
    for begin in range(0, len(data), piece):
        packets += decoder.feed(data[begin : begin + piece])
    return packets


def as_values(packet: object) -> list[object]:
    if isinstance(packet, dict):
        return [packet.get(name) for name in VALUES]
    return [getattr(packet, name) for name in VALUES]


def test_same_packets_as_the_module_on_the_sample_recording(replay: Callable[[bytes], list[Any]]) -> None:
    data = SAMPLE.read_bytes()
    expected = [as_values(p) for p in replay(data)]
    assert len(expected) > 10000
    assert [as_values(p) for p in decode(data, 65536)] == expected


@pytest.mark.parametrize("piece", [1, 7, 68, 2048])
def test_pieces_of_any_size_give_the_same_packets(piece: int) -> None:
    faults = simulator.Faults(garbage=0.05, drop=0.05, damage=0.05, invalid=0.2)
    config = simulator.StreamConfig(seconds=0.5, faults=faults)
    data = simulator.stream_bytes(config)
    expected = [as_values(p) for p in simulator.expected_packets(config)]
    assert [as_values(p) for p in decode(data, piece)] == expected


def test_values_and_flags() -> None:
    flagged = estimated_frame(["est_pressure_alt"], est_pressure_alt=1.0)
    data = raw_frame(scaled_accel=[1.0, 2.0, 3.0]) + b"\x75" + flagged
    raw, estimated = decode(data, len(data))
    assert raw["packet_type"] == "raw" and raw["scaled_accel"] == [1.0, 2.0, 3.0]
    assert "scaled_gyro" not in raw and isinstance(raw["timestamp"], int)
    assert estimated["est_pressure_alt"] == 1.0 and estimated["invalid_fields"] == "estPressureAlt"


def test_a_trailing_first_sync_byte_waits_for_the_next_piece() -> None:
    frame = raw_frame(scaled_ambient_pressure=1013.25)
    decoder = BaselineDecoder()
    assert decoder.feed(b"\x00\x75") == []
    (packet,) = decoder.feed(frame[1:])
    assert packet["scaled_ambient_pressure"] == 1013.25


def test_the_arrays_baseline_holds_the_values_with_nan_where_absent() -> None:
    np = pytest.importorskip("numpy")
    from arrays_baseline import field_arrays, structured

    config = simulator.StreamConfig(seconds=0.5, raw_rate=100, estimated_rate=50, seed=4,
                                    faults=simulator.Faults(invalid=0.2))  # fmt: skip
    packets = simulator.expected_packets(config)
    table = structured(packets)
    assert len(table) == len(packets)
    raw = [i for i, p in enumerate(packets) if p.packet_type == "raw"]
    assert np.isnan(table["est_orient_quaternion"][raw]).all()
    assert table["scaled_accel"][raw[0]].tolist() == packets[raw[0]].scaled_accel
    assert [t or None for t in table["invalid_fields"].tolist()] == [p.invalid_fields for p in packets]
    est = field_arrays(packets, packet_type="estimated")
    assert est["est_orient_quaternion"].shape == (len(packets) - len(raw), 4)
    assert est["est_pressure_alt"].shape == (len(packets) - len(raw),)
    assert np.isnan(est["scaled_ambient_pressure"]).all()
    assert est["timestamp"].dtype == np.uint64
