"""The one way a command opens a recording for reading.

A recording is a regular file: a device, a pipe, a socket or a directory
named as one is refused in one line that says what it is, before anything
is read from it (a device may never end, a pipe is consumed by reading).
Its receive times (`NAME.times`), when there, are checked the same way, and
an error about them names the times file, not the recording.
"""

from __future__ import annotations

import os
import stat

from ..errors import ToolError
from .receive_times import SUFFIX as TIMES_SUFFIX
from .outputs import PathLike, kind_of


def what_is(mode: int) -> str | None:
    """What a file of `mode` is when it cannot be a recording."""
    return "a directory" if stat.S_ISDIR(mode) else kind_of(mode)


def recording_path(path: PathLike) -> str:
    """`path` once it is known to name a regular file, with its receive
    times a regular file where they are there; else the ToolError that says
    what it is."""
    name = os.fspath(path)
    try:
        mode = os.stat(name).st_mode
    except OSError as e:
        raise ToolError(f"cannot read recording {name}: {e.strerror or e}") from e
    kind = what_is(mode)
    if kind is not None:
        raise ToolError(f"cannot read recording {name}: it is {kind}, not a file")
    times = name + TIMES_SUFFIX
    try:
        mode = os.stat(times).st_mode
    except FileNotFoundError:
        return name
    except OSError as e:
        raise ToolError(f"cannot read the receive times {times}: {e.strerror or e}") from e
    kind = what_is(mode)
    if kind is not None:
        raise ToolError(f"cannot read the receive times {times}: it is {kind}, not a file")
    if not os.access(times, os.R_OK):
        raise ToolError(f"cannot read the receive times {times}: Permission denied")
    return name
