"""A recording as a ROS 2 bag (rosbags), in MCAP or SQLite storage: the
messages of wire.ros_messages, headers stamped with sample times and logged
at receive times, as ROS does. MCAP chunks are compressed with zstd."""

from __future__ import annotations

import contextlib
import errno
import os
import sqlite3
import traceback
from pathlib import Path
from typing import Literal

from rosbags.interfaces import Connection
from rosbags.rosbag2 import CompressionFormat, CompressionMode, StoragePlugin, Writer
from rosbags.typesys import Stores, get_typestore

from ..errors import ToolError
from ..wire.ros_messages import FLUID_PRESSURE, IMU, TOPIC_ESTIMATED, TOPIC_PRESSURE, TOPIC_RAW, stream_messages
from . import STORAGE_BY_SUFFIX, STORAGES, Advance, Options, RecordingLike, bag_directory, chunks, replacing

PLUGINS = dict(zip(STORAGES, (StoragePlugin.MCAP, StoragePlugin.SQLITE3), strict=True))
BAG_VERSION: Literal[8] = 8


def storage_of(output: Path, options: Options) -> str:
    """The storage asked for, else the one the name's ending names, else MCAP."""
    if options.storage is not None:
        if options.storage not in STORAGES:
            raise ToolError(f"unknown bag storage {options.storage!r} (choose from {', '.join(STORAGES)})")
        return options.storage
    return STORAGE_BY_SUFFIX.get(output.suffix.lower(), STORAGES[0])


def write_chunk(writer: Writer, connections: dict[str, Connection], recording: RecordingLike, rows: slice,
                frame_id: str) -> None:  # fmt: skip
    """Writes the messages of the packets in `rows`, in stream order."""
    part = {k: v[rows] for k, v in recording.columns.items()}
    for topic, stamp, message in stream_messages(part, frame_id):
        writer.write(connections[topic], stamp, message)


def write(recording: RecordingLike, output: Path, options: Options, advance: Advance) -> None:
    storage = storage_of(output, options)
    target = bag_directory(output)
    # The bag is made under its own name inside the temporary directory (its
    # storage file is named after its directory), then moved up into it.
    with replacing(target, recording, directory=True, force=options.force) as staging:
        staging.mkdir()
        bag = staging / target.name
        writer = Writer(bag, version=BAG_VERSION, storage_plugin=PLUGINS[storage])
        if PLUGINS[storage] == StoragePlugin.MCAP:
            writer.set_compression(CompressionMode.STORAGE, CompressionFormat.ZSTD)
        typestore = get_typestore(Stores.LATEST)
        try:
            with writer:
                connections: dict[str, Connection] = {
                    TOPIC_RAW: writer.add_connection(TOPIC_RAW, IMU, typestore=typestore),
                    TOPIC_ESTIMATED: writer.add_connection(TOPIC_ESTIMATED, IMU, typestore=typestore),
                    TOPIC_PRESSURE: writer.add_connection(TOPIC_PRESSURE, FLUID_PRESSURE, typestore=typestore),
                }
                for rows in chunks(len(recording)):
                    write_chunk(writer, connections, recording, rows, options.frame_id)
                    advance(rows.stop - rows.start)
        except sqlite3.Error as e:  # SQLite storage: its own errors for what a file write says in errno
            abandon(writer)
            close_opened_databases(e)
            full = getattr(e, "sqlite_errorcode", None) == sqlite3.SQLITE_FULL
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)) if full else OSError(errno.EIO, str(e)) from e
        except BaseException:
            abandon(writer)
            raise
        for part in bag.iterdir():
            part.rename(staging / part.name)
        bag.rmdir()


def close_opened_databases(error: BaseException) -> None:
    """Closes the database of a storage that failed while it was opening:
    the writer never got hold of it, so `abandon` cannot reach it, and it
    would otherwise stay open until collected and be reported then."""
    for frame, _ in traceback.walk_tb(error.__traceback__):
        conn = getattr(frame.f_locals.get("self"), "conn", None)
        if isinstance(conn, sqlite3.Connection):
            with contextlib.suppress(Exception):
                conn.close()


def abandon(writer: Writer) -> None:
    """Lets go of what a failed writer left open. Its files go with the
    temporary directory; a buffered file whose flush failed would try
    again when collected and print that failure, so its unbuffered file
    is closed under it, dropping the bytes that could not be written."""
    storage = getattr(writer, "storage", None)
    bio = getattr(storage, "bio", None)  # MCAP: the open file
    raw = getattr(bio, "raw", None)
    if raw is not None:
        with contextlib.suppress(OSError):
            raw.close()
    conn = getattr(storage, "conn", None)  # SQLite: the database
    if conn is not None:
        with contextlib.suppress(Exception):
            conn.close()
