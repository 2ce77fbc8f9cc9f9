"""Packets as text: the packet's own text form, CSV and JSON lines.

Numbers are written with Python's `repr`, the shortest text that reads back
as the same float, so CSV and JSON lines read back to exactly the values of
the packets (each a single-precision value widened to double). CSV has one
column per value, empty where a packet does not carry a field; JSON lines
have one object per packet with the packet's properties, null where absent.
JSON lines write a non-finite value as NaN or Infinity, as Python's json
module does.
"""

from __future__ import annotations

import csv
import json
from collections.abc import Iterable, Iterator
from typing import TextIO

from .fields import COLUMNS, DATA_FIELDS, PacketLike, as_dict, field_values

FORMATS: tuple[str, ...] = ("text", "csv", "jsonl")


def csv_row(packet: PacketLike) -> list[str]:
    """The CSV cells of `packet`, in the order of `fields.COLUMNS`."""
    row = [packet.packet_type, str(packet.timestamp), packet.invalid_fields or ""]
    for f in DATA_FIELDS:
        values = field_values(packet, f.name)
        row.extend([""] * f.width if values is None else (repr(v) for v in values))
    return row


def json_line(packet: PacketLike) -> str:
    """`packet` as one line of JSON."""
    return json.dumps(as_dict(packet), separators=(",", ":"))


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


def read_csv(lines: Iterable[str]) -> Iterator[dict[str, object]]:
    """The packets of CSV text written by `PacketWriter`, each as a dict of
    its properties like `fields.as_dict` gives."""
    reader = csv.reader(lines)
    header = next(reader)
    if tuple(header) != COLUMNS:
        raise ValueError("not a packet CSV: unexpected header")
    for row in reader:
        cells = dict(zip(header, row))
        record: dict[str, object] = {
            "packet_type": cells["packet_type"],
            "timestamp": int(cells["timestamp"]),
            "invalid_fields": cells["invalid_fields"] or None,
        }
        for f in DATA_FIELDS:
            texts = [cells[c] for c in f.columns]
            if not any(texts):
                record[f.name] = None
            elif f.width == 1:
                record[f.name] = float(texts[0])
            else:
                record[f.name] = [float(t) for t in texts]
        yield record


def read_jsonl(lines: Iterable[str]) -> Iterator[dict[str, object]]:
    """The packets of JSON lines, each as a dict of its properties."""
    for line in lines:
        if line.strip():
            record: dict[str, object] = json.loads(line)
            yield record
