"""Packets as text: the packet's own text form, CSV and JSON lines.

CSV and JSON lines are written by one writer, `brimlet_columns.text_lines`,
from columns: a loaded recording's or a live source's batches (`ColumnWriter`)
or, packet by packet, those of each packet as it comes (`PacketWriter`). Each
value is a single-precision number, written as the packet's text form writes
it: the shortest decimal text that reads back as the same single-precision
value, so 0.1 is written as 0.1, not as the seventeen digits of its widening
to double precision. Reading a value back means rounding the text to single
precision (`read_csv` and `read_jsonl` do that), which gives exactly the
packet's value. Both name a packet's kind, time and flagged fields `kind`,
`time` and `invalid`, as every other output does (`fields.OUTPUT_NAMES`). CSV
has one column per value, empty where a packet does not carry a field; JSON
lines have one object per packet with a key per field (a list for a vector or
quaternion), null where absent. JSON lines write a non-finite value as NaN,
Infinity or -Infinity, as Python's json module does; CSV writes NaN, inf and
-inf, as the text form does. The names of the fields flagged not valid come in
the order of `fields.VALIDITY_NAMES`.
"""

from __future__ import annotations

import csv
import json
import math
import struct
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, BinaryIO, TextIO

from ..errors import load_columns
from ..wire.fields import (
    COLUMNS, DATA_COLUMNS, DATA_FIELDS, KIND_CODE, OUTPUT_NAMES, VALIDITY_NAMES, PacketLike,
)  # fmt: skip

if TYPE_CHECKING:
    from collections.abc import Buffer

    import numpy.typing as npt

FORMATS: tuple[str, ...] = ("text", "csv", "jsonl")
# The CSV header that dump once wrote (the properties' names, quaternion
# parts numbered), still read: the same columns in the same order.
OLD_COLUMNS: tuple[str, ...] = tuple(OUTPUT_NAMES) + tuple(
    c for f in DATA_FIELDS for c in (f.columns if f.width != 4 else [f"{f.name}_{i}" for i in range(4)])
)
PROPERTY_BY_NAME: dict[str, str] = {name: prop for prop, name in OUTPUT_NAMES.items()}
# The file name endings that select a text format where one is not named.
SUFFIXES: dict[str, str] = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".txt": "text"}
# Rows made into text at a time: their text stays in the cache until written.
CHUNK = 4096
# The JSON keys: kind, time, invalid, then one per field.
JSON_KEYS: tuple[str, ...] = tuple(OUTPUT_NAMES.values()) + tuple(f.name for f in DATA_FIELDS)

_SINGLE = struct.Struct("<f")


def to_single(x: float) -> float:
    """`x` rounded to the nearest single-precision value (an overflow
    becomes an infinity)."""
    try:
        value: float = _SINGLE.unpack(_SINGLE.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)
    return value


def header_line(fmt: str, extra: Sequence[str] = ()) -> str:
    """What comes before the first packet: the CSV header line, with the
    names of the `extra` columns last."""
    return ",".join((*COLUMNS, *extra)) + "\n" if fmt == "csv" else ""


def text_lines(fmt: str, columns: Sequence[Buffer]) -> bytes:
    """The lines of `columns` (time, kind, invalid, present and the data
    columns, as `brimlet_columns.text_lines` takes them) in `fmt`."""
    lines: bytes = load_columns().text_lines(fmt, columns, JSON_KEYS)
    return lines


def with_extra(fmt: str, line: str, names: Sequence[str], values: Iterable[int]) -> str:
    """A packet's CSV or JSON line with the integer values of the extra
    columns `names` added last."""
    if fmt == "csv":
        return line[:-1] + "".join(f",{v}" for v in values) + "\n"
    return line.rstrip()[:-1] + "".join(f',"{k}":{v}' for k, v in zip(names, values, strict=True)) + "}\n"


def write_columns(
    columns: Mapping[str, npt.NDArray[Any]], out: BinaryIO, fmt: str, advance: Callable[[int], object],
    rows: slice | None = None,
) -> None:
    """Writes the packets `rows` (all by default) of a loaded recording's
    `columns` to `out` as CSV (with its header) or JSON lines, each with its
    receive time (or the estimated one) as its timestamp, telling `advance`
    as it goes."""
    start, stop, _ = (rows or slice(None)).indices(len(columns["time"]))
    ColumnWriter(out, fmt).write(columns, range(start, stop), advance)


