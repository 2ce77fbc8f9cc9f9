"""Acquisition and decoding of an inertial measurement unit's data stream.

A parser opens its source when it is made, decodes on a background thread
while it runs, and hands over everything decoded since the previous call with
`get_data_packets`. A parser may be used only on the thread that made it.
"""

import os
from types import TracebackType
from typing import Literal, Self, final

__all__ = ["SerialParser", "MockParser", "IMUPacket", "VERSION", "RELEASE_BUILD"]

VERSION: str
RELEASE_BUILD: bool

@final
class SerialParser:
    """Reads the device on a serial port (8N1, no flow control, exclusive use).

    `baudrate` None means 115200. `timeout` (seconds; None means 0) is how
    long one read waits for input: a line that stays silent longer ends the
    run with "Operation timed out". It is also the wait of a blocking
    `get_data_packets`. Raises OSError when the port cannot be opened.
    """

    def __new__(
        cls,
        port: str | os.PathLike[str],
        baudrate: int | None = None,
        timeout: float | None = 0.1,
    ) -> Self: ...
    def start(self) -> None:
        """Starts the reader thread; does nothing while a run is held."""

    def stop(self) -> None:
        """Stops the reader thread and waits for it to end: a read in
        progress finishes first (up to `timeout`; what it brings is decoded).
        A timeout too long to end (inf) is cut short at once."""

    def is_running(self) -> bool:
        """Whether the current run goes on (False once it ended by itself)."""

    def get_data_packets(self, block: bool = False) -> list[IMUPacket]:
        """Every packet decoded since the previous call, in stream order.

        Raises OSError with the text of a read failure that ended a run (once
        per failure; queued packets stay for the next call). With `block`
        true, waits up to `timeout` for the first packet and raises OSError
        ("timed out waiting on channel") if none comes. The interpreter lock
        is held while waiting.
        """

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None: ...

@final
class MockParser:
    """Replays a recording of the device's byte stream, as fast as it reads.

    `timeout` (seconds; None means 0) is only the wait of a blocking
    `get_data_packets`. The end of the file ends the run quietly; a stopped
    parser continues where it stopped, the file is never rewound. Raises
    OSError when the file cannot be opened.
    """

    def __new__(cls, path: str | os.PathLike[str], timeout: float | None = 0.1) -> Self: ...
    def start(self) -> None:
        """Starts the reader thread; does nothing while a run is held."""

    def stop(self) -> None:
        """Stops the reader thread and waits for it to end."""

    def is_running(self) -> bool:
        """Whether the current run goes on (False once it ended by itself)."""

    def get_data_packets(self, block: bool = False) -> list[IMUPacket]:
        """Every packet decoded since the previous call, in stream order; see
        `SerialParser.get_data_packets`."""

    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None: ...

@final
class IMUPacket:
    """One decoded packet; immutable, and made only by the parsers.

    A "raw" packet can carry the five sensor fields, an "estimated" packet the
    seven `est_` fields; every other field is None. Values are the device's
    single-precision values widened exactly to float; each read of a list
    property gives a new list. `str()` gives the one-line text form.
    """

    @property
    def packet_type(self) -> Literal["raw", "estimated"]: ...
    @property
    def timestamp(self) -> int:
        """Host wall-clock time of decoding, in nanoseconds since the epoch."""

    @property
    def invalid_fields(self) -> str | None:
        """Names of the fields the device flagged not valid, joined with ","."""

    @property
    def scaled_accel(self) -> list[float] | None: ...
    @property
    def scaled_gyro(self) -> list[float] | None: ...
    @property
    def delta_vel(self) -> list[float] | None: ...
    @property
    def delta_theta(self) -> list[float] | None: ...
    @property
    def scaled_ambient_pressure(self) -> float | None: ...
    @property
    def est_pressure_alt(self) -> float | None: ...
    @property
    def est_orient_quaternion(self) -> list[float] | None: ...
    @property
    def est_attitude_uncert_quaternion(self) -> list[float] | None: ...
    @property
    def est_angular_rate(self) -> list[float] | None: ...
    @property
    def est_compensated_accel(self) -> list[float] | None: ...
    @property
    def est_linear_accel(self) -> list[float] | None: ...
    @property
    def est_gravity_vector(self) -> list[float] | None: ...
    def __str__(self) -> str: ...
