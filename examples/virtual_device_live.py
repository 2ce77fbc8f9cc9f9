"""Read a simulated device live: a virtual device on a pseudo-terminal plays
in a thread, and a SerialParser reads it like any serial port.

    PYTHONPATH=build/release:python python3 examples/virtual_device_live.py

The parser's get_data_packets(block=True) would hold the interpreter lock
while it waits, stalling the device's thread, so the loop polls instead.
"""

import threading
import time

import brimlet
from brimlet_tools.sim.simulator import StreamConfig, simulate
from brimlet_tools.sim.virtual_device import VirtualDevice


def main(seconds: float = 3.0) -> None:
    config = StreamConfig(seconds=None, raw_rate=100, estimated_rate=20)
    stop = threading.Event()
    with VirtualDevice(baudrate=115200) as device:
        with brimlet.SerialParser(device.path, timeout=0.5) as parser:
            player = threading.Thread(target=device.play, args=(simulate(config),), kwargs={"stop": stop.is_set})
            player.start()
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                for packet in parser.get_data_packets():
                    if packet.packet_type == "estimated":
                        print(packet.est_orient_quaternion, packet.est_pressure_alt)
                time.sleep(0.05)
            stop.set()
            player.join()


if __name__ == "__main__":
    main()
