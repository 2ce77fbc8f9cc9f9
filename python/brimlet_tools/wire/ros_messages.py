"""The ROS 2 messages of packets, as the bag export writes them and the live
server sends them.

Three topics, in stream order, each message's header stamped with the
sample time of its packet where it is known (a recording's), else with its
receive time:

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
as the device gives them (see the README).

The messages are serialized here, a whole chunk of packets at a time, with
numpy: every message of a topic has the same fixed layout in little-endian
CDR, which the tests read back with rosbags' own reader.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np
import numpy.typing as npt

from .fields import FIELD_BY_NAME, KIND_CODE, VALIDITY_NAMES, lacking

TOPIC_RAW, TOPIC_ESTIMATED, TOPIC_PRESSURE = "/imu/data_raw", "/imu/data", "/imu/pressure"
IMU, FLUID_PRESSURE = "sensor_msgs/msg/Imu", "sensor_msgs/msg/FluidPressure"

HEADER = """================================================================================
MSG: std_msgs/Header
builtin_interfaces/Time stamp
string frame_id
================================================================================
MSG: builtin_interfaces/Time
int32 sec
uint32 nanosec"""
# The message definitions in ros2msg text, dependencies after the message.
SCHEMAS = {
    IMU: f"""std_msgs/Header header
geometry_msgs/Quaternion orientation
float64[9] orientation_covariance
geometry_msgs/Vector3 angular_velocity
float64[9] angular_velocity_covariance
geometry_msgs/Vector3 linear_acceleration
float64[9] linear_acceleration_covariance
{HEADER}
================================================================================
MSG: geometry_msgs/Quaternion
float64 x
float64 y
float64 z
float64 w
================================================================================
MSG: geometry_msgs/Vector3
float64 x
float64 y
float64 z""",
    FLUID_PRESSURE: f"""std_msgs/Header header
float64 fluid_pressure
float64 variance
{HEADER}""",
}
# Each topic and its message type.
TOPICS = {TOPIC_RAW: IMU, TOPIC_ESTIMATED: IMU, TOPIC_PRESSURE: FLUID_PRESSURE}
PA_PER_HPA = 100.0
CDR_LITTLE_ENDIAN = b"\x00\x01\x00\x00"
# The doubles of an Imu message after its header: orientation (x, y, z, w)
# and its covariance, angular velocity and its covariance, linear
# acceleration and its covariance.
ORIENTATION, ORIENTATION_COV, ANGULAR, ANGULAR_COV, LINEAR, LINEAR_COV = 0, 4, 13, 16, 25, 28
IMU_DOUBLES = 37



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
    from ..wire.fields import VALIDITY_NAMES

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


def stream_messages(c: dict[str, npt.NDArray[Any]], frame_id: str) -> Iterator[tuple[str, int, memoryview]]:
    """The messages of the packets in the columns `c`: topic, receive time
    (ns, the time to log the message at) and serialized message, in stream
    order (by packet, and within a raw packet the Imu message before the
    pressure). Headers are stamped with the sample times where `c` has them
    ("sample_time"), else with the receive times."""
    times = c["time"].view(np.int64)
    stamped = c["sample_time"].view(np.int64) if "sample_time" in c else times
    kind = c["kind"]
    raw = np.flatnonzero(kind == KIND_CODE["raw"])
    estimated = np.flatnonzero(kind == KIND_CODE["estimated"])
    pressure = raw[~lacking(c["present"][raw], "scaled_ambient_pressure")]
    made = {
        TOPIC_RAW: (raw, raw_messages(c, raw, frame_id, stamped)),
        TOPIC_ESTIMATED: (estimated, estimated_messages(c, estimated, frame_id, stamped)),
        TOPIC_PRESSURE: (pressure, pressure_messages(c, pressure, frame_id, stamped)),
    }
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
        yield topic, stamps[row], views[topic][i * size : (i + 1) * size]
