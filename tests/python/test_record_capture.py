"""The native capture `record` reads a port through: every byte as read,
each read stamped on the reader thread, the frame scan's counts, and the
port's end told as the other readers tell it."""

from __future__ import annotations

import errno
import os

import pytest

import brimlet_columns
from brimlet_tools.wire.frames import estimated_frame, raw_frame


def test_a_capture_keeps_every_byte_stamps_each_read_and_tells_the_hang_up() -> None:
    master, slave = os.openpty()
    name = os.ttyname(slave)
    try:
        capture = brimlet_columns.Capture(name, 921600)
        with pytest.raises(OSError) as busy:  # held exclusively, as every reader holds a port
            brimlet_columns.Capture(name)
        assert busy.value.args[0] in ("Device or resource busy", "Unable to acquire exclusive lock on serial port")
        frames = raw_frame(scaled_gyro=[1.0, 2.0, 3.0]) + b"\x00\x11" + estimated_frame() + raw_frame()
        sent = frames + raw_frame()[:3]  # ends inside a frame
        os.write(master, sent)
        reads: list[tuple[bytes, int, int]] = []
        while sum(len(r[0]) for r in reads) < len(sent):
            got = capture.read(10.0)
            assert got, "the bytes never came"
            reads += got
        assert b"".join(r[0] for r in reads) == sent
        assert all(r[1] > 0 and r[2] > 0 for r in reads)
        assert [r[2] for r in reads] == sorted(r[2] for r in reads)
        counts = capture.counts()
        assert (counts["bytes"], counts["finished"], counts["outside"]) == (len(sent), len(frames), 2)
        assert (counts["raw"], counts["estimated"]) == (2, 1)
        os.close(master)
        master = -1
        with pytest.raises(OSError) as ended:
            while capture.read(10.0) is not None:
                pass
        assert (ended.value.errno, ended.value.args[-1]) == (errno.EPIPE, "Broken pipe")
        capture.close()
        with pytest.raises(ValueError, match="closed capture"):
            capture.read(0)
    finally:
        if master >= 0:
            os.close(master)
        os.close(slave)
