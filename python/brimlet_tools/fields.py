"""The fields of a packet as the tools see them: names, widths, columns.

Every tool that turns packets into something else (text tables, JSON, numpy
arrays, plots, summaries) walks this one table, so adding a field is adding a
row here. `PacketLike` is what those tools ask of a packet: `brimlet.IMUPacket`
satisfies it, and so does the simulator's `SimPacket`, which lets the tools be
used and tested on generated data without the extension module.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol


@dataclass(frozen=True, slots=True)
class DataField:
    """One data field of a packet: its property name, how many values it holds
    (1 for a single float, 3 for a vector, 4 for a quaternion) and the kind of
    packet that carries it."""

    name: str
    width: int
    packet_type: str

    @property
    def columns(self) -> tuple[str, ...]:
        """Names of the flat columns of this field: `scaled_accel_x` and so on
        for vectors, `_0` to `_3` for quaternions (whose element order is the
        device's), the bare name for a single value."""
        if self.width == 1:
            return (self.name,)
        suffixes = "xyz" if self.width == 3 else "0123"
        return tuple(f"{self.name}_{s}" for s in suffixes)


# In the order of the packet's properties.
DATA_FIELDS: tuple[DataField, ...] = (
    DataField("scaled_accel", 3, "raw"),
    DataField("scaled_gyro", 3, "raw"),
    DataField("delta_vel", 3, "raw"),
    DataField("delta_theta", 3, "raw"),
    DataField("scaled_ambient_pressure", 1, "raw"),
    DataField("est_pressure_alt", 1, "estimated"),
    DataField("est_orient_quaternion", 4, "estimated"),
    DataField("est_attitude_uncert_quaternion", 4, "estimated"),
    DataField("est_angular_rate", 3, "estimated"),
    DataField("est_compensated_accel", 3, "estimated"),
    DataField("est_linear_accel", 3, "estimated"),
    DataField("est_gravity_vector", 3, "estimated"),
)
FIELD_BY_NAME: dict[str, DataField] = {f.name: f for f in DATA_FIELDS}
PACKET_TYPES: tuple[str, ...] = ("raw", "estimated")
PROPERTY_NAMES: tuple[str, ...] = ("packet_type", "timestamp", "invalid_fields") + tuple(
    f.name for f in DATA_FIELDS
)
COLUMNS: tuple[str, ...] = ("packet_type", "timestamp", "invalid_fields") + tuple(
    c for f in DATA_FIELDS for c in f.columns
)

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
