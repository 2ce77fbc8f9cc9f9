"""Tools that stand beside the brimlet extension: frame encoding, the device
simulator that writes recordings and feeds a virtual serial port, whole
recordings as numpy columns, pandas and Dask frames (`load`, `to_dataframe`,
`read_recordings`; numpy, pandas and dask are imported only when used), and
the command-line tool."""

from .recordings.recording import Recording, load, read_recordings, to_dataframe

__all__ = ["Recording", "load", "read_recordings", "to_dataframe"]
