"""A recording as CSV or JSON lines, in the layout that `dump` writes.

The columns and properties are those of `formats`: `time` is the
receive time in nanoseconds since 1970-01-01 UTC, `invalid` the
names of the flagged fields in the order of `fields.VALIDITY_NAMES`, and
every value is written in its shortest single-precision text
(`formats.f32_text`). A field that a packet does not carry (all its values
its bit clear in the `present` column) is empty cells or null; a NaN the
device sent is written as NaN.

The text is made by pyarrow a column at a time: its cast of a
single-precision column to text already gives the shortest digits, and a
few replacements put them in the text form's layout.
"""

from __future__ import annotations

import json
from collections.abc import Callable
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.compute as pc  # type: ignore[import-untyped]

from ..recordings.formats import LARGE, NON_FINITE, SMALL, f32_text
from ..wire.fields import COLUMNS, DATA_FIELDS, OUTPUT_NAMES, PACKET_TYPES, lacking
from . import Advance, Options, RecordingLike, chunks, invalid_names, replacing

def f32_strings(values: npt.NDArray[Any], style: str, absent: npt.NDArray[np.bool_]) -> pa.Array:
    """`formats.f32_text` of every value, null where `absent` is set."""
    text = pa.array(values, pa.float32(), mask=absent).cast(pa.string())
    there = ~absent
    finite = there & np.isfinite(values)
    magnitude = np.abs(values)
    scientific = finite & (magnitude != 0) & ((magnitude < SMALL) | (magnitude >= LARGE))
    # pyarrow writes whole numbers without a point (1, -0), a sign in
    # positive exponents (1e+16), and values from 1e-6 to 1e-4 in decimal
    # form (0.0000123).
    text = edit(text, finite & ~scientific & (values == np.trunc(values)) & (magnitude < 1e15),
                lambda t: pc.binary_join_element_wise(t, ".0", ""))  # fmt: skip
    text = edit(text, finite & (magnitude >= 1e15), lambda t: pc.replace_substring(t, "e+", "e"))
    text = edit(text, scientific & (magnitude < SMALL), decimal_to_exponent)
    nan, inf, minus_inf = NON_FINITE[style]
    for mask, word in ((np.isnan(values), nan), (values == np.inf, inf), (values == -np.inf, minus_inf)):
        text = edit(text, there & mask, lambda t, word=word: pa.array([word] * len(t), pa.string()))  # type: ignore[misc]
    # Where the layout still is not the text form's (values from 1e15 up,
    # or another pyarrow's choices), format one by one.
    has_e = np.asarray(pc.match_substring(text, "e").fill_null(False))
    has_point = np.asarray(pc.match_substring(text, ".").fill_null(False))
    wrong = finite & ((scientific != has_e) | (~scientific & ~has_point))
    return edit(text, wrong, lambda t: pa.array([f32_text(float(x), style) for x in values[wrong].tolist()]))


def edit(text: pa.Array, where: npt.NDArray[np.bool_], change: Callable[[pa.Array], pa.Array]) -> pa.Array:
    """`text` with the elements `where` replaced by `change` of them."""
    chosen = np.flatnonzero(where)
    if len(chosen) == 0:
        return text
    return pc.replace_with_mask(text, pa.array(where), change(text.take(pa.array(chosen))))


def decimal_to_exponent(text: pa.Array) -> pa.Array:
    """0.0000123 as 1.23e-5 (for the zeros that pyarrow writes out)."""
    for zeros in (4, 5):
        text = pc.replace_substring_regex(text, rf"^(-?)0\.{'0' * zeros}([1-9])(\d*)$", rf"\1\2.\3e-{zeros + 1}")
    return pc.replace_substring(text, ".e", "e")


def invalid_texts(masks: npt.NDArray[Any], quote: Callable[[str], str]) -> pa.Array:
    """The flagged names of each mask joined with "," and quoted by
    `quote`; null where none is flagged."""
    unique, inverse = np.unique(masks, return_inverse=True)
    texts = [quote(",".join(invalid_names(int(m)))) if m else None for m in unique.tolist()]
    return pa.array(texts, pa.string()).take(pa.array(inverse.reshape(-1)))


