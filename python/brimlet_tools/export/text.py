"""A recording as CSV or JSON lines, as `dump` writes them (see
`recordings.formats`), in the layout of every output, the sample times
included: `time` and `sample_time` in nanoseconds since 1970-01-01 UTC,
and every value in its shortest single-precision text."""

from __future__ import annotations

from pathlib import Path

from ..recordings.formats import SAMPLE_COLUMNS, write_columns
from . import Advance, Options, RecordingLike, replacing


def write(recording: RecordingLike, output: Path, options: Options, advance: Advance, *, fmt: str) -> None:
    """Writes `recording` to `output` in the text format `fmt`."""
    with replacing(output, recording) as temporary, temporary.open("xb") as out:
        write_columns(recording.columns, out, fmt, advance, extra=SAMPLE_COLUMNS)
