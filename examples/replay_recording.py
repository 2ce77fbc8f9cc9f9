"""Replay a recording and print every estimated packet's heading and altitude.

    PYTHONPATH=build/release:python python3 examples/replay_recording.py python/brimlet_tools/data/sample.bin

A MockParser reads the file as fast as it can on its own thread; the loop
below collects what it decoded until the file has been read to its end.
"""

import math
import sys
import time

import brimlet


def heading_degrees(q: list[float]) -> float:
    """Heading of a quaternion (scalar part first) turned about z only."""
    w, x, y, z = q
    return math.degrees(math.atan2(2.0 * (w * z + x * y), 1.0 - 2.0 * (y * y + z * z)))


def main(path: str) -> None:
    with brimlet.MockParser(path) as parser:
        while True:
            finished = not parser.is_running()  # read the flag before draining
            packets = parser.get_data_packets()
            for packet in packets:
                q, alt = packet.est_orient_quaternion, packet.est_pressure_alt
                if q is not None and alt is not None:
                    print(f"heading {heading_degrees(q):7.1f} deg  altitude {alt:6.2f} m")
            if finished and not packets:
                break
            time.sleep(0.01)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "python/brimlet_tools/data/sample.bin")
