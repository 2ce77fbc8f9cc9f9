"""A recording as an HDF5 file (h5py, gzip).

One dataset per column at the file's root, each with one element per
packet in stream order: `time`, the receive time in nanoseconds since
1970-01-01 UTC (int64); `sample_time`, when the device sampled it (the
same unit); `missing_before`, the packets of its kind missing just before
it (uint16); `kind`, the packet type as an index into the
attribute `names` ("raw", "estimated"); `invalid`, the bits of the fields
the device flagged not valid (bit i for the i-th field named in its
attribute `bits`); `present`, the bits of the data fields the packet carries (bit i
for the i-th name of its attribute `bits`: a NaN in a field that is there
is a value the device sent); then one single-precision dataset per value,
named as the CSV columns, NaN where the packet does not carry the field,
with its `unit`.
The file's attributes list the datasets in that order (`columns`), say
where it came from (`source`), whether its
times were recorded or estimated (`times_estimated`) and the fitted rate of
each kind (`raw_rate_hz`, `estimated_rate_hz`: NaN where not measured). The file is made in
memory (about the size of the recording) and then written out.
"""

from __future__ import annotations

import io
import math
from pathlib import Path

import h5py  # type: ignore[import-untyped]
import numpy as np

from ..wire.fields import COLUMN_UNITS, DATA_COLUMNS, DATA_FIELDS, INVALID_BITS, PACKET_TYPES
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
    with h5py.File(image, "w", track_order=True) as f:
        f.attrs["columns"] = list(sources)  # the layout's order, which a listing of the datasets does not keep
        f.attrs["source"] = recording.source
        f.attrs["times_estimated"] = bool(recording.times_estimated)
        for kind, fit in recording.fits.items():  # NaN where not measured
            f.attrs[f"{kind}_rate_hz"] = math.nan if fit.rate is None else fit.rate
        datasets = {}
        for name, values in sources.items():
            datasets[name] = f.create_dataset(
                name, shape=(n,), maxshape=(None,), dtype=values.dtype, chunks=(max(min(n, CHUNK_ROWS), 1),),
                compression="gzip", shuffle=True,
            )  # fmt: skip
        for name in ("time", "sample_time"):
            datasets[name].attrs["unit"] = "ns since 1970-01-01 00:00:00 UTC"
        datasets["kind"].attrs["names"] = list(PACKET_TYPES)
        datasets["invalid"].attrs["bits"] = list(INVALID_BITS)
        datasets["present"].attrs["bits"] = [f.name for f in DATA_FIELDS]
        for name in DATA_COLUMNS:
            datasets[name].attrs["unit"] = COLUMN_UNITS[name]
        # Each dataset is compressed as it is written: the bar moves by
        # the share of the packets' values that each dataset holds.
        done = 0
        for i, (name, values) in enumerate(sources.items(), 1):
            for rows in chunks(n, CHUNK_ROWS):
                datasets[name][rows] = values[rows]
            advance(n * i // len(sources) - done)
            done = n * i // len(sources)
    with replacing(output, recording) as temporary, open(temporary, "xb") as out:
        out.write(image.getbuffer())
