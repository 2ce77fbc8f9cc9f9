"""Tools that stand beside the brimlet extension: whole recordings as numpy
columns, pandas and Dask frames (`load`, `to_dataframe`, `read_recordings`;
numpy, pandas and dask are imported only when used), exports (`export`), a
port's packets as they come in batches of columns, for asyncio too
(`stream`, which is `live.stream.live`), the device's sample times as packets come (`SampleClock`), the
device simulator that writes recordings and feeds a virtual serial port, and
the command-line tool."""

from .export import export
from .live.stream import live as stream
from .recordings.recording import Recording, load, read_recordings, to_dataframe
from .timing.online import SampleClock

__all__ = ["Recording", "SampleClock", "export", "load", "read_recordings", "stream", "to_dataframe"]
