"""Encoding of the device's frames, the inverse of what brimlet decodes.

A frame is 0x75 0x65, the descriptor set, the payload length N, N payload
bytes and two checksum bytes. The payload is a run of fields: length (the
whole field), descriptor, data. Values are big-endian IEEE 754 single
precision; fields of the estimated set end with a 16-bit valid-flags word.
"""

from __future__ import annotations

import operator
import struct
from collections.abc import Iterable, Sequence

from .fields import DESCRIPTOR_SETS, WIRE_ORDER

SYNC = b"\x75\x65"
RAW_SET = DESCRIPTOR_SETS["raw"]
ESTIMATED_SET = DESCRIPTOR_SETS["estimated"]

# (descriptor, number of values, packet attribute[, validity name]), from the
# schema; the order of each table is the order in which a device sends the
# fields.
RAW_FIELDS: tuple[tuple[int, int, str], ...] = tuple(
    (f.descriptor, f.width, f.name) for f in WIRE_ORDER if f.packet_type == "raw"
)
ESTIMATED_FIELDS: tuple[tuple[int, int, str, str], ...] = tuple(
    (f.descriptor, f.width, f.name, f.validity_name or "") for f in WIRE_ORDER if f.packet_type == "estimated"
)


def checksum(data: bytes) -> bytes:
    """The two checksum bytes over `data` (sync, set, length and payload).

    Byte A is the running sum of the bytes and B the sum of the running sums,
    both modulo 256; B is computed in closed form, each byte counted once for
    every running sum that includes it."""
    n = len(data)
    a = sum(data) & 0xFF
    b = sum(map(operator.mul, data, range(n, 0, -1))) & 0xFF
    return bytes((a, b))


def frame(descriptor_set: int, payload: bytes) -> bytes:
    """A complete frame around `payload` (at most 255 bytes)."""
    if len(payload) > 255:
        raise ValueError(f"payload of {len(payload)} bytes does not fit in a frame")
    head = SYNC + bytes((descriptor_set, len(payload))) + payload
    return head + checksum(head)


def field(descriptor: int, data: bytes) -> bytes:
    """One payload field: its length, its descriptor, its data."""
    return bytes((len(data) + 2, descriptor)) + data


def floats(values: Iterable[float]) -> bytes:
    """Big-endian single-precision values."""
    values = list(values)
    return struct.pack(f">{len(values)}f", *values)


def raw_field(descriptor: int, values: Sequence[float]) -> bytes:
    return field(descriptor, floats(values))


def estimated_field(descriptor: int, values: Sequence[float], valid: bool = True) -> bytes:
    """A field of the estimated set; `valid` sets bit 0 of the flags word."""
    return field(descriptor, floats(values) + struct.pack(">H", 1 if valid else 0))


def raw_frame(**values: Sequence[float] | float) -> bytes:
    """A raw-set frame with the given fields, by packet attribute name."""
    payload = b""
    for descriptor, count, name in RAW_FIELDS:
        if name in values:
            v = values.pop(name)
            payload += raw_field(descriptor, [v] if count == 1 else v)  # type: ignore[list-item, arg-type]
    if values:
        raise TypeError(f"not raw fields: {', '.join(values)}")
    return frame(RAW_SET, payload)


def estimated_frame(invalid: Iterable[str] = (), **values: Sequence[float] | float) -> bytes:
    """An estimated-set frame with the given fields, by packet attribute name;
    the attributes named in `invalid` are flagged not valid."""
    invalid = set(invalid)
    payload = b""
    for descriptor, count, name, _flag_name in ESTIMATED_FIELDS:
        if name in values:
            v = values.pop(name)
            payload += estimated_field(descriptor, [v] if count == 1 else v, name not in invalid)  # type: ignore[list-item, arg-type]
    if values:
        raise TypeError(f"not estimated fields: {', '.join(values)}")
    return frame(ESTIMATED_SET, payload)
