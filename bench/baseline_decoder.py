"""The baseline: the decoder a user would write in pure Python with `struct`.

It follows the device's framing and field rules exactly as the module does
(sync pair 0x75 0x65, descriptor set, payload length, payload, two checksum
bytes; a failed checksum moves on by one byte; fields of the wrong length are
skipped; bit 0 of an estimated field's flags word says whether it is valid),
so on the same stream it finds the same packets. Each packet becomes a plain
dict keyed like the module's packet properties, holding only the fields that
the frame carried, with a host timestamp taken when it was decoded.

It is written the way a careful user would write it, not the slowest way:
precompiled `struct.Struct` objects, `bytearray.find` for the sync pair, the
checksum in closed form with `sum` instead of a loop over bytes.
"""

from __future__ import annotations

import operator
import struct
import time
from typing import Final

SYNC: Final = b"\x75\x65"
RAW_SET: Final = 0x80
ESTIMATED_SET: Final = 0x82

Packet = dict[str, object]

# descriptor -> (field length, property name, values, flag name or None)
FieldRow = tuple[int, str, struct.Struct, str | None]

_F1 = struct.Struct(">f")
_F3 = struct.Struct(">3f")
_F4 = struct.Struct(">4f")

RAW_FIELDS: Final[dict[int, FieldRow]] = {
    0x04: (14, "scaled_accel", _F3, None),
    0x05: (14, "scaled_gyro", _F3, None),
    0x07: (14, "delta_theta", _F3, None),
    0x08: (14, "delta_vel", _F3, None),
    0x17: (6, "scaled_ambient_pressure", _F1, None),
}
ESTIMATED_FIELDS: Final[dict[int, FieldRow]] = {
    0x03: (20, "est_orient_quaternion", _F4, "estOrientQuaternion"),
    0x0D: (16, "est_linear_accel", _F3, "estLinearAccel"),
    0x0E: (16, "est_angular_rate", _F3, "estAngularRate"),
    0x12: (20, "est_attitude_uncert_quaternion", _F4, "estAttitudeUncertQuaternion"),
    0x13: (16, "est_gravity_vector", _F3, "estGravityVector"),
    0x1C: (16, "est_compensated_accel", _F3, "estCompensatedAccel"),
    0x21: (8, "est_pressure_alt", _F1, "estPressureAlt"),
}
SETS: Final[dict[int, tuple[str, dict[int, FieldRow]]]] = {
    RAW_SET: ("raw", RAW_FIELDS),
    ESTIMATED_SET: ("estimated", ESTIMATED_FIELDS),
}


def checksum_ok(buf: bytearray, start: int, n: int) -> bool:
    """Whether the frame of payload length `n` at `start` carries the right
    checksum: A is the sum of the 4 + n bytes, B the sum of the running sums."""
    body = buf[start : start + 4 + n]
    a = sum(body) & 0xFF
    b = sum(map(operator.mul, body, range(4 + n, 0, -1))) & 0xFF
    return buf[start + 4 + n] == a and buf[start + 5 + n] == b


def decode_payload(packet_type: str, fields: dict[int, FieldRow], buf: bytearray, start: int, n: int) -> Packet:
    """The packet of the payload of `n` bytes at `start`."""
    packet: Packet = {"packet_type": packet_type, "timestamp": time.time_ns()}
    flagged: list[str] = []
    o = 0
    while o < n:
        length = buf[start + o]
        if length < 2 or o + length > n:
            break
        row = fields.get(buf[start + o + 1])
        if row is not None and row[0] == length:
            _length, name, values, flag = row
            decoded = values.unpack_from(buf, start + o + 2)
            packet[name] = decoded[0] if len(decoded) == 1 else list(decoded)
            if flag is not None and not buf[start + o + length - 1] & 1:
                flagged.append(flag)
        o += length
    if flagged:
        packet["invalid_fields"] = ",".join(flagged)
    return packet


class BaselineDecoder:
    """Feeds on the stream in pieces of any size; `feed` returns the packets
    that the new bytes completed, in stream order."""

    def __init__(self) -> None:
        self._buf = bytearray()

    def feed(self, data: bytes) -> list[Packet]:
        buf = self._buf
        buf += data
        end = len(buf)
        packets: list[Packet] = []
        i = 0
        while True:
            i = buf.find(SYNC, i)
            if i < 0:
                # Keep a last 0x75: it may be the start of a sync pair.
                i = end - 1 if end and buf[end - 1] == SYNC[0] else end
                break
            if i + 4 > end:
                break
            n = buf[i + 3]
            if i + n + 6 > end:
                break
            if not checksum_ok(buf, i, n):
                i += 1
                continue
            kind = SETS.get(buf[i + 2])
            if kind is not None:
                packets.append(decode_payload(kind[0], kind[1], buf, i + 4, n))
            i += n + 6
        del buf[:i]
        return packets
