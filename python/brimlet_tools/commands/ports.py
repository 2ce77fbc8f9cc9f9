"""`ports`: the serial ports of this machine, with what identifies each."""

from __future__ import annotations

import argparse
from typing import Any

from ..errors import require

NAME = "ports"
HELP = "List the serial ports, with what identifies each (USB ids, serial number, maker)."


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--links", action="store_true",
                   help="also list the symbolic links under /dev that point to a port (udev names such as /dev/imu)")  # fmt: skip


def run(args: argparse.Namespace) -> int:
    list_ports = require("serial.tools.list_ports", "listing ports", "serial", "python3-serial", package="pyserial")
    ports = sorted(list_ports.comports(include_links=args.links), key=lambda p: p.device)
    if not ports:
        print("no serial ports found")
        return 0
    for port in ports:
        print(port_line(port))
    return 0


def port_line(port: Any) -> str:
    """The port's path, then what identifies it, as far as the system knows."""
    parts = [port.device]
    if port.vid is not None and port.pid is not None:
        parts.append(f"usb {port.vid:04x}:{port.pid:04x}")
    for label, value in (("serial", port.serial_number), ("maker", port.manufacturer),
                         ("product", port.product), ("at", port.location)):  # fmt: skip
        if value:
            parts.append(f"{label} {value}")
    if port.description and port.description != "n/a":
        parts.append(f"({port.description})")
    return "  ".join(parts)
