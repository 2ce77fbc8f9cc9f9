"""A recording replayed at its pace, as batches for the server.

The replay starts REPLAY_GRACE seconds after the first client subscribes
(a client subscribes to its channels one request at a time), so that a
client that connects to watch a recording sees it from its first packet.
Every TICK the packets whose time has come go out, each stamped with its
recorded receive time.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import AsyncIterator, Callable
from typing import Any

REPLAY_GRACE = 0.5
TICK = 0.01


async def paced(columns: dict[str, Any], start: asyncio.Event, arrived: Callable[[dict[str, Any]], object],
                speed: float = 1.0) -> AsyncIterator[dict[str, Any]]:  # fmt: skip
    """The rows of `columns` (numpy arrays of one length, "time" among them)
    in slices, each when its time has come, shown to `arrived` first (as a
    live line's batches are when they come)."""
    import numpy as np

    times = columns["time"].view(np.int64)
    if not len(times):
        return
    due = (times - times[0]) / 1e9 / speed
    await start.wait()
    await asyncio.sleep(REPLAY_GRACE)
    began = time.monotonic()
    sent = 0
    while sent < len(due):
        upto = int(np.searchsorted(due, time.monotonic() - began, side="right"))
        if upto > sent:
            batch = {name: column[sent:upto] for name, column in columns.items()}
            arrived(batch)
            yield batch
            sent = upto
        await asyncio.sleep(TICK)
