"""IMUPacket objects: properties, immutability, recycling and the text form."""

import copy
import math
import pickle
import struct
import sys
import time
import weakref

import pytest

import brimlet
from brimlet_tools.wire import frames

RAW_FIELDS = ["scaled_accel", "scaled_gyro", "delta_vel", "delta_theta", "scaled_ambient_pressure"]
ESTIMATED_FIELDS = [
    "est_pressure_alt",
    "est_orient_quaternion",
    "est_attitude_uncert_quaternion",
    "est_angular_rate",
    "est_compensated_accel",
    "est_linear_accel",
    "est_gravity_vector",
]
PROPERTIES = ["packet_type", "timestamp", "invalid_fields", *RAW_FIELDS, *ESTIMATED_FIELDS]

FULL_RAW = dict(
    scaled_accel=[1.0, 2.0, 3.0],
    scaled_gyro=[4.0, 5.0, 6.0],
    delta_theta=[7.0, 8.0, 9.0],
    delta_vel=[10.0, 11.0, 12.0],
    scaled_ambient_pressure=13.0,
)
FULL_ESTIMATED = dict(
    est_orient_quaternion=[1.0, 2.0, 3.0, 4.0],
    est_linear_accel=[5.0, 6.0, 7.0],
    est_angular_rate=[8.0, 9.0, 10.0],
    est_attitude_uncert_quaternion=[11.0, 12.0, 13.0, 14.0],
    est_gravity_vector=[15.0, 16.0, 17.0],
    est_compensated_accel=[18.0, 19.0, 20.0],
    est_pressure_alt=21.0,
)


@pytest.fixture
def raw(replay):
    (packet,) = replay(frames.raw_frame(**FULL_RAW))
    return packet


@pytest.fixture
def estimated(replay):
    (packet,) = replay(frames.estimated_frame(invalid=["est_linear_accel"], **FULL_ESTIMATED))
    return packet


def one_value(replay, encoded: bytes):
    """The packet of a raw frame whose ambient pressure is the 4 bytes `encoded`."""
    (packet,) = replay(frames.frame(frames.RAW_SET, frames.field(0x17, encoded)))
    return packet


# ---- properties -------------------------------------------------------------


def test_properties_are_registered_in_field_order():
    names = [name for name, value in vars(brimlet.IMUPacket).items() if type(value).__name__ == "getset_descriptor"]
    assert names == PROPERTIES


def test_raw_packet_values(raw):
    assert raw.packet_type == "raw" and type(raw.packet_type) is str
    assert raw.invalid_fields is None
    for name in ESTIMATED_FIELDS:
        assert getattr(raw, name) is None, name
    for name, value in FULL_RAW.items():
        got = getattr(raw, name)
        if isinstance(value, list):
            assert type(got) is list and all(type(v) is float for v in got)
        else:
            assert type(got) is float
        assert got == value, name


def test_estimated_packet_values(estimated):
    assert estimated.packet_type == "estimated"
    assert estimated.invalid_fields == "estLinearAccel"
    for name in RAW_FIELDS:
        assert getattr(estimated, name) is None, name
    for name, value in FULL_ESTIMATED.items():
        got = getattr(estimated, name)
        assert type(got) is (list if isinstance(value, list) else float)
        assert got == value, name
    assert len(estimated.est_orient_quaternion) == 4


def test_timestamp_is_the_wall_clock_at_decoding(replay):
    before = time.time_ns()
    packets = replay(frames.raw_frame() * 3)
    after = time.time_ns()
    stamps = [p.timestamp for p in packets]
    assert all(type(t) is int for t in stamps)
    assert before <= stamps[0] <= stamps[1] <= stamps[2] <= after