class ColumnWriter:
    """Writes rows of columns named as `load` names them to a binary stream
    as CSV (its header first) or JSON lines; the `extra` integer columns
    (datetime64 ones as ns since the epoch) come after the packet's own."""

    def __init__(self, out: BinaryIO, fmt: str, extra: Sequence[str] = ()) -> None:
        if fmt not in ("csv", "jsonl"):
            raise ValueError(f"columns are written as CSV or JSON lines, not {fmt!r}")
        self.out, self.format, self.extra = out, fmt, tuple(extra)
        out.write(header_line(fmt, extra).encode())

    def write(self, columns: Mapping[str, npt.NDArray[Any]], rows: range | npt.NDArray[Any],
              advance: Callable[[int], object] = lambda n: None) -> None:  # fmt: skip
        """The lines of the packets at `rows` (a range, or an array of
        indices), in chunks, telling `advance` as it goes."""
        ordered = [columns["time"].view("int64"), columns["kind"], columns["invalid"], columns["present"],
                   *(columns[name] for name in DATA_COLUMNS)]  # fmt: skip
        extra = [columns[name].view("int64") if columns[name].dtype.kind == "M" else columns[name]
                 for name in self.extra]  # fmt: skip
        for first in range(0, len(rows), CHUNK):
            part = rows[first : first + CHUNK]
            at: slice | npt.NDArray[Any] = slice(part.start, part.stop) if isinstance(part, range) else part
            lines = text_lines(self.format, [column[at] for column in ordered])
            if extra:
                values = zip(*(column[at].tolist() for column in extra), strict=True)
                text = lines.decode().splitlines(keepends=True)
                lines = "".join(with_extra(self.format, line, self.extra, v)
                                for line, v in zip(text, values, strict=True)).encode()  # fmt: skip
            self.out.write(lines)
            advance(len(part))


class PacketColumns:
    """The columns of one packet, refilled for each: the way a packet that
    comes alone goes through the text writer."""

    def __init__(self) -> None:
        self.time = array("q", [0])
        self.small = [array("B", [0]), array("H", [0]), array("H", [0])]  # kind, invalid, present
        self.data = {name: array("f", [0.0]) for name in DATA_COLUMNS}
        self.all: list[array[Any]] = [self.time, *self.small, *self.data.values()]
        self.bits = {name: 1 << bit for bit, name in enumerate(VALIDITY_NAMES)}

    def fill(self, packet: PacketLike) -> list[array[Any]]:
        """The columns holding `packet`; a timestamp past 2**63 - 1 ns
        (the year 2262) does not fit them (OverflowError)."""
        self.time[0] = packet.timestamp
        kind, invalid, present = self.small
        kind[0] = KIND_CODE[packet.packet_type]
        names = packet.invalid_fields
        invalid[0] = sum(self.bits[n] for n in set(names.split(","))) if names else 0
        carried = 0
        for bit, f in enumerate(DATA_FIELDS):
            value = getattr(packet, f.name)
            if value is None:
                continue
            carried |= 1 << bit
            for column, v in zip(f.columns, [value] if f.width == 1 else value, strict=True):
                self.data[column][0] = v
        present[0] = carried
        return self.all


class PacketWriter:
    """Writes packets one by one to a text stream in one of `FORMATS`; CSV
    and JSON lines may carry `extra` integer columns after the packet's own."""

    def __init__(self, stream: TextIO, fmt: str, extra: Sequence[str] = ()) -> None:
        if fmt not in FORMATS or (extra and fmt == "text"):
            raise ValueError(f"unknown format {fmt!r}" if fmt not in FORMATS else "the text form has no extra columns")
        self.stream = stream
        self.format = fmt
        self.extra = tuple(extra)
        self.columns = PacketColumns()
        stream.write(header_line(fmt, extra))

    def write(self, packet: PacketLike, extra: Sequence[int] = ()) -> None:
        """The line of `packet`, with the values of the extra columns."""
        if self.format == "text":
            self.stream.write(f"{packet}\n")
            return
        line = text_lines(self.format, self.columns.fill(packet)).decode()
        self.stream.write(with_extra(self.format, line, self.extra, extra) if self.extra else line)


def _single_values(value: object) -> object:
    """A value read from text, rounded back to single precision."""
    if isinstance(value, float):
        return to_single(value)
    if isinstance(value, list):
        return [to_single(v) for v in value]
    return value


def read_csv(lines: Iterable[str]) -> Iterator[dict[str, object]]:
    """The packets of CSV text written by `PacketWriter`, each as a dict of
    its properties like `fields.as_dict` gives."""
    reader = csv.reader(lines)
    header = tuple(next(reader))
    if header not in (COLUMNS, OLD_COLUMNS):
        raise ValueError("not a packet CSV: unexpected header")
    for row in reader:
        cells = dict(zip(COLUMNS, row))
        record: dict[str, object] = {
            "packet_type": cells["kind"],
            "timestamp": int(cells["time"]),
            "invalid_fields": cells["invalid"] or None,
        }
        for f in DATA_FIELDS:
            texts = [cells[c] for c in f.columns]
            if not any(texts):
                record[f.name] = None
            elif f.width == 1:
                record[f.name] = to_single(float(texts[0]))
            else:
                record[f.name] = [to_single(float(t)) for t in texts]
        yield record


def read_jsonl(lines: Iterable[str]) -> Iterator[dict[str, object]]:
    """The packets of JSON lines, each as a dict of its properties with the
    values rounded back to single precision (lines that name the
    properties themselves, as dump once wrote them, read the same)."""
    for line in lines:
        if line.strip():
            record: dict[str, object] = json.loads(line)
            yield {PROPERTY_BY_NAME.get(k, k): _single_values(v) for k, v in record.items()}
