"""Packets as numpy arrays, built packet by packet in Python: the baseline
that the columnar decoder (`brimlet_tools.load`) is measured against.

`structured` gives one record per packet in a structured array; vectors and
quaternions are sub-arrays of 3 or 4 values, and a field that a packet does
not carry is NaN. `field_arrays` gives the same as one array per field.
Values are kept in single precision by default, which holds the device's
values exactly.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from brimlet_tools.wire.fields import DATA_FIELDS, PacketLike, field_values


def packet_dtype(invalid_width: int = 1, float_type: npt.DTypeLike = np.float32) -> np.dtype[np.void]:
    """The record type: packet_type, timestamp (ns, unsigned 64-bit),
    invalid_fields (text of `invalid_width` characters) and the data fields."""
    columns: list[tuple[str, npt.DTypeLike] | tuple[str, npt.DTypeLike, tuple[int]]] = [
        ("packet_type", "U9"),
        ("timestamp", np.uint64),
        ("invalid_fields", f"U{max(invalid_width, 1)}"),
    ]
    for f in DATA_FIELDS:
        columns.append((f.name, float_type) if f.width == 1 else (f.name, float_type, (f.width,)))
    return np.dtype(columns)


def structured(
    packets: Iterable[PacketLike],
    packet_type: str | None = None,
    float_type: npt.DTypeLike = np.float32,
) -> npt.NDArray[np.void]:
    """One record per packet (only those of `packet_type`, if given)."""
    chosen = [p for p in packets if packet_type is None or p.packet_type == packet_type]
    width = max((len(p.invalid_fields or "") for p in chosen), default=1)
    out = np.zeros(len(chosen), dtype=packet_dtype(width, float_type))
    for f in DATA_FIELDS:
        out[f.name] = np.nan
    for i, packet in enumerate(chosen):
        record = out[i]
        record["packet_type"] = packet.packet_type
        record["timestamp"] = packet.timestamp
        record["invalid_fields"] = packet.invalid_fields or ""
        for f in DATA_FIELDS:
            values = field_values(packet, f.name)
            if values is not None:
                record[f.name] = values[0] if f.width == 1 else values
    return out


def field_arrays(
    packets: Iterable[PacketLike],
    packet_type: str | None = None,
    float_type: npt.DTypeLike = np.float32,
) -> dict[str, npt.NDArray[Any]]:
    """One contiguous array per field: shape (n,) for the single values and
    the three text and time fields, (n, 3) or (n, 4) for the others."""
    table = structured(packets, packet_type, float_type)
    names = table.dtype.names or ()
    return {name: np.ascontiguousarray(table[name]) for name in names}
