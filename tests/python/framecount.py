"""Counting the valid frames of a byte stream as it arrives, in plain Python:
the tests' reference for what the native scanner counts.

`FrameCounter` walks the stream the way the decoder does: it looks for the
sync pair, waits until a candidate frame is complete, checks its checksum,
counts a valid frame and skips past it, and after a failed checksum moves on
by one byte. The stream may be fed in pieces of any size.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable

from brimlet_tools.wire.fields import DESCRIPTOR_SETS
from brimlet_tools.wire.frames import SYNC, checksum

PACKET_SETS = {descriptor_set: kind for kind, descriptor_set in DESCRIPTOR_SETS.items()}


class FrameCounter:
    """Valid frames by descriptor set, and the bytes outside valid frames."""

    def __init__(self, keep_ends: bool = False, on_frame: Callable[[int, bytes], None] | None = None) -> None:
        self._pending = bytearray()
        self.frames: Counter[int] = Counter()
        self.total_bytes = 0
        self.skipped_bytes = 0
        # Candidate frames (a sync pair and a complete length's worth of
        # bytes) whose checksum failed: damaged frames, or a sync pair in noise.
        self.bad_checksums = 0
        # Called with the descriptor set and the bytes of each valid frame.
        self.on_frame = on_frame
        # With `keep_ends`, where each packet frame ends in the stream (the
        # offset of the byte after it), in stream order.
        self.ends: list[int] | None = [] if keep_ends else None
        self._base = 0  # the stream offset of the first pending byte

    @property
    def packets(self) -> int:
        """Frames of the two sets that decode into packets."""
        return sum(self.frames[s] for s in PACKET_SETS)

    @property
    def finished(self) -> int:
        """How many bytes of the stream are done with: whole frames and bytes
        outside them; the rest may still begin a frame."""
        return self.total_bytes - len(self._pending)

    def by_type(self) -> dict[str, int]:
        """Packet frames by packet type."""
        return {name: self.frames[s] for s, name in PACKET_SETS.items()}

    def feed(self, data: bytes) -> int:
        """Scans `data` after what came before; returns the number of packet
        frames completed by it."""
        self.total_bytes += len(data)
        self._pending += data
        before = self.packets
        self._base = self.total_bytes - len(self._pending)
        consumed = self._scan(self._pending)
        del self._pending[:consumed]
        return self.packets - before

    def _scan(self, buf: bytearray) -> int:
        """Counts the complete frames in `buf`; returns how many leading bytes
        are finished with (the rest may still begin a frame)."""
        i, end = 0, len(buf)
        while i < end:
            start = buf.find(SYNC[0], i)
            if start < 0:
                self.skipped_bytes += end - i
                return end
            self.skipped_bytes += start - i
            i = start
            if i + 1 >= end or (buf[i + 1] == SYNC[1] and i + 4 > end):
                return i
            if buf[i + 1] != SYNC[1]:
                self.skipped_bytes += 1
                i += 1
                continue
            n = buf[i + 3]
            if i + n + 6 > end:
                return i
            if checksum(bytes(buf[i : i + 4 + n])) != buf[i + 4 + n : i + 6 + n]:
                self.skipped_bytes += 1
                self.bad_checksums += 1
                i += 1
                continue
            descriptor_set = buf[i + 2]
            self.frames[descriptor_set] += 1
            if self.on_frame is not None:
                self.on_frame(descriptor_set, bytes(buf[i : i + n + 6]))
            i += n + 6
            if self.ends is not None and descriptor_set in PACKET_SETS:
                self.ends.append(self._base + i)
        return i
