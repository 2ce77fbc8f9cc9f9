"""The packet schema on the Python side: every data field once, with its
name, width, packet kind, wire descriptor and validity name.

The frame encoder (`frames`), the simulator and every tool that turns packets
into something else (text tables, JSON, numpy arrays, plots, summaries) derive
what they need from `DATA_FIELDS`. The module's own table is in
src/protocol/packet_schema.hpp; a field is added to both, and
tests/python/test_schema.py fails while they (or the stub, `PacketLike` and
`SimPacket`) disagree. `PacketLike` is what the tools ask of a packet:
`brimlet.IMUPacket` satisfies it, and so does the simulator's `SimPacket`,
which lets the tools be used and tested on generated data without the
extension module.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Protocol

# The rates the unit sends at by default, and the sample recording has.
RAW_RATE = 1000.0
ESTIMATED_RATE = 100.0
# The line speeds such units are commonly set to; the module's own default
# (what SerialParser takes a baud rate of None for) is the first.
COMMON_BAUDS = (115200, 230400, 460800, 921600)
MODULE_DEFAULT_BAUD = COMMON_BAUDS[0]
# The line speed that the tools assume, the virtual device plays at and the
# README uses: raw packets at 1000 Hz and estimated ones at 100 Hz need
# about 800 kbit/s.
DEFAULT_BAUD = 921600


@dataclass(frozen=True, slots=True)
class DataField:
    """One data field of a packet: its property name, how many values it holds
    (1 for a single float, 3 for a vector, 4 for a quaternion), the kind of
    packet that carries it, its descriptor within that kind's descriptor set,
    the name `invalid_fields` gives it when the device flags it not valid
    (None for a field without a valid flag), and the unit of its values as
    the device sends them."""

    name: str
    width: int
    packet_type: str
    descriptor: int
    validity_name: str | None = None
    unit: str = "1"

    @property
    def columns(self) -> tuple[str, ...]:
        """Names of the flat columns of this field: `scaled_accel_x` and so on
        for vectors, `_w`, `_x`, `_y`, `_z` for quaternions (in the device's
        order), the bare name for a single value."""
        if self.width == 1:
            return (self.name,)
        return tuple(f"{self.name}_{s}" for s in PARTS[self.width])


# The names of the parts of a field's value, by the value's width: a
# vector's axes, a quaternion's parts in the order the device sends them.
PARTS: dict[int, str] = {3: "xyz", 4: "wxyz"}

# In the order of the packet's properties (and of its text form).
DATA_FIELDS: tuple[DataField, ...] = (
    DataField("scaled_accel", 3, "raw", 0x04, unit="m/s^2"),
    DataField("scaled_gyro", 3, "raw", 0x05, unit="rad/s"),
    DataField("delta_vel", 3, "raw", 0x08, unit="m/s"),
    DataField("delta_theta", 3, "raw", 0x07, unit="rad"),
    DataField("scaled_ambient_pressure", 1, "raw", 0x17, unit="hPa"),
    DataField("est_pressure_alt", 1, "estimated", 0x21, "estPressureAlt", unit="m"),
    DataField("est_orient_quaternion", 4, "estimated", 0x03, "estOrientQuaternion"),
    DataField("est_attitude_uncert_quaternion", 4, "estimated", 0x12, "estAttitudeUncertQuaternion"),
    DataField("est_angular_rate", 3, "estimated", 0x0E, "estAngularRate", unit="rad/s"),
    DataField("est_compensated_accel", 3, "estimated", 0x1C, "estCompensatedAccel", unit="m/s^2"),
    DataField("est_linear_accel", 3, "estimated", 0x0D, "estLinearAccel", unit="m/s^2"),
    DataField("est_gravity_vector", 3, "estimated", 0x13, "estGravityVector", unit="m/s^2"),
)
FIELD_BY_NAME: dict[str, DataField] = {f.name: f for f in DATA_FIELDS}
# Packet kinds and the descriptor set of each; a packet's kind code (the
# `kind` column of a loaded recording) is its index here.
PACKET_TYPES: tuple[str, ...] = ("raw", "estimated")
KIND_CODE: dict[str, int] = {kind: code for code, kind in enumerate(PACKET_TYPES)}
# The rate each kind is sent at by default, by kind.
NOMINAL_RATES: dict[str, float] = dict(zip(PACKET_TYPES, (RAW_RATE, ESTIMATED_RATE), strict=True))
DESCRIPTOR_SETS: dict[str, int] = {"raw": 0x80, "estimated": 0x82}
# Wire order: by descriptor set, then descriptor, the order a device sends
# its fields in.
WIRE_ORDER: tuple[DataField, ...] = tuple(
    sorted(DATA_FIELDS, key=lambda f: (DESCRIPTOR_SETS[f.packet_type], f.descriptor))
)
# The fields with a valid flag, in wire order: validity code (and bit) i is
# VALIDITY_NAMES[i].
VALIDITY_NAMES: tuple[str, ...] = tuple(f.validity_name for f in WIRE_ORDER if f.validity_name)
PROPERTY_NAMES: tuple[str, ...] = ("packet_type", "timestamp", "invalid_fields") + tuple(
    f.name for f in DATA_FIELDS
)
# The data columns of every output (CSV, JSON lines' flat keys, Parquet,
# HDF5, pandas) and of a loaded recording, with their units.
DATA_COLUMNS: tuple[str, ...] = tuple(c for f in DATA_FIELDS for c in f.columns)
COLUMN_UNITS: dict[str, str] = {c: f.unit for f in DATA_FIELDS for c in f.columns}
# The columns of a loaded recording before the data columns, with the type
# of each: the time of the packet, its kind code, the bits of the fields
# flagged not valid (bit i for VALIDITY_NAMES[i]) and of the fields it
# carries (bit i for DATA_FIELDS[i]); every data column is float32.
LEADING_TYPES: dict[str, str] = {"time": "datetime64[ns]", "kind": "uint8", "invalid": "uint16", "present": "uint16"}
# The decoder gives these; the sample times are fitted after it: when the
# device sampled the packet, and how many of its kind are missing before it.
SAMPLE_TYPES: dict[str, str] = {"sample_time": "datetime64[ns]", "missing_before": "uint16"}
DECODED_TYPES: dict[str, str] = LEADING_TYPES | dict.fromkeys(DATA_COLUMNS, "float32")
COLUMN_TYPES: dict[str, str] = {"time": "datetime64[ns]"} | SAMPLE_TYPES | DECODED_TYPES
# What every output (CSV, JSON lines, Parquet, HDF5, pandas) calls a
# packet's kind, time and flagged fields.
OUTPUT_NAMES: dict[str, str] = {"packet_type": "kind", "timestamp": "time", "invalid_fields": "invalid"}
# The one layout of every output (CSV, JSON lines, Parquet, HDF5, pandas):
# these columns first, in this order, then the data columns; `invalid` is
# the bit mask of `INVALID_BITS`.
LEADING_COLUMNS: tuple[str, ...] = ("time", "sample_time", "missing_before", "kind", "invalid")
COLUMNS: tuple[str, ...] = LEADING_COLUMNS + DATA_COLUMNS
# The outputs' names of the bits of `invalid` (bit i: the field of
# VALIDITY_NAMES[i]), as the columns name the fields.
INVALID_BITS: tuple[str, ...] = tuple(f.name for f in WIRE_ORDER if f.validity_name)
# A packet's `invalid_fields` names by the outputs' names for them.
OUTPUT_NAME: dict[str, str] = dict(zip(VALIDITY_NAMES, INVALID_BITS, strict=True))

Value = list[float] | float | None


class PacketLike(Protocol):
    """The read-only view of a packet that the tools work on."""

    @property
    def packet_type(self) -> str: ...
    @property
    def timestamp(self) -> int: ...
    @property
    def invalid_fields(self) -> str | None: ...
    @property
    def scaled_accel(self) -> list[float] | None: ...
    @property
    def scaled_gyro(self) -> list[float] | None: ...
    @property
    def delta_vel(self) -> list[float] | None: ...
    @property
    def delta_theta(self) -> list[float] | None: ...
    @property
    def scaled_ambient_pressure(self) -> float | None: ...
    @property
    def est_pressure_alt(self) -> float | None: ...
    @property
    def est_orient_quaternion(self) -> list[float] | None: ...
    @property
    def est_attitude_uncert_quaternion(self) -> list[float] | None: ...
    @property
    def est_angular_rate(self) -> list[float] | None: ...
    @property
    def est_compensated_accel(self) -> list[float] | None: ...
    @property
    def est_linear_accel(self) -> list[float] | None: ...
    @property
    def est_gravity_vector(self) -> list[float] | None: ...


def field_value(packet: PacketLike, name: str) -> Value:
    """The value of one data field, by property name."""
    value: Value = getattr(packet, name)
    return value


def field_values(packet: PacketLike, name: str) -> list[float] | None:
    """The value of one data field as a list (a single value becomes a list of
    one), or None when the packet does not carry it."""
    value = field_value(packet, name)
    if value is None:
        return None
    return [value] if isinstance(value, float) else list(value)


def as_dict(packet: PacketLike) -> dict[str, object]:
    """All fifteen properties by name, in property order."""
    return {name: getattr(packet, name) for name in PROPERTY_NAMES}


def invalid_names(packet: PacketLike) -> list[str]:
    """The names the device flagged not valid, in payload order (a name may
    occur twice if the device sent the field twice)."""
    text = packet.invalid_fields
    return text.split(",") if text else []


def lacking(present: Any, field: str) -> Any:
    """Where a packet does not carry the data field `field`, from the
    `present` column (a NaN in a field that is there is a value the device
    sent, not an absence)."""
    bit = DATA_FIELDS.index(FIELD_BY_NAME[field])
    absent = (present >> bit & 1) == 0
    return absent
