"""A recording as an HDF5 file (h5py, gzip).

One dataset per column at the file's root, each with one element per
packet in stream order: `time`, the receive time in nanoseconds since
1970-01-01 UTC (int64); `sample_time`, when the device sampled it (the
same unit); `missing_before`, the packets of its kind missing just before
it (uint16); `kind`, the packet type as an index into the
attribute `names` ("raw", "estimated"); `invalid`, the bits of the fields
the device flagged not valid (bit i for the i-th name of its attribute
`bits`); `present`, the bits of the data fields the packet carries (bit i
for the i-th name of its attribute `bits`: a NaN in a field that is there
is a value the device sent); then one single-precision dataset per value,
named as the CSV columns, NaN where the packet does not carry the field,
with its `unit`.
The file's attributes say where it came from (`source`) and whether its
times were recorded or estimated (`times_estimated`). The file is made in
memory (about the size of the recording) and then written out.
"""

from __future__ import annotations

import io
from pathlib import Path

import h5py  # type: ignore[import-untyped]
import numpy as np

from ..wire.fields import COLUMN_UNITS, DATA_COLUMNS, DATA_FIELDS, PACKET_TYPES, VALIDITY_NAMES
from . import Advance, Options, RecordingLike, chunks, replacing

CHUNK_ROWS = 1 << 16


def write(recording: RecordingLike, output: Path, options: Options, advance: Advance) -> None:
    c, n = recording.columns, len(recording)
    sources = {"time": c["time"].view(np.int64), "sample_time": c["sample_time"].view(np.int64),
               "missing_before": c["missing_before"], "kind": c["kind"], "invalid": c["invalid"],
               "present": c["present"]}
    sources |= {name: c[name] for name in DATA_COLUMNS}
    # The file is made in memory and written out here: the HDF5 library
    # cannot take a failed write (a full disk aborts the process), while a
    # plain write fails with an error that is reported in one line.
    image = io.BytesIO()
    with h5py.File(image, "w") as f:
        f.attrs["source"] = recording.source
        f.attrs["times_estimated"] = bool(recording.times_estimated)
        datasets = {}
        for name, values in sources.items():
            datasets[name] = f.create_dataset(
                name, shape=(n,), maxshape=(None,), dtype=values.dtype, chunks=(max(min(n, CHUNK_ROWS), 1),),
                compression="gzip", shuffle=True,
            )  # fmt: skip
        for name in ("time", "sample_time"):
            datasets[name].attrs["unit"] = "ns since 1970-01-01 00:00:00 UTC"
        datasets["kind"].attrs["names"] = list(PACKET_TYPES)
        datasets["invalid"].attrs["bits"] = list(VALIDITY_NAMES)
        datasets["present"].attrs["bits"] = [f.name for f in DATA_FIELDS]
        for name in DATA_COLUMNS:
            datasets[name].attrs["unit"] = COLUMN_UNITS[name]
        for rows in chunks(n, CHUNK_ROWS):
            for name, values in sources.items():
                datasets[name][rows] = values[rows]
            advance(rows.stop - rows.start)
    with replacing(output, recording) as temporary, open(temporary, "xb") as out:
        out.write(image.getbuffer())
