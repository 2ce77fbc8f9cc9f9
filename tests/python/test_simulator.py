"""The simulated device: its stream, its physics, and what brimlet decodes
from it (through a recording and through a virtual serial port)."""

from __future__ import annotations

import math
import statistics
import threading
import time
from pathlib import Path

import pytest

import brimlet
from brimlet_tools import cli, sample
from brimlet_tools.sim import simulator
from brimlet_tools.sim.links import DELIVERIES, Link, deliver
from brimlet_tools.sim.simulator import Faults, StreamConfig, simulate
from brimlet_tools.sim.virtual_device import VirtualDevice
from brimlet_tools.wire.fields import as_dict
from framecount import FrameCounter

from conftest import read_to_end, started, write_times

FAULTY = Faults(garbage=0.05, drop=0.05, damage=0.05, invalid=0.1)


def values(packet: object) -> dict[str, object]:
    """Everything a packet carries except its timestamp (the decoder stamps
    its own host time)."""
    record = as_dict(packet)  # type: ignore[arg-type]
    del record["timestamp"]
    return record


def mean_raw(config: StreamConfig, start: float, name: str, i: int, seconds: float = 1.0) -> float:
    """The mean of element `i` of a raw field over `seconds` from `start`."""
    frames = simulate(config)
    return statistics.fmean(
        f.values[name][i] for f in frames if f.packet_type == "raw" and start <= f.time < start + seconds
    )


def test_the_seed_alone_decides_the_stream() -> None:
    config = StreamConfig(seconds=0.5, faults=FAULTY)
    again = StreamConfig(seconds=0.5, faults=FAULTY)
    other = StreamConfig(seconds=0.5, faults=FAULTY, seed=2)
    assert simulator.stream_bytes(config) == simulator.stream_bytes(again)
    assert simulator.stream_bytes(config) != simulator.stream_bytes(other)
    # Faults come from their own generator: the sensor values stay the same.
    clean = [f.values for f in simulate(StreamConfig(seconds=0.5))]
    assert [f.values for f in simulate(config)] == clean


def test_frames_interleave_in_time_order_at_their_rates() -> None:
    frames = list(simulate(StreamConfig(seconds=1.0, raw_rate=500, estimated_rate=200)))
    assert [f.time for f in frames] == sorted(f.time for f in frames)
    kinds = [f.packet_type for f in frames]
    assert (kinds.count("raw"), kinds.count("estimated")) == (500, 200)
    assert kinds[:2] == ["raw", "estimated"]  # at equal times raw comes first


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(raw_rate=1000.5),
        dict(estimated_rate=501),
        dict(raw_rate=-1),
        dict(raw_rate=0, estimated_rate=0),
        dict(profile="loop-the-loop"),
        dict(seconds=-1.0),
        dict(seconds=math.inf),
    ],
)
def test_impossible_configurations_are_refused(kwargs: dict[str, object]) -> None:
    with pytest.raises(ValueError):
        StreamConfig(**kwargs)  # type: ignore[arg-type]


@pytest.mark.parametrize("kwargs", [dict(drop=1.5), dict(invalid=-0.1), dict(drop=0.6, damage=0.6)])
def test_impossible_fault_rates_are_refused(kwargs: dict[str, float]) -> None:
    with pytest.raises(ValueError):
        Faults(**kwargs)


def test_a_still_device_feels_gravity_and_no_rotation() -> None:
    raw = [f.values for f in simulate(StreamConfig("still", seconds=1.0)) if f.packet_type == "raw"]
    accel_z = statistics.fmean(v["scaled_accel"][2] for v in raw)
    gyro = [statistics.fmean(v["scaled_gyro"][i] for v in raw) for i in range(3)]
    assert accel_z == pytest.approx(-9.81, abs=0.05)
    assert max(map(abs, gyro)) < 0.005


def test_turn_and_climb_turns_once_and_climbs_ten_metres() -> None:
    config = StreamConfig(seconds=10.0, raw_rate=100, estimated_rate=50)
    assert mean_raw(config, 4.0, "scaled_gyro", 2, 2.0) == pytest.approx(2 * math.pi / 5, rel=0.01)  # one turn in 5 s at full rate
    est = [f.values for f in simulate(config) if f.packet_type == "estimated"]
    for v in est:
        assert math.fsum(q * q for q in v["est_orient_quaternion"]) == pytest.approx(1.0, abs=1e-6)
    assert est[-1]["est_orient_quaternion"][0] == pytest.approx(-1.0)  # 360 deg: q = -1
    assert est[-1]["est_pressure_alt"][0] == pytest.approx(10.0, abs=0.5)
    p_start, p_end = (mean_raw(config, start, "scaled_ambient_pressure", 0) for start in (0, 9))
    assert p_start - p_end == pytest.approx(1.2, abs=0.05)  # about 0.12 hPa per metre
    # The upward acceleration at the start of the climb pushes accel z down.
    assert mean_raw(config, 2.1, "scaled_accel", 2, 0.8) == pytest.approx(-9.81 - 2.0, abs=0.1)


