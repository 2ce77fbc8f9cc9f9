"""A progress bar on stderr for long work: export, dump to a file, stats
and plot (the status lines of `record` and `generate`, `common.Progress`,
are drawn by tqdm too).

On a terminal, and unless the command was asked to be quiet, tqdm draws a
bar with the amount done, the total where it is known, the rate and an
estimate of the time left; the bar is removed when the work ends. Piped,
quiet, or without tqdm (an optional extra), nothing is drawn and stderr
carries only errors.
"""

from __future__ import annotations

import os
import stat
import sys
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from typing import TypeVar

from ..errors import ToolError, load_columns

T = TypeVar("T")
Advance = Callable[[int], object]


def _nothing(n: int) -> None:
    pass


@contextmanager
def progress_bar(
    what: str, total: int | Callable[[], int | None] | None, unit: str = " packets", quiet: bool = False
) -> Iterator[Advance]:
    """A function to call with each amount of work done, `total` in all
    (None if unknown; a function that says it is asked only when the bar is
    drawn), labelled `what`."""
    if quiet or not sys.stderr.isatty():
        yield _nothing
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        yield _nothing
        return
    if callable(total):
        total = total()
    with tqdm(total=total, desc=what, unit=unit, unit_scale=True, file=sys.stderr, leave=False,
              dynamic_ncols=True, mininterval=0.25) as bar:  # fmt: skip
        yield bar.update


def packet_total(path: str) -> int | None:
    """The number of packets in the recording at `path`, from the native
    decoder's pass over its bytes alone (no receive times, no time axis: a
    few hundredths of a second for ten minutes of data); None when it
    cannot be had."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            return None
        columns, _ = load_columns().decode_file(fd, info.st_size)
        return len(columns["kind"])
    except (ToolError, OSError, EOFError):
        return None
    finally:
        os.close(fd)


def tracked(items: Iterable[T], advance: Advance, every: int = 1024) -> Iterator[T]:
    """`items`, telling `advance` about them `every` at a time (the rest at
    the end)."""
    n = 0
    for item in items:
        yield item
        n += 1
        if n == every:
            advance(n)
            n = 0
    if n:
        advance(n)
