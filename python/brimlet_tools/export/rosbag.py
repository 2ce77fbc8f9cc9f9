"""A recording as a ROS 2 bag (rosbags), in MCAP or SQLite storage.

Three topics, in stream order, each message's header stamped with the
sample time of its packet (when the device measured it) and logged at its
receive time (when the host had it), as ROS does:

* `/imu/data_raw`, `sensor_msgs/msg/Imu`, one per raw packet: angular
  velocity from the gyroscope (`scaled_gyro`), linear acceleration from the
  accelerometer (`scaled_accel`); a raw packet carries no orientation, so
  the orientation is zero with covariance element 0 set to -1.
* `/imu/data`, `sensor_msgs/msg/Imu`, one per estimated packet: the
  orientation from `est_orient_quaternion` (whose elements come w, x, y, z
  from the device and go into the message as x, y, z, w), angular velocity
  from `est_angular_rate`, linear acceleration from `est_compensated_accel`
  (gravity included, as the message asks).
* `/imu/pressure`, `sensor_msgs/msg/FluidPressure`, one per raw packet
  that carries the ambient pressure, which the device gives in hPa and the
  message holds in Pa (the value times 100).

Covariances are unknown (zero), except that element 0 of a covariance is
-1 where the packet lacks that part or the device flagged it not valid, so
a reader knows to ignore it. Values and axes are otherwise passed through
as the device gives them (see the README). MCAP chunks are compressed with
zstd.

The messages are serialized here, a whole chunk of packets at a time, with
numpy: every message of a topic has the same fixed layout in little-endian
CDR, which the tests read back with the library's own reader.
"""

from __future__ import annotations

import contextlib
import errno
import os
import sqlite3
from pathlib import Path
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
from rosbags.interfaces import Connection
from rosbags.rosbag2 import CompressionFormat, CompressionMode, StoragePlugin, Writer
from rosbags.typesys import Stores, get_typestore

from ..errors import ToolError
from ..wire.fields import FIELD_BY_NAME, KIND_CODE, VALIDITY_NAMES
from . import STORAGE_BY_SUFFIX, STORAGES, Advance, Options, RecordingLike, bag_directory, chunks, lacking, replacing

TOPIC_RAW, TOPIC_ESTIMATED, TOPIC_PRESSURE = "/imu/data_raw", "/imu/data", "/imu/pressure"
IMU, FLUID_PRESSURE = "sensor_msgs/msg/Imu", "sensor_msgs/msg/FluidPressure"
PLUGINS = dict(zip(STORAGES, (StoragePlugin.MCAP, StoragePlugin.SQLITE3), strict=True))
BAG_VERSION: Literal[8] = 8
PA_PER_HPA = 100.0
CDR_LITTLE_ENDIAN = b"\x00\x01\x00\x00"
# The doubles of an Imu message after its header: orientation (x, y, z, w)
# and its covariance, angular velocity and its covariance, linear
# acceleration and its covariance.
ORIENTATION, ORIENTATION_COV, ANGULAR, ANGULAR_COV, LINEAR, LINEAR_COV = 0, 4, 13, 16, 25, 28
IMU_DOUBLES = 37


def storage_of(output: Path, options: Options) -> str:
    """The storage asked for, else the one the name's ending names, else MCAP."""
    if options.storage is not None:
        if options.storage not in STORAGES:
            raise ToolError(f"unknown bag storage {options.storage!r} (choose from {', '.join(STORAGES)})")
        return options.storage
    return STORAGE_BY_SUFFIX.get(output.suffix.lower(), STORAGES[0])


def message_type(frame_id: str, doubles: int) -> np.dtype[np.void]:
    """The CDR layout of a message of a header and `doubles` doubles:
    encapsulation, stamp (seconds, nanoseconds), the frame id as a counted,
    NUL-ended string, then the doubles aligned to 8 bytes (counted from
    after the encapsulation)."""
    name = frame_id.encode() + b"\0"
    body = 12 + len(name)
    start = 4 + (body + 7) // 8 * 8
    return np.dtype({
        "names": ["encapsulation", "sec", "nanosec", "length", "frame_id", "values"],
        "formats": ["V4", "<i4", "<u4", "<u4", f"S{len(name)}", ("<f8", (doubles,))],
        "offsets": [0, 4, 8, 12, 16, start],
        "itemsize": start + 8 * doubles,
    })  # fmt: skip


def messages(times: npt.NDArray[np.int64], frame_id: str, doubles: int) -> npt.NDArray[np.void]:
    """Messages stamped with `times`, their doubles zero."""
    out = np.zeros(len(times), message_type(frame_id, doubles))
    out["encapsulation"] = np.void(CDR_LITTLE_ENDIAN)
    out["sec"], out["nanosec"] = np.divmod(times, 1_000_000_000)
    name = frame_id.encode()
    out["length"] = len(name) + 1
    out["frame_id"] = name
    return out


def put(values: npt.NDArray[np.float64], at: int, columns: list[npt.NDArray[Any]],
        covariance: int, unusable: npt.NDArray[Any]) -> None:  # fmt: skip
    """Puts `columns` into the doubles from `at` on, and -1 into element 0
    of the covariance at `covariance` where `unusable`."""
    for i, column in enumerate(columns):
        values[:, at + i] = column
    values[:, covariance] = np.where(unusable, -1.0, 0.0)