@pytest.mark.parametrize(
    "stored, read",
    [
        (0.1, 0.10000000149011612),
        (9.81, 9.8100004196167),
        (-0.25, -0.25),
        (3.4028234663852886e38, 3.4028234663852886e38),
        (1e-45, 1.401298464324817e-45),
    ],
)
def test_floats_are_widened_exactly(replay, stored, read):
    assert one_value(replay, struct.pack(">f", stored)).scaled_ambient_pressure == read


@pytest.mark.parametrize(
    "encoded, check",
    [
        (b"\x7f\xc0\x00\x00", math.isnan),
        (b"\xff\xc0\x00\x00", math.isnan),
        (b"\xff\x80\x00\x00", lambda v: v == -math.inf),
        (b"\x7f\x80\x00\x00", lambda v: v == math.inf),
        (b"\x80\x00\x00\x00", lambda v: v == 0 and math.copysign(1, v) < 0),
    ],
)
def test_special_values_pass_through(replay, encoded, check):
    assert check(one_value(replay, encoded).scaled_ambient_pressure)


def test_each_read_builds_a_new_list(raw):
    first = raw.scaled_accel
    second = raw.scaled_accel
    assert first == second and first is not second
    first.append(99.0)
    first[0] = -1.0
    assert raw.scaled_accel == [1.0, 2.0, 3.0]
    assert second == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("name", ["timestamp", "packet_type", "scaled_accel", "est_pressure_alt", "not_a_field"])
def test_packets_cannot_be_changed(raw, name):
    before = getattr(raw, name, None)
    with pytest.raises(AttributeError):
        setattr(raw, name, 1)
    with pytest.raises(AttributeError):
        delattr(raw, name)
    assert getattr(raw, name, None) == before


@pytest.mark.parametrize(
    "action",
    [weakref.ref, copy.copy, copy.deepcopy, pickle.dumps],
    ids=["weakref", "copy", "deepcopy", "pickle"],
)
def test_packets_cannot_be_referenced_weakly_copied_or_pickled(raw, action):
    with pytest.raises(TypeError):
        action(raw)


def test_identity_semantics(replay):
    a, b = replay(frames.raw_frame(scaled_accel=[1, 2, 3]) * 2)
    assert a != b and a == a
    assert hash(a) != hash(b)


# ---- recycling --------------------------------------------------------------


def test_released_blocks_are_reused_most_recent_first(replay):
    # Enough packets to take every block the free list may hold already, so
    # that it is empty when the releases below start.
    held = replay(frames.raw_frame(scaled_accel=[1, 2, 3]) * 30)
    released = []
    for i in range(25):
        released.append(id(held[i]))
        held[i] = None
    fresh = replay(frames.raw_frame(scaled_accel=[4, 5, 6]) * 19)
    # The first 19 releases were kept; the 20th and later went back to the
    # interpreter's allocator.
    assert [id(p) for p in fresh] == released[18::-1]
    assert [p.scaled_accel for p in fresh] == [[4.0, 5.0, 6.0]] * 19
    assert fresh[0].packet_type == "raw" and fresh[0].invalid_fields is None


def test_type_reference_count_is_balanced(replay):
    data = frames.raw_frame(scaled_accel=[1, 2, 3]) + frames.estimated_frame(est_pressure_alt=1.0)
    base = sys.getrefcount(brimlet.IMUPacket)
    for _ in range(3):
        packets = replay(data * 50)
        assert sys.getrefcount(brimlet.IMUPacket) == base + 100
        del packets
        assert sys.getrefcount(brimlet.IMUPacket) == base


def test_empty_batch_is_an_empty_list(recording):
    assert brimlet.MockParser(recording(b"")).get_data_packets() == []


# ---- text form --------------------------------------------------------------


