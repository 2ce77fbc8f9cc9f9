"""What every floor of the tools shares: the one-line error for the user,
the native modules, and the optional dependencies, imported when a tool
needs them with one clear line naming what to install when they are
missing."""

from __future__ import annotations

import importlib
import os
import re
from types import ModuleType


class ToolError(Exception):
    """A failure to report to the user as one line, without a traceback."""


class PortHungUp(ToolError):
    """The port went away while it was read (the device unplugged, or the
    other end of the line closed). Every command reports it the same way,
    once what it read until then is written out; `detail` adds what is
    particular to the command."""

    def __init__(self, port: str, detail: str = "") -> None:
        super().__init__(f"the port {port} hung up{detail}")


def cannot(action: str, what: str, error: OSError) -> ToolError:
    """The one-line error for an operating-system failure, such as
    "cannot write out.csv: Permission denied"."""
    number = error.errno
    if number is None:  # a library's error with the system's number in its text (pyarrow: "[errno 28] ...")
        found = re.search(r"\[errno (\d+)\]", str(error))
        number = int(found.group(1)) if found else None
    reason = os.strerror(number) if number else error.strerror or str(error)
    return ToolError(f"cannot {action} {what}: {reason}")


def load_brimlet() -> ModuleType:
    """The extension module, or a ToolError that says how to get it."""
    try:
        import brimlet
    except ImportError as e:
        raise ToolError(
            f"the brimlet extension module cannot be imported ({e}); build it "
            "with `make` and put its build directory on PYTHONPATH"
        ) from e
    return brimlet


def load_columns() -> ModuleType:
    """The brimlet_columns extension module (the decoder of whole streams
    and the text writer, built beside brimlet), or a ToolError that says how
    to get it."""
    try:
        import brimlet_columns
    except ImportError as e:
        raise ToolError(
            f"the brimlet_columns extension module cannot be imported ({e}); build it "
            "with `make` and put its build directory on PYTHONPATH"
        ) from e
    return brimlet_columns


def require(module: str, purpose: str, extra: str, debian: str, *, package: str | None = None) -> ModuleType:
    """The module `module`, or a ToolError such as "plotting needs matplotlib,
    which is not installed (Debian: python3-matplotlib; pip: brimlet[plot])".
    `extra` is the name of the optional extra in pyproject.toml, `package`
    the distribution that provides the module where its name differs."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        package = package or module.split(".")[0]
        raise ToolError(
            f"{purpose} needs {package}, which is not installed (Debian: {debian}; pip: brimlet[{extra}])"
        ) from e
