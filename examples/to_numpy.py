"""Turn a recording into numpy arrays and print a few statistics.

    PYTHONPATH=build/release:python python3 examples/to_numpy.py python/brimlet_tools/data/sample.bin
"""

import sys

import numpy as np

from brimlet_tools.acquire import replay
from brimlet_tools.arrays import field_arrays


def main(path: str) -> None:
    packets = list(replay(path))
    raw = field_arrays(packets, packet_type="raw")
    accel = raw["scaled_accel"]  # shape (n, 3), single precision
    print(f"{len(accel)} raw packets; mean acceleration {np.mean(accel, axis=0)} m/s^2")
    est = field_arrays(packets, packet_type="estimated")
    altitude = est["est_pressure_alt"]
    print(f"pressure altitude from {np.nanmin(altitude):.2f} to {np.nanmax(altitude):.2f} m")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "python/brimlet_tools/data/sample.bin")
