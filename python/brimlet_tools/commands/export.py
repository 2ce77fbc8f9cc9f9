"""`export`: a recording into Parquet, HDF5, a ROS 2 bag, CSV or JSON lines."""

from __future__ import annotations

import argparse
from pathlib import Path

from ..export import FORMATS, FRAME_ID, STORAGES, Options, bag_directory, export, format_for
from ..files.outputs import check
from ..recordings.window import window
from . import options
from .common import note
from .progress import progress_bar
from .source import load_recording

NAME = "export"
WHAT = [f.what for f in FORMATS.values()]
HELP = f"Write a recording as {', '.join(WHAT[:-1])} or {WHAT[-1]}."


def add_arguments(p: argparse.ArgumentParser) -> None:
    options.add_recording(p, "the recording to export")
    files = ", ".join(f.suffixes[0] for f in FORMATS.values() if not f.directory)
    bags = " or ".join(f"name{s}" for f in FORMATS.values() if f.directory for s in f.suffixes)
    options.add_output(p, f"the file to write, its format chosen by its ending: {files}; "
                       f"{bags} make the ROS 2 bag directory name")  # fmt: skip
    p.add_argument("--format", choices=FORMATS, default=None,
                   help="the format, whatever the output's name")  # fmt: skip
    bag = p.add_argument_group("ROS 2 bags")
    bag.add_argument("--storage", choices=STORAGES, default=None,
                     help=f"the bag's storage (default: by the name, .db3 for sqlite3, else {STORAGES[0]})")  # fmt: skip
    bag.add_argument("--frame-id", default=FRAME_ID, metavar="ID",
                     help="the frame of every message (default %(default)s)")  # fmt: skip
    options.add(p, "force")
    options.add_window(p)
    options.add(p, "quiet")


def run(args: argparse.Namespace) -> int:
    fmt = format_for(args.output, args.format)
    fmt.writer()  # a missing library, or an output that must not be written, is said before anything is read
    check(bag_directory(Path(args.output)) if fmt.directory else args.output, [args.file],
          directory=fmt.directory, force=args.force)  # fmt: skip
    recording = window(load_recording(args.file), args.start, args.end)
    chosen = Options(frame_id=args.frame_id, storage=args.storage, force=args.force)
    with progress_bar(f"export to {fmt.name}", len(recording), quiet=args.quiet) as advance:
        written = export(recording, args.output, fmt, chosen, advance)
    if not args.quiet:
        size = sum(f.stat().st_size for f in written.rglob("*")) if written.is_dir() else written.stat().st_size
        times = "estimated times (the recording kept none)" if recording.times_estimated else "receive times"
        note(f"wrote {len(recording)} packets with {times} to {written} ({fmt.name}, {size} bytes)")
    return 0