def raw_messages(c: dict[str, npt.NDArray[Any]], rows: npt.NDArray[np.intp], frame_id: str,
                 times: npt.NDArray[np.int64]) -> npt.NDArray[np.void]:  # fmt: skip
    out = messages(times[rows], frame_id, IMU_DOUBLES)
    values = out["values"]
    gyro = [c[f"scaled_gyro_{a}"][rows] for a in "xyz"]
    accel = [c[f"scaled_accel_{a}"][rows] for a in "xyz"]
    values[:, ORIENTATION_COV] = -1.0
    present = c["present"][rows]
    put(values, ANGULAR, gyro, ANGULAR_COV, lacking(present, "scaled_gyro"))
    put(values, LINEAR, accel, LINEAR_COV, lacking(present, "scaled_accel"))
    return out


def estimated_messages(c: dict[str, npt.NDArray[Any]], rows: npt.NDArray[np.intp], frame_id: str,
                       times: npt.NDArray[np.int64]) -> npt.NDArray[np.void]:  # fmt: skip
    def flagged(name: str) -> npt.NDArray[Any]:
        return (c["invalid"][rows] >> VALIDITY_NAMES.index(name) & 1).astype(bool)

    out = messages(times[rows], frame_id, IMU_DOUBLES)
    values = out["values"]
    w, x, y, z = (c[name][rows] for name in FIELD_BY_NAME["est_orient_quaternion"].columns)
    rate = [c[name][rows] for name in FIELD_BY_NAME["est_angular_rate"].columns]
    accel = [c[name][rows] for name in FIELD_BY_NAME["est_compensated_accel"].columns]
    present = c["present"][rows]
    put(values, ORIENTATION, [x, y, z, w], ORIENTATION_COV,
        lacking(present, "est_orient_quaternion") | flagged("estOrientQuaternion"))  # fmt: skip
    put(values, ANGULAR, rate, ANGULAR_COV, lacking(present, "est_angular_rate") | flagged("estAngularRate"))
    put(values, LINEAR, accel, LINEAR_COV,
        lacking(present, "est_compensated_accel") | flagged("estCompensatedAccel"))  # fmt: skip
    return out


def pressure_messages(c: dict[str, npt.NDArray[Any]], rows: npt.NDArray[np.intp], frame_id: str,
                      times: npt.NDArray[np.int64]) -> npt.NDArray[np.void]:  # fmt: skip
    out = messages(times[rows], frame_id, 2)
    out["values"][:, 0] = c["scaled_ambient_pressure"][rows].astype(np.float64) * PA_PER_HPA
    return out


def write_chunk(writer: Writer, connections: dict[str, Connection], recording: RecordingLike, rows: slice,
                frame_id: str) -> None:  # fmt: skip
    """Writes the messages of the packets in `rows`, in stream order."""
    c = recording.columns
    times = c["time"][rows].view(np.int64)
    sampled = c["sample_time"][rows].view(np.int64)
    kind = c["kind"][rows]
    part = {k: v[rows] for k, v in c.items()}
    raw = np.flatnonzero(kind == KIND_CODE["raw"])
    estimated = np.flatnonzero(kind == KIND_CODE["estimated"])
    pressure = raw[~lacking(part["present"][raw], "scaled_ambient_pressure")]
    made = {
        TOPIC_RAW: (raw, raw_messages(part, raw, frame_id, sampled)),
        TOPIC_ESTIMATED: (estimated, estimated_messages(part, estimated, frame_id, sampled)),
        TOPIC_PRESSURE: (pressure, pressure_messages(part, pressure, frame_id, sampled)),
    }
    # Every message in stream order: by packet, and within a raw packet the
    # Imu message before the pressure.
    at = np.concatenate([rows for rows, _ in made.values()])
    rank = np.concatenate([np.full(len(rows), r) for r, (rows, _) in enumerate(made.values())])
    index = np.concatenate([np.arange(len(rows)) for rows, _ in made.values()])
    order = np.lexsort((rank, at))
    topics = list(made)
    views = {topic: memoryview(out.tobytes()).cast("B") for topic, (_, out) in made.items()}
    sizes = {topic: out.dtype.itemsize for topic, (_, out) in made.items()}
    stamps = times.tolist()
    for row, r, i in zip(at[order].tolist(), rank[order].tolist(), index[order].tolist()):
        topic = topics[r]
        size = sizes[topic]
        writer.write(connections[topic], stamps[row], views[topic][i * size : (i + 1) * size])


def write(recording: RecordingLike, output: Path, options: Options, advance: Advance) -> None:
    storage = storage_of(output, options)
    target = bag_directory(output)
    # The bag is made under its own name inside the temporary directory (its
    # storage file is named after its directory), then moved up into it.
    with replacing(target, recording, directory=True) as staging:
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
            full = getattr(e, "sqlite_errorcode", None) == sqlite3.SQLITE_FULL
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC)) if full else OSError(errno.EIO, str(e)) from e
        except BaseException:
            abandon(writer)
            raise
        for part in bag.iterdir():
            part.rename(staging / part.name)
        bag.rmdir()


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
