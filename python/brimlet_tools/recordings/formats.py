"""Packets as text: the packet's own text form, CSV and JSON lines.

All three are written by one writer, `brimlet_columns.text_lines`, from
columns: a loaded recording's or a live source's batches (`ColumnWriter`)
or, packet by packet, those of each packet as it comes (`PacketWriter`,
which writes the text form as str() gives it, with the packet's own time). Each
value is a single-precision number, written as the packet's text form writes
it: the shortest decimal text that reads back as the same single-precision
value, so 0.1 is written as 0.1, not as the seventeen digits of its widening
to double precision. Reading a value back means rounding the text to single
precision (`read_csv` and `read_jsonl` do that), which gives exactly the
packet's value. Both hold the columns of every output in its order
(`fields.COLUMNS`): `time`, `sample_time` and `missing_before` (where the
packets have sample times), `kind`, `invalid` (the bit mask of
`fields.INVALID_BITS`, 0 where nothing is flagged), then the values. CSV
has one column per value, empty where a packet does not carry a field; JSON
lines have one object per packet with a key per field (a list for a vector or
quaternion), null where absent. JSON lines write a non-finite value as NaN,
Infinity or -Infinity, as Python's json module does; CSV writes NaN, inf and
-inf, as the text form does. Files written by older versions (kind first,
the flagged fields by name) are still read.
"""

from __future__ import annotations

import csv
import json
import math
import struct
from array import array
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, TextIO

from ..errors import load_columns
from ..wire.fields import (
    COLUMNS, DATA_COLUMNS, DATA_FIELDS, KIND_CODE, LEADING_COLUMNS, OUTPUT_NAMES, PACKET_TYPES, VALIDITY_NAMES,
    PacketLike,
)  # fmt: skip

if TYPE_CHECKING:
    from collections.abc import Buffer

    import numpy.typing as npt


@dataclass(frozen=True)
class TextFormat:
    """A text format that packets are written in: its name (the choice of
    `--format`), the name endings that select it, what messages call it, and
    whether it holds the cells of every output's layout (CSV and JSON lines,
    which `export` writes too) or is the packets' own text form."""

    name: str
    suffixes: tuple[str, ...]
    what: str
    columnar: bool


# The text formats, the one list of them: the rest below derive from it.
TEXT_FORMATS: tuple[TextFormat, ...] = (
    TextFormat(name="text", suffixes=(".txt",), what="the packets' text form", columnar=False),
    TextFormat(name="csv", suffixes=(".csv",), what="CSV", columnar=True),
    TextFormat(name="jsonl", suffixes=(".jsonl", ".ndjson"), what="JSON lines", columnar=True),
)
# The choices of `--format` where a table is one of them, told apart.
FORMAT_HELP = (
    "table (one line per packet), "
    + ", ".join(f"{f.name} ({f.what})" for f in TEXT_FORMATS)
    + " (default: by the output's ending, "
    + ", ".join(f"{' or '.join(f.suffixes)} for {f.name}" for f in TEXT_FORMATS)
    + "; else table)"
)
FORMATS: tuple[str, ...] = tuple(f.name for f in TEXT_FORMATS)
# The file name endings that select a text format where one is not named.
SUFFIXES: dict[str, str] = {suffix: f.name for f in TEXT_FORMATS for suffix in f.suffixes}
# The CSV headers that dump once wrote, still read: kind, time and the names
# of the flagged fields first, then the data columns (under the properties'
# names, quaternion parts numbered, in the oldest).
PREVIOUS_COLUMNS: tuple[str, ...] = tuple(OUTPUT_NAMES.values()) + DATA_COLUMNS
OLD_COLUMNS: tuple[str, ...] = tuple(OUTPUT_NAMES) + tuple(
    c for f in DATA_FIELDS for c in (f.columns if f.width != 4 else [f"{f.name}_{i}" for i in range(4)])
)
PROPERTY_BY_NAME: dict[str, str] = {name: prop for prop, name in OUTPUT_NAMES.items()}
# Rows made into text at a time: their text stays in the cache until written.
CHUNK = 4096
# The sample-time columns, which a packet has once the clock has placed it.
SAMPLE_COLUMNS: tuple[str, ...] = ("sample_time", "missing_before")
# The native writer's keys for the leading cells, which are written here
# instead: its lines are cut after them.
BLANK_KEYS: tuple[str, ...] = ("", "", "") + tuple(f.name for f in DATA_FIELDS)
KIND_TEXT: tuple[bytes, ...] = tuple(k.encode() for k in PACKET_TYPES)
# How much of a native line to cut, by kind code: its kind, a time of 0
# and an empty `invalid`, which the leading cells replace.
NATIVE_LEAD: dict[str, tuple[int, ...]] = {
    "csv": tuple(len(f"{k},0,") for k in PACKET_TYPES),
    "jsonl": tuple(len(f'{{"":"{k}","":0,"":null') for k in PACKET_TYPES),
}

