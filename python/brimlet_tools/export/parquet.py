"""A recording as a Parquet file (pyarrow, zstd).

One row per packet, in stream order: `time`, the receive time as a UTC
timestamp in nanoseconds; `sample_time`, when the device sampled it (the
same type); `missing_before`, the packets of its kind missing just before
it; `kind`, the packet type as a dictionary column
("raw", "estimated"); `invalid`, the bits of the fields the device flagged
not valid (bit i for the field `fields.INVALID_BITS[i]`, also listed in
the column's metadata "bits"); then one single-precision column per value, named as the CSV
columns, null where the packet does not carry the field (a NaN the device
sent stays NaN). Each data column
carries its unit in its field metadata ("unit"), and the file's metadata
says where it came from ("brimlet.source") and whether its times were
recorded or estimated ("brimlet.times_estimated"); "PANDAS_ATTRS" holds
the units, the source and the fitted rates as `to_dataframe` puts them in
`attrs`, where `pandas.read_parquet` puts them back.
"""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from ..recordings.recording import attributes
from ..wire.fields import COLUMN_UNITS, DATA_COLUMNS, DATA_FIELDS, INVALID_BITS, PACKET_TYPES, lacking
from . import Advance, Options, RecordingLike, chunks, replacing

ROW_GROUP = 1 << 18
# Noisy single-precision values hardly compress as they are; split into
# their four byte planes, the sign and exponent bytes do. Receive times
# rise steadily, so their differences pack into a few bits.


def schema(recording: RecordingLike) -> pa.Schema:
    """The file's columns and metadata."""
    columns = [
        pa.field("time", pa.timestamp("ns", tz="UTC"), nullable=False),
        pa.field("sample_time", pa.timestamp("ns", tz="UTC"), nullable=False),
        pa.field("missing_before", pa.uint16(), nullable=False),
        pa.field("kind", pa.dictionary(pa.int8(), pa.string()), nullable=False),
        pa.field("invalid", pa.uint16(), nullable=False,
                 metadata={"bits": json.dumps(list(INVALID_BITS))}),  # fmt: skip
    ]
    columns += [pa.field(c, pa.float32(), metadata={"unit": COLUMN_UNITS[c]}) for c in DATA_COLUMNS]
    return pa.schema(columns, metadata={
        "brimlet.source": recording.source,
        "brimlet.times_estimated": json.dumps(bool(recording.times_estimated)),
        # pandas' read_parquet gives these back as the frame's attrs.
        "PANDAS_ATTRS": json.dumps(attributes(recording)),
    })  # fmt: skip


def table(recording: RecordingLike, rows: slice, shape: pa.Schema) -> pa.Table:
    """The rows `rows` of the recording as a table of `shape`."""
    c = recording.columns
    kinds = pa.array(PACKET_TYPES, pa.string())
    arrays: list[pa.Array] = [
        pa.array(c["time"][rows].view(np.int64), pa.int64()).cast(shape.field("time").type),
        pa.array(c["sample_time"][rows].view(np.int64), pa.int64()).cast(shape.field("sample_time").type),
        pa.array(c["missing_before"][rows], pa.uint16()),
        pa.DictionaryArray.from_arrays(pa.array(c["kind"][rows].astype(np.int8)), kinds),
        pa.array(c["invalid"][rows], pa.uint16()),
    ]
    present = c["present"][rows]
    for f in DATA_FIELDS:
        absent = lacking(present, f.name)
        arrays += [pa.array(c[name][rows], pa.float32(), mask=absent) for name in f.columns]
    return pa.Table.from_arrays(arrays, schema=shape)


def write(recording: RecordingLike, output: Path, options: Options, advance: Advance) -> None:
    shape = schema(recording)
    with replacing(output, recording) as temporary:
        with pq.ParquetWriter(temporary, shape, compression="zstd", use_dictionary=["kind", "invalid"],
                              use_byte_stream_split=list(DATA_COLUMNS),
                              column_encoding=dict.fromkeys(("time", "sample_time"), "DELTA_BINARY_PACKED")) as writer:  # fmt: skip
            for rows in chunks(len(recording), ROW_GROUP):
                writer.write_table(table(recording, rows, shape))
                advance(rows.stop - rows.start)
            if len(recording) == 0:
                writer.write_table(shape.empty_table())
