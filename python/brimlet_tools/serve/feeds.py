"""What the hub serves: a port's batches with their sample times, or a
recording at its pace; each counted for the health as it comes."""

from __future__ import annotations

from collections.abc import AsyncIterator, Callable
from typing import TYPE_CHECKING

from ..errors import ToolError
from .replay import paced

if TYPE_CHECKING:
    from ..recordings.recording import Recording
    from .server import Batch, Hub

Feed = tuple[AsyncIterator["Batch"], Callable[[], None]]  # the batches, and what closes their source


def port_feed(hub: Hub, port: str, baudrate: int | None) -> Feed:
    """A port read on through any silence; the hub asks the scanner's
    totals at each health report."""
    from ..live.stream import live

    try:  # headers stamped with sample times, half a second late; the health counts at once
        stream = live(port, baudrate, follow=True, arrived=hub.count)
    except OSError as e:
        raise ToolError(f"cannot open port {port}: {e}") from e
    hub.scan = stream.scan_totals
    return aiter(stream), stream.close


def recording_feed(hub: Hub, recording: Recording) -> Feed:
    """A recording at its pace from the first subscription, its failed
    checksums known whole before the replay."""
    skipped = recording.scan.skipped
    hub.health.failed_checksums = recording.scan.bad_checksums
    columns = {**recording.columns, **({} if skipped is None else {"skipped": skipped})}
    return paced(columns, hub.subscribed, hub.count), lambda: None
