"""Turn a recording into numpy columns and print a few statistics.

    PYTHONPATH=build/release:python python3 examples/to_numpy.py python/brimlet_tools/data/sample.bin
"""

import sys

import numpy as np

import brimlet_tools


def main(path: str) -> None:
    recording = brimlet_tools.load(path)  # decoded in native code, one array per column
    columns = recording.columns
    raw = columns["kind"] == 0  # index into brimlet_tools.wire.fields.PACKET_TYPES
    accel = np.stack([columns[f"scaled_accel_{axis}"][raw] for axis in "xyz"], axis=1)  # (n, 3), float32
    print(f"{len(accel)} raw packets; mean acceleration {accel.mean(axis=0)} m/s^2")
    altitude = columns["est_pressure_alt"]  # NaN in raw packets
    print(f"pressure altitude from {np.nanmin(altitude):.2f} to {np.nanmax(altitude):.2f} m")
    span = (columns["time"][-1] - columns["time"][0]) / np.timedelta64(1, "s")
    print(f"{span:.3f} s of {'estimated' if recording.times_estimated else 'receive'} time")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "python/brimlet_tools/data/sample.bin")
