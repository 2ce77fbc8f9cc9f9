"""A compact view of packets: one line per packet with its time and kind and
the values of the fields that its kind carries, in columns under a header
line per kind. Times are seconds since the first line; a field the packet
does not carry is shown as "-", the names of fields the device flagged not
valid close the line."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from typing import Any, TextIO

from ..wire.fields import (
    DATA_FIELDS, INVALID_BITS, OUTPUT_NAME, PACKET_TYPES, DataField, PacketLike, field_values,
)  # fmt: skip
from .formats import Rows, part_of

VALUE_WIDTH = 10  # "-1.234e-05", a value written to four significant digits
TIME_WIDTH = 12
KIND_WIDTH = max(len(k) for k in PACKET_TYPES) + 1
CHUNK = 4096  # rows of a recording turned into Python values at a time


def block_width(f: DataField) -> int:
    return max(len(f.name), f.width * (VALUE_WIDTH + 1) - 1)


class Table:
    """Writes packets of the `kinds` given as lines of the chosen `fields`
    (of those kinds) to `stream`; the header comes with the first line."""

    def __init__(self, stream: TextIO, kinds: Sequence[str], fields: Sequence[DataField] = DATA_FIELDS,
                 time_label: str = "time (s)") -> None:  # fmt: skip
        self.stream = stream
        self.time_label = time_label
        self.fields = {k: [f for f in fields if f.packet_type == k] for k in kinds}
        self.start: int | None = None

    def header(self) -> str:
        return "".join(
            f"{self.time_label:>{TIME_WIDTH}}  {kind + ':':<{KIND_WIDTH}}"
            + "".join(f"  {f.name:>{block_width(f)}}" for f in fields)
            + "\n"
            for kind, fields in self.fields.items()
        )

    def line(self, time: int, kind: str, values: Callable[[DataField], Sequence[float] | None], invalid: str,
             missing: int = 0) -> None:  # fmt: skip
        """One packet's line, when its kind is shown; `values` gives the
        values of a field, None when the packet does not carry it; `missing`
        packets of its kind are missing just before it."""
        fields = self.fields.get(kind)
        if fields is None:
            return
        if self.start is None:
            self.start = time
            self.stream.write(self.header())
        cells = [f"{(time - self.start) / 1e9:>{TIME_WIDTH}.6f}  {kind:<{KIND_WIDTH}}"]
        for f in fields:
            v = values(f)
            text = "-" if v is None else " ".join(f"{x:>{VALUE_WIDTH}.4g}" for x in v)
            cells.append(f"  {text:>{block_width(f)}}")
        if invalid:
            cells.append(f"  not valid: {invalid}")
        if missing:
            cells.append(f"  {missing} missing before")
        self.stream.write("".join(cells) + "\n")

    def write(self, packet: PacketLike, time: int | None = None, missing: int = 0) -> None:
        """The line of `packet`, at its own timestamp or at `time`."""
        self.line(packet.timestamp if time is None else time, packet.packet_type,
                  lambda f: field_values(packet, f.name), output_names(packet.invalid_fields), missing)  # fmt: skip

    def write_columns(self, c: Mapping[str, Any], rows: Rows,
                      advance: Callable[[int], Any] = lambda n: None, time: str = "time",
                      missing_before: str | None = None) -> None:  # fmt: skip
        """The lines of the packets at `rows` of the columns `c` (named as
        `load` names them, numpy arrays or memoryviews), at the times of the column `time`;
        given the column `missing_before`, each line says the packets of its
        kind missing before it."""
        bits = {f.name: i for i, f in enumerate(DATA_FIELDS)}
        for start in range(0, len(rows), CHUNK):
            part = rows[start : start + CHUNK]
            times = part_of(c[time], part).tolist()
            kinds = part_of(c["kind"], part).tolist()
            present = part_of(c["present"], part).tolist()
            invalid = part_of(c["invalid"], part).tolist()
            missing = [0] * len(times) if missing_before is None else part_of(c[missing_before], part).tolist()
            shown = {f.name: [part_of(c[name], part).tolist() for name in f.columns]
                     for fs in self.fields.values() for f in fs}  # fmt: skip
            for i, at in enumerate(times):

                def values(f: DataField) -> list[float] | None:
                    return [col[i] for col in shown[f.name]] if present[i] >> bits[f.name] & 1 else None

                flagged = ",".join(n for b, n in enumerate(INVALID_BITS) if invalid[i] >> b & 1)
                self.line(at, PACKET_TYPES[kinds[i]], values, flagged, missing[i])
            advance(len(times))


def output_names(invalid_fields: str | None) -> str:
    """A packet's flagged fields (its `invalid_fields`) as the outputs name
    them, in its order."""
    return ",".join(OUTPUT_NAME.get(n, n) for n in invalid_fields.split(",")) if invalid_fields else ""