_SINGLE = struct.Struct("<f")
# Rows of columns: a range, or their indices (an array, or a list).
type Rows = range | Sequence[int] | npt.NDArray[Any]


def to_single(x: float) -> float:
    """`x` rounded to the nearest single-precision value (an overflow
    becomes an infinity)."""
    try:
        value: float = _SINGLE.unpack(_SINGLE.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)
    return value


def leading_columns(extra: Sequence[str]) -> tuple[str, ...]:
    """The leading columns of an output whose packets have the sample-time
    columns `extra` (all of them, or none)."""
    if tuple(extra) not in ((), SAMPLE_COLUMNS):
        raise ValueError(f"the extra columns are {', '.join(SAMPLE_COLUMNS)} or none, not {', '.join(extra)}")
    return tuple(c for c in LEADING_COLUMNS if c not in SAMPLE_COLUMNS or extra)


def header_line(fmt: str, extra: Sequence[str] = ()) -> str:
    """What comes before the first packet: the CSV header line (with the
    sample-time columns when `extra` names them)."""
    return ",".join((*leading_columns(extra), *DATA_COLUMNS)) + "\n" if fmt == "csv" else ""


def line_pattern(fmt: str, leading: Sequence[str]) -> bytes:
    """The %-pattern of a line's leading cells (integers, the kind's text)
    followed by the rest of the native line."""
    if fmt == "csv":
        return b",".join(b"%s" if c == "kind" else b"%d" for c in leading) + b"%s\n"
    cells = (f'"{c}":"%s"' if c == "kind" else f'"{c}":%d' for c in leading)
    return ("{" + ",".join(cells)).encode() + b"%s\n"


def text_lines(fmt: str, names: Sequence[str], leading: Sequence[Sequence[int]], present: Buffer,
               data: Sequence[Buffer]) -> bytes:  # fmt: skip
    """The lines of packets in `fmt`: the cells of the leading columns
    `names`, whose values (integers; the kind's code for `kind`) are
    `leading`, then the values that `present` says each packet carries,
    written by `brimlet_columns.text_lines`."""
    at = names.index("kind")
    kind = leading[at]
    n = len(kind)
    native: bytes = load_columns().text_lines(
        fmt, [array("q", bytes(8 * n)), array("B", kind), array("H", bytes(2 * n)), present, *data], BLANK_KEYS
    )
    cut, pattern = NATIVE_LEAD[fmt], line_pattern(fmt, names)
    cells = [*leading[:at], [KIND_TEXT[k] for k in kind], *leading[at + 1 :]]
    rows = zip(*cells, kind, native.split(b"\n"))  # the text's last split is empty: zip ends before it
    return b"".join(pattern % (*row[:-2], row[-1][cut[row[-2]] :]) for row in rows)


def write_columns(
    columns: Mapping[str, npt.NDArray[Any]], out: BinaryIO, fmt: str, advance: Callable[[int], object],
    rows: slice | None = None, extra: Sequence[str] = (),
) -> None:
    """Writes the packets `rows` (all by default) of a loaded recording's
    `columns` to `out` as CSV (with its header) or JSON lines, in the
    layout of every output (with the sample-time columns when `extra` names
    them), telling `advance` as it goes."""
    start, stop, _ = (rows or slice(None)).indices(len(columns["time"]))
    ColumnWriter(out, fmt, extra).write(columns, range(start, stop), advance)


def part_of(column: Any, rows: Rows) -> Any:
    """The values of `column` at `rows` as a buffer with `tolist()`, times
    as integer nanoseconds: `column` is a numpy array, or a memoryview where
    numpy is missing (a live source's batch)."""
    if isinstance(column, memoryview):
        if isinstance(rows, range):
            return column[rows.start : rows.stop]
        return array(column.format, [column[i] for i in rows])
    part = column[slice(rows.start, rows.stop) if isinstance(rows, range) else rows]
    return part.view("int64") if part.dtype.kind == "M" else part


class ColumnWriter:
    """Writes rows of columns named as `load` names them to a binary stream
    as CSV (its header first), JSON lines, in the layout of every output, or
    the packets' text form with each row's "time" as the timestamp; `extra`
    names the sample-time columns when the rows have them."""

    def __init__(self, out: BinaryIO, fmt: str, extra: Sequence[str] = ()) -> None:
        if fmt not in FORMATS or (extra and fmt == "text"):
            raise ValueError(f"unknown format {fmt!r}" if fmt not in FORMATS else "the text form has no extra columns")
        self.out, self.format, self.leading = out, fmt, leading_columns(extra)
        out.write(header_line(fmt, extra).encode())

    def write(self, columns: Mapping[str, Any], rows: Rows, advance: Callable[[int], object] = lambda n: None) -> None:
        """The lines of the packets at `rows` (a range, or indices), in
        chunks, telling `advance` as it goes."""
        for first in range(0, len(rows), CHUNK):
            part = rows[first : first + CHUNK]
            data = [part_of(columns[name], part) for name in DATA_COLUMNS]
            if self.format == "text":
                native = [part_of(columns[name], part) for name in ("time", "kind", "invalid", "present")]
                self.out.write(load_columns().text_lines("text", [*native, *data]))
            else:
                cells = [part_of(columns[name], part).tolist() for name in self.leading]
                self.out.write(text_lines(self.format, self.leading, cells, part_of(columns["present"], part), data))
            advance(len(part))