def test_deltas_are_the_measured_rates_over_one_period() -> None:
    for f in simulate(StreamConfig(seconds=0.2, raw_rate=250, estimated_rate=0)):
        v = f.values
        assert v["delta_theta"] == pytest.approx([w / 250 for w in v["scaled_gyro"]], rel=1e-6)
        assert v["delta_vel"] == pytest.approx([a / 250 for a in v["scaled_accel"]], rel=1e-6)


@pytest.mark.parametrize(
    "faults",
    [Faults(), Faults(drop=0.3), Faults(damage=0.3), Faults(garbage=0.5), FAULTY],
    ids=["clean", "drops", "damage", "garbage", "all"],
)
def test_exactly_the_intact_frames_decode_to_their_values(faults: Faults, replay) -> None:
    config = StreamConfig(seconds=2.0, raw_rate=500, estimated_rate=100, seed=7, faults=faults)
    frames = list(simulate(config))
    stream = b"".join(f.wire for f in frames)
    intact = [f for f in frames if f.intact]
    counter = FrameCounter()
    counter.feed(stream)
    assert counter.packets == len(intact)
    packets = replay(stream)
    assert [values(p) for p in packets] == [values(f.expected()) for f in intact]
    if faults.invalid:
        assert any(p.invalid_fields for p in packets)


def test_counter_stream_numbers_every_frame(replay) -> None:
    config = StreamConfig(seconds=1.0, raw_rate=1000, estimated_rate=500, faults=Faults(drop=0.01), counter=True)
    frames = list(simulate(config))
    packets = replay(b"".join(f.wire for f in frames))
    assert [simulator.counter_of(p) for p in packets] == [f.index for f in frames if f.intact]


def test_a_serial_parser_on_the_virtual_device_decodes_the_values_sent() -> None:
    config = StreamConfig(seconds=1.0, raw_rate=200, estimated_rate=50, seed=3, faults=FAULTY)
    expected = [values(f.expected()) for f in simulate(config) if f.intact]
    # Nothing is discarded for want of a reader here, however late the
    # reader thread gets to run on a loaded machine.
    with VirtualDevice(baudrate=921600, stale_after=None) as device:
        parser = brimlet.SerialParser(device.path, timeout=1.0)
        parser.start()
        player = threading.Thread(target=device.play, args=(simulate(config),))
        player.start()
        packets: list[brimlet.IMUPacket] = []
        deadline = time.monotonic() + 10
        while len(packets) < len(expected) and time.monotonic() < deadline:
            packets += parser.get_data_packets()  # polled: a blocking call would hold the GIL
            time.sleep(0.01)
        player.join()
        parser.stop()
    assert [values(p) for p in packets] == expected


def test_the_virtual_device_never_waits_for_a_reader() -> None:
    config = StreamConfig(seconds=0.5, raw_rate=1000, estimated_rate=500)
    started = time.monotonic()
    with VirtualDevice(baudrate=4_000_000) as device:
        report = device.play(simulate(config))
    assert time.monotonic() - started < 5
    assert report.frames == 750
    assert report.bytes_dropped > 0


def test_the_sample_recording_is_what_the_generator_makes(tmp_path: Path) -> None:
    output = tmp_path / "sample.bin"
    assert cli.main(["generate", *sample.ARGUMENTS, "--output", str(output)]) == 0
    committed = sample.SAMPLE.read_bytes()
    assert len(committed) < 1_000_000
    assert output.read_bytes() == committed


def test_the_sample_recording_replays_with_faults_and_flags() -> None:
    with sample.path() as path:
        packets = read_to_end(started(brimlet.MockParser(path)))
    kinds = [p.packet_type for p in packets]
    assert 9900 < kinds.count("raw") < 10000 and 990 < kinds.count("estimated") <= 1000
    assert sum(1 for p in packets if p.invalid_fields) > 20



# --- the link model ---------------------------------------------------------


@pytest.mark.parametrize("delivery", list(DELIVERIES))
def test_the_link_model_never_delivers_a_frame_before_it_was_sampled(delivery: str, recording) -> None:
    np = pytest.importorskip("numpy")
    from brimlet_tools.recordings.recording import load

    config = StreamConfig(seconds=2, seed=7, faults=Faults(garbage=0.01, drop=0.01))
    link = Link(delivery, skip_every=50, pauses=((0.5, 0.2),), losses=((1.2, 30),), warm=(0, 80, 1))
    got = deliver(config, link)
    ends, times = zip(*got.reads)
    assert list(ends) == sorted(ends) and ends[-1] == len(got.data) and list(times) == sorted(times)
    path = recording(got.data)
    write_times(path, got.reads)
    c = load(path).columns
    # The frames the truth says arrive whole are the packets decoded, each with
    # the read that completed it, never before the device sampled it.
    assert c["kind"].tolist() == [("raw", "estimated").index(k) for k in got.kinds]
    assert (c["time"].view(np.int64) >= np.array(got.truth)).all()
    # Frames the device skipped, paused over or the line lost are counted.
    assert sum(got.missing) >= 2000 // 50 + 200 + 30