def test_text_of_a_raw_packet(replay):
    (packet,) = replay(
        frames.raw_frame(
            scaled_accel=[0.1, -0.25, 9.81],
            scaled_gyro=[0.001, 0.0, -0.002],
            delta_theta=[0.00001, 0.0, 2.5],
            scaled_ambient_pressure=1013.25,
        )
    )
    assert str(packet) == (
        f'IMUPacket(packet_type="raw", timestamp={packet.timestamp}, invalid_fields=None, '
        "scaled_accel=Some([0.1, -0.25, 9.81]), scaled_gyro=Some([0.001, 0.0, -0.002]), delta_vel=None, "
        "delta_theta=Some([1e-5, 0.0, 2.5]), scaled_ambient_pressure=Some(1013.25), est_pressure_alt=None, "
        "est_orient_quaternion=None, est_attitude_uncert_quaternion=None, est_angular_rate=None, "
        "est_compensated_accel=None, est_linear_accel=None, est_gravity_vector=None )"
    )
    assert f"{packet}" == str(packet)


def test_text_of_an_estimated_packet(replay):
    # Pressure altitude first, then the gravity vector: invalid_fields follows
    # the order of the payload.
    payload = (
        frames.estimated_field(0x21, [-12.5], valid=False)
        + frames.estimated_field(0x03, [1, 0, 0, 0])
        + frames.estimated_field(0x12, [0.01] * 4)
        + frames.estimated_field(0x1C, [0, 0, -9.81])
        + frames.estimated_field(0x13, [0, 0, -9.80665], valid=False)
    )
    (packet,) = replay(frames.frame(frames.ESTIMATED_SET, payload))
    assert str(packet) == (
        f'IMUPacket(packet_type="estimated", timestamp={packet.timestamp}, '
        'invalid_fields=Some("estPressureAlt,estGravityVector"), scaled_accel=None, scaled_gyro=None, '
        "delta_vel=None, delta_theta=None, scaled_ambient_pressure=None, est_pressure_alt=Some(-12.5), "
        "est_orient_quaternion=Some([1.0, 0.0, 0.0, 0.0]), "
        "est_attitude_uncert_quaternion=Some([0.01, 0.01, 0.01, 0.01]), est_angular_rate=None, "
        "est_compensated_accel=Some([0.0, 0.0, -9.81]), est_linear_accel=None, "
        "est_gravity_vector=Some([0.0, 0.0, -9.80665]) )"
    )


def test_text_of_an_empty_packet(replay):
    (packet,) = replay(frames.frame(frames.ESTIMATED_SET, b""))
    text = str(packet)
    assert text.startswith('IMUPacket(packet_type="estimated", timestamp=')
    assert text.endswith(", est_gravity_vector=None )")
    assert text.count("=None") == 13 and "invalid_fields=None" in text
    assert text.count("=") == 15 and ": " not in text


@pytest.mark.parametrize(
    "encoded, text",
    [
        (struct.pack(">f", 9.81), "9.81"),
        (struct.pack(">f", 0.00001), "1e-5"),
        (struct.pack(">f", 0.000015), "1.5e-5"),
        (struct.pack(">f", 0.0001), "0.0001"),
        (struct.pack(">f", 2e16), "2e16"),
        (struct.pack(">f", 1e15), "1000000000000000.0"),
        (struct.pack(">f", 123456789), "123456790.0"),
        (struct.pack(">f", 3.4028234663852886e38), "3.4028235e38"),
        (b"\x80\x00\x00\x00", "-0.0"),
        (b"\x7f\xc0\x00\x00", "NaN"),
        (b"\xff\xc0\x00\x01", "NaN"),
        (b"\xff\x80\x00\x00", "-inf"),
    ],
)
def test_text_of_numbers(replay, encoded, text):
    packet = one_value(replay, encoded)
    assert f"scaled_ambient_pressure=Some({text}), " in str(packet)


def test_text_form_is_not_the_representation(raw):
    assert repr(raw).startswith("<builtins.IMUPacket object at 0x")
    assert repr([raw]) == f"[{raw!r}]"
    assert str(raw) != repr(raw)


def test_text_form_rejects_other_objects():
    with pytest.raises(TypeError):
        brimlet.IMUPacket.__str__(42)