class PacketColumns:
    """The columns of one packet, refilled for each: the way a packet that
    comes alone goes through the text writer."""

    def __init__(self) -> None:
        self.present = array("H", [0])
        self.data = {name: array("f", [0.0]) for name in DATA_COLUMNS}
        self.bits = {name: 1 << bit for bit, name in enumerate(VALIDITY_NAMES)}

    def fill(self, packet: PacketLike) -> dict[str, int]:
        """Fills the columns with the values `packet` carries; its time,
        kind code and `invalid` bits."""
        names = packet.invalid_fields
        carried = 0
        for bit, f in enumerate(DATA_FIELDS):
            value = getattr(packet, f.name)
            if value is None:
                continue
            carried |= 1 << bit
            for column, v in zip(f.columns, [value] if f.width == 1 else value, strict=True):
                self.data[column][0] = v
        self.present[0] = carried
        invalid = sum(self.bits[n] for n in set(names.split(","))) if names else 0
        return {"time": packet.timestamp, "kind": KIND_CODE[packet.packet_type], "invalid": invalid}


class PacketWriter:
    """Writes packets one by one to a text stream in one of `FORMATS`; CSV
    and JSON lines, in the layout of every output, carry the sample-time
    columns when `extra` names them."""

    def __init__(self, stream: TextIO, fmt: str, extra: Sequence[str] = ()) -> None:
        if fmt not in FORMATS or (extra and fmt == "text"):
            raise ValueError(f"unknown format {fmt!r}" if fmt not in FORMATS else "the text form has no extra columns")
        self.stream = stream
        self.format = fmt
        self.leading = leading_columns(extra)
        self.columns = PacketColumns()
        stream.write(header_line(fmt, extra))

    def write(self, packet: PacketLike, extra: Sequence[int] = ()) -> None:
        """The line of `packet`, with the values of the sample-time columns."""
        if self.format == "text":
            self.stream.write(f"{packet}\n")
            return
        cells = self.columns.fill(packet) | dict(zip(SAMPLE_COLUMNS, extra))
        leading = [[cells[name]] for name in self.leading]
        data = list(self.columns.data.values())
        self.stream.write(text_lines(self.format, self.leading, leading, self.columns.present, data).decode())


def _single_values(value: object) -> object:
    """A value read from text, rounded back to single precision."""
    if isinstance(value, float):
        return to_single(value)
    if isinstance(value, list):
        return [to_single(v) for v in value]
    return value


def invalid_text(cell: object) -> str | None:
    """The `invalid_fields` of a packet read back: from the bit mask of the
    outputs' layout, or the names that older files held."""
    if isinstance(cell, int) or (isinstance(cell, str) and cell.isdigit()):
        mask = int(cell)
        return ",".join(n for bit, n in enumerate(VALIDITY_NAMES) if mask >> bit & 1) or None
    return str(cell) if cell else None


def read_csv(lines: Iterable[str]) -> Iterator[dict[str, object]]:
    """The packets of CSV text written by `PacketWriter` or
    `ColumnWriter`, or by older versions of them, each as a dict of its
    properties like `fields.as_dict` gives."""
    reader = csv.reader(lines)
    header = tuple(next(reader))
    if header == OLD_COLUMNS:
        header = PREVIOUS_COLUMNS
    if header not in (PREVIOUS_COLUMNS, COLUMNS, (*leading_columns(()), *DATA_COLUMNS)):
        raise ValueError("not a packet CSV: unexpected header")
    for row in reader:
        cells = dict(zip(header, row))
        record: dict[str, object] = {
            "packet_type": cells["kind"],
            "timestamp": int(cells["time"]),
            "invalid_fields": invalid_text(cells["invalid"]),
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
    properties themselves, or the flagged fields rather than their bits,
    as dump once wrote them, read the same); the sample-time keys are
    left out."""
    for line in lines:
        if line.strip():
            record: dict[str, object] = json.loads(line)
            packet = {PROPERTY_BY_NAME.get(k, k): _single_values(v) for k, v in record.items()
                      if k not in SAMPLE_COLUMNS}  # fmt: skip
            packet["invalid_fields"] = invalid_text(packet["invalid_fields"])
            yield packet
