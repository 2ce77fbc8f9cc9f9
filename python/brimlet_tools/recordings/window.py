"""A stretch of a recording in time: `--start` and `--end`.

A point in time is given as seconds from the recording's first packet
(`12.5`), or as a UTC date and time (`2026-12-09T09:31:20.5Z`, or with
another offset, `+01:00`). The window keeps the packets whose time (the
recording's time axis: receive times, or the estimated axis) lies from the
start up to, but not including, the end.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass
from datetime import datetime

from .recording import Recording


@dataclass(frozen=True)
class TimePoint:
    """Seconds from the first packet (`offset`), or an absolute time in ns
    since 1970 UTC (`utc_ns`)."""

    offset: float | None = None
    utc_ns: int | None = None

    def ns(self, first_ns: int) -> int:
        """The point in ns since 1970 UTC, for a recording whose first
        packet came at `first_ns`."""
        if self.utc_ns is not None:
            return self.utc_ns
        return first_ns + round((self.offset or 0.0) * 1e9)


def parse_point(text: str) -> TimePoint:
    """The point that `text` gives, or a ValueError that says what it takes."""
    try:
        seconds = float(text)
    except ValueError:
        pass
    else:
        if not math.isfinite(seconds) or seconds < 0:
            raise ValueError(f"{text} is not a time: seconds from the start are a number from 0 up")
        return TimePoint(offset=seconds)
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        raise ValueError(f"{text!r} is not a time: give seconds from the start (12.5) "
                         "or a UTC time (2026-12-09T09:31:20Z)") from None  # fmt: skip
    if moment.tzinfo is None:
        raise ValueError(f"{text!r} names no time zone: end it in Z for UTC (or give its offset, +01:00)")
    whole = int(moment.timestamp())
    return TimePoint(utc_ns=whole * 10**9 + moment.microsecond * 1000)


def rows(recording: Recording, start: TimePoint | None, end: TimePoint | None) -> slice:
    """The packets of `recording` from `start` up to `end` (either None:
    from the first, to the last), as a slice of its rows."""
    if start is None and end is None or not len(recording):
        return slice(0, len(recording))
    import numpy as np

    time = recording["time"].view(np.int64)
    first = int(time[0])
    low = 0 if start is None else int(np.searchsorted(time, start.ns(first), "left"))
    high = len(time) if end is None else int(np.searchsorted(time, end.ns(first), "left"))
    return slice(low, max(low, high))


def window(recording: Recording, start: TimePoint | None, end: TimePoint | None) -> Recording:
    """The packets of `recording` from `start` up to `end`, in a recording
    of their own (the same arrays, seen through a slice)."""
    if start is None and end is None:
        return recording
    chosen = rows(recording, start, end)
    scan = recording.scan
    scan = dataclasses.replace(scan, skipped=None if scan.skipped is None else scan.skipped[chosen],
                               end=None if scan.end is None else scan.end[chosen])  # fmt: skip
    return dataclasses.replace(recording, columns={c: v[chosen] for c, v in recording.items()}, scan=scan)
