"""The sample recording that comes with brimlet_tools: ten seconds of the
simulated unit turning and climbing, raw packets at 1000 Hz and estimated
ones at 100 Hz, with a little line noise and a few fields flagged not valid.

It is package data, found with importlib.resources wherever the package is
installed; `path()` gives it as a file that the parsers can open.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from importlib import resources
from importlib.resources.abc import Traversable
from pathlib import Path

SAMPLE: Traversable = resources.files(__package__ or "brimlet_tools").joinpath("data", "sample.bin")
# The arguments of `generate` that made the sample; a test holds the file to them.
ARGUMENTS: tuple[str, ...] = (
    "--profile", "turn-and-climb", "--duration", "10", "--seed", "1",
    "--raw-rate", "1000", "--estimated-rate", "100", "--invalid-rate", "0.01",
    "--garbage-rate", "0.002", "--drop-rate", "0.001", "--damage-rate", "0.001",
)  # fmt: skip


@contextmanager
def path() -> Iterator[Path]:
    """The sample as a file on disk while the block runs (a temporary copy
    only where the package is not a plain directory, such as a zip)."""
    with resources.as_file(SAMPLE) as p:
        yield p