def csv_quote(text: str) -> str:
    """`text` as a CSV cell (quoted where it holds a comma, as the csv
    module does)."""
    return f'"{text}"' if "," in text else text


def common_parts(recording: RecordingLike, rows: slice, quote: Callable[[str], str]) -> list[pa.Array]:
    """The texts of kind, time and invalid in `rows`."""
    c = recording.columns
    kinds = pa.array([quote(k) for k in PACKET_TYPES], pa.string())
    return [
        kinds.take(pa.array(c["kind"][rows])),
        pa.array(c["time"][rows].view(np.int64)).cast(pa.string()),
        invalid_texts(c["invalid"][rows], quote),
    ]


def field_parts(recording: RecordingLike, rows: slice, style: str) -> list[tuple[list[pa.Array], pa.Array]]:
    """For each data field: the texts of its columns in `rows`, and whether
    each packet lacks the field."""
    c, out = recording.columns, []
    present = c["present"][rows]
    for f in DATA_FIELDS:
        values = [c[name][rows] for name in f.columns]
        absent = lacking(present, f.name)
        out.append(([f32_strings(v, style, absent) for v in values], absent))
    return out


def csv_lines(recording: RecordingLike, rows: slice) -> pa.Array:
    """The CSV lines of the packets in `rows`."""
    parts = common_parts(recording, rows, csv_quote)
    parts += [text for texts, _ in field_parts(recording, rows, "csv") for text in texts]
    joined = pc.binary_join_element_wise(*parts, ",", null_handling="replace", null_replacement="")
    return pc.binary_join_element_wise(joined, "\n", "")


def json_lines(recording: RecordingLike, rows: slice) -> pa.Array:
    """The JSON lines of the packets in `rows`."""
    parts = common_parts(recording, rows, json.dumps)
    parts[2] = parts[2].fill_null("null")
    for f, (texts, absent) in zip(DATA_FIELDS, field_parts(recording, rows, "json")):
        value = texts[0]
        if f.width > 1:
            value = pc.binary_join_element_wise("[", pc.binary_join_element_wise(*texts, ","), "]", "")
        parts.append(pc.if_else(pa.array(absent), "null", value))
    keys = [*OUTPUT_NAMES.values()] + [f.name for f in DATA_FIELDS]
    keyed = [pc.binary_join_element_wise(f'"{k}":', p, "") for k, p in zip(keys, parts)]
    return pc.binary_join_element_wise("{", pc.binary_join_element_wise(*keyed, ","), "}\n", "")


def write_buffer(out: BinaryIO, text: pa.Array) -> None:
    """Writes the text of every element of the string array `text`."""
    offsets = np.frombuffer(text.buffers()[1], dtype=np.int32)[text.offset : text.offset + len(text) + 1]
    if len(offsets) > 1:
        out.write(memoryview(text.buffers()[2])[offsets[0] : offsets[-1]])


def write_lines(recording: RecordingLike, out: BinaryIO, fmt: str, advance: Advance, rows: slice | None = None) -> None:
    """Writes the packets `rows` (all by default) to `out` as CSV (with its
    header) or JSON lines, telling `advance` as it goes."""
    rows = slice(0, len(recording)) if rows is None else rows
    if fmt == "csv":
        out.write((",".join(COLUMNS) + "\n").encode())
    make = csv_lines if fmt == "csv" else json_lines
    for chunk in chunks(rows.stop - rows.start):
        part = slice(rows.start + chunk.start, rows.start + chunk.stop)
        write_buffer(out, make(recording, part))
        advance(chunk.stop - chunk.start)


def write_csv(recording: RecordingLike, output: Path, options: Options, advance: Advance) -> None:
    with replacing(output, recording) as temporary, temporary.open("xb") as out:
        write_lines(recording, out, "csv", advance)


def write_jsonl(recording: RecordingLike, output: Path, options: Options, advance: Advance) -> None:
    with replacing(output, recording) as temporary, temporary.open("xb") as out:
        write_lines(recording, out, "jsonl", advance)
