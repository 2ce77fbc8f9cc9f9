"""`ports`: the serial ports of this machine, with what identifies each."""

from __future__ import annotations

import argparse
import re
from typing import Any

from ..errors import require
from .common import note

NAME = "ports"
HELP = "List the serial ports, with what identifies each (USB ids, serial number, maker)."


def pattern_type(text: str) -> re.Pattern[str]:
    try:
        return re.compile(text, re.IGNORECASE)
    except re.error as e:
        raise argparse.ArgumentTypeError(f"not a regular expression: {text!r} ({e})") from None


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("pattern", nargs="?", type=pattern_type, default=None, metavar="PATTERN",
                   help="only the ports whose line (path, USB ids, serial number, maker...) matches this regular "
                   "expression, in any case (as pyserial's list_ports takes one)")  # fmt: skip
    p.add_argument("--links", action="store_true",
                   help="also list the symbolic links under /dev that point to a port (udev names such as /dev/imu)")  # fmt: skip


def run(args: argparse.Namespace) -> int:
    list_ports = require("serial.tools.list_ports", "listing ports", "serial", "python3-serial", package="pyserial")
    ports = sorted(list_ports.comports(include_links=args.links), key=lambda p: p.device)
    lines = [port_line(port) for port in ports]
    if args.pattern is not None:
        lines = [line for line, port in zip(lines, ports, strict=True)
                 if args.pattern.search(line) or args.pattern.search(port.hwid or "")]  # fmt: skip
    if not lines:
        note("no serial ports found" if not ports else f"no serial port matches {args.pattern.pattern!r}")
        return 0
    for line in lines:
        print(line)
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
