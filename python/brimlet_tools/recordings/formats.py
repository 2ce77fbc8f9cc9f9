"""Packets as text: the packet's own text form, CSV and JSON lines.

Each value is a single-precision number, and it is written as the packet's
text form writes it: the shortest decimal text that reads back as the same
single-precision value (`f32_text`), so 0.1 is written as 0.1, not as the
seventeen digits of its widening to double precision. Reading a value back
means rounding the text to single precision (`read_csv` and `read_jsonl` do
that), which gives exactly the packet's value. Both name a packet's kind,
time and flagged fields `kind`, `time` and `invalid`, as every other output
does (`fields.OUTPUT_NAMES`). CSV has one column per value, empty where a
packet does not carry a field; JSON lines have one object per packet with
a key per field (a list for a vector or quaternion), null where absent. JSON lines write a
non-finite value as NaN, Infinity or -Infinity, as Python's json module
does; CSV writes NaN, inf and -inf, as the text form does.
"""

from __future__ import annotations

import csv
import json
import math
import struct
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TextIO

from ..wire.fields import COLUMNS, DATA_FIELDS, OUTPUT_NAMES, PacketLike, as_dict, field_values

FORMATS: tuple[str, ...] = ("text", "csv", "jsonl")
# The CSV header that dump once wrote (the properties' names, quaternion
# parts numbered), still read: the same columns in the same order.
OLD_COLUMNS: tuple[str, ...] = tuple(OUTPUT_NAMES) + tuple(
    c for f in DATA_FIELDS for c in (f.columns if f.width != 4 else [f"{f.name}_{i}" for i in range(4)])
)
PROPERTY_BY_NAME: dict[str, str] = {name: prop for prop, name in OUTPUT_NAMES.items()}
# The file name endings that select a text format where one is not named.
SUFFIXES: dict[str, str] = {".csv": "csv", ".jsonl": "jsonl", ".ndjson": "jsonl", ".txt": "text"}

_SINGLE = struct.Struct("<f")
# Bounds of the decimal form, compared as single-precision values: from the
# value nearest to 1e-4 (just below it) up to, but not including, the value
# nearest to 1e16.
SMALL = _SINGLE.unpack(_SINGLE.pack(1e-4))[0]
LARGE = _SINGLE.unpack(_SINGLE.pack(1e16))[0]
NON_FINITE = {"csv": ("NaN", "inf", "-inf"), "json": ("NaN", "Infinity", "-Infinity")}


def to_single(x: float) -> float:
    """`x` rounded to the nearest single-precision value (an overflow
    becomes an infinity)."""
    try:
        value: float = _SINGLE.unpack(_SINGLE.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)
    return value


def _reading_back(magnitude: float, length: int) -> str | None:
    """A text of `length` significant digits that reads back as the
    single-precision value `magnitude`, the nearest one to it; None if there
    is none. Correct rounding gives the nearest text of that length; where
    it does not read back, the one past it on the other side still can:
    just above a power of two the values lie twice as far apart as just
    below, so the range that reads back is not centred on the value."""
    text = f"{magnitude:.{length - 1}e}"
    if to_single(float(text)) == magnitude:
        return text
    mantissa, exponent = text.split("e")
    nearest, scale = int(mantissa.replace(".", "")), int(exponent) - length + 1
    for other in (nearest - 1, nearest + 1):
        text = f"{other}e{scale}"
        if other > 0 and to_single(float(text)) == magnitude:
            return text
    return None


def shortest_digits(magnitude: float) -> tuple[str, int]:
    """The shortest digit string that, read back as a single-precision value,
    gives the finite, positive single-precision value `magnitude` (the
    nearest to it among equally short strings), and the decimal exponent of
    its first digit. A text that reads back stays one with a zero appended,
    so the shortest length is found by bisection; nine digits always do.
    Most values of a sensor need seven or eight, so those are tried first."""
    low, high = 1, 9
    best = f"{magnitude:.8e}"
    for length in (8, 7):
        text = _reading_back(magnitude, length)
        if text is None:
            low = length + 1
            break
        best, high = text, length
    while low < high:
        mid = (low + high) // 2
        text = _reading_back(magnitude, mid)
        if text is None:
            low = mid + 1
        else:
            best, high = text, mid
    mantissa, exponent = best.split("e")
    point = mantissa.find(".")
    whole = mantissa.replace(".", "")
    digits = whole.rstrip("0")
    # The exponent of the first digit: what the text says, plus the digits
    # standing before the point after the first one.
    before = (point if point >= 0 else len(whole)) - 1
    return digits, int(exponent) + before


def place(digits: str, exponent: int, negative: bool, scientific: bool) -> str:
    """`digits` (first digit at 10**exponent) written in exponent form
    (1.5e-5) or in decimal form with at least one digit after the point."""
    sign = "-" if negative else ""
    if scientific:
        rest = "." + digits[1:] if len(digits) > 1 else ""
        return f"{sign}{digits[0]}{rest}e{exponent}"
    if exponent < 0:
        return f"{sign}0.{'0' * (-exponent - 1)}{digits}"
    whole = digits[: exponent + 1].ljust(exponent + 1, "0")
    return f"{sign}{whole}.{digits[exponent + 1 :] or '0'}"


def f32_text(x: float, style: str = "csv") -> str:
    """The text of the single-precision value `x` (a float that holds one
    exactly): the packet text form's rule, with its words for the
    non-finite values in "csv" style and JSON's in "json" style."""
    if not math.isfinite(x):
        nan, inf, minus_inf = NON_FINITE[style]
        return nan if x != x else inf if x > 0 else minus_inf
    negative = math.copysign(1.0, x) < 0
    if x == 0.0:
        return "-0.0" if negative else "0.0"
    magnitude = abs(x)
    digits, exponent = shortest_digits(magnitude)
    return place(digits, exponent, negative, magnitude < SMALL or magnitude >= LARGE)


def csv_row(packet: PacketLike, text: Callable[[float], str] = f32_text) -> list[str]:
    """The CSV cells of `packet`, in the order of `fields.COLUMNS`, each
    value written by `text`."""
    row = [packet.packet_type, str(packet.timestamp), packet.invalid_fields or ""]
    for f in DATA_FIELDS:
        values = field_values(packet, f.name)
        row.extend([""] * f.width if values is None else (text(v) for v in values))
    return row


def _json_value(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, float):
        return f32_text(value, "json")
    if isinstance(value, list):
        return "[" + ",".join(f32_text(v, "json") for v in value) + "]"
    return json.dumps(value)


def json_line(packet: PacketLike) -> str:
    """`packet` as one line of JSON."""
    return "{" + ",".join(f'"{OUTPUT_NAMES.get(k, k)}":{_json_value(v)}' for k, v in as_dict(packet).items()) + "}"


class PacketWriter:
    """Writes packets to a text stream in one of `FORMATS`."""

    def __init__(self, stream: TextIO, fmt: str) -> None:
        if fmt not in FORMATS:
            raise ValueError(f"unknown format {fmt!r}")
        self.stream = stream
        self.format = fmt
        self._csv = csv.writer(stream, lineterminator="\n") if fmt == "csv" else None
        if self._csv is not None:
            self._csv.writerow(COLUMNS)

    def write(self, packet: PacketLike) -> None:
        if self._csv is not None:
            self._csv.writerow(csv_row(packet))
        elif self.format == "jsonl":
            self.stream.write(json_line(packet) + "\n")
        else:
            self.stream.write(f"{packet}\n")


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
