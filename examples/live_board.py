"""Print packets from a real board on a serial port until Ctrl-C.

    PYTHONPATH=build/release:python python3 examples/live_board.py /dev/ttyACM0 921600

Serial ports belong to the group "dialout" on Debian: add yourself with
`sudo adduser $USER dialout` and log in again. A udev rule gives the board a
stable name whatever order it is plugged in, for example in
/etc/udev/rules.d/99-imu.rules (vendor and product ids from `lsusb`):

    SUBSYSTEM=="tty", ATTRS{idVendor}=="xxxx", ATTRS{idProduct}=="yyyy", SYMLINK+="imu", GROUP="dialout", MODE="0660"

then `sudo udevadm control --reload && sudo udevadm trigger`, and use /dev/imu.
The parser takes the port for itself: a second program cannot open it
meanwhile. If the board stays silent for longer than `timeout`, the run ends
with "Operation timed out"; this example then starts it again.
"""

import sys
import time

import brimlet


def main(port: str, baudrate: int | None) -> None:
    with brimlet.SerialParser(port, baudrate, timeout=1.0) as parser:
        try:
            while True:
                try:
                    packets = parser.get_data_packets()
                except OSError as e:
                    if str(e) != "Operation timed out":
                        raise
                    print("(silent line)", file=sys.stderr)
                    parser.stop()
                    parser.start()
                    continue
                for packet in packets:
                    print(packet)
                time.sleep(0.01)
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else None)
