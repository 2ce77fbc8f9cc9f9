"""The one way a command writes an output file.

An output is written under a temporary name in its target's directory and
renamed over the target only once complete. The target is then a new file:
a program still reading the old one reads it to its end, and a run that is
aborted (an error, Ctrl-C where that aborts the work) leaves the old file
as it was and nothing of its own behind. A capture whose normal end is
Ctrl-C or SIGTERM (`keep=True`) is finalized however it ends, so what was
captured is never lost; into a new file it is written under the target's
own name from the start (there is no old file to keep whole), so that a
crash or a power cut leaves it where the user looks.

Before anything is read, a target is refused in one line when it is:
- one of the command's inputs, or an input's receive times (the same file
  however it is named: through symbolic links, `..` or another hard link);
- a device, a pipe or a socket (standard output is `-`);
- an existing recording, or the receive times of one, where the output is
  a recording, unless `force` is given; a recording replaced so takes its
  old receive times with it.

A target that is a symbolic link is written through: the file it names is
replaced and the link stays.
"""

from __future__ import annotations

import errno
import os
import shutil
import stat
import sys
from collections.abc import Iterable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import IO, BinaryIO, Literal, TextIO, overload

from ..errors import ToolError, cannot
from .receive_times import SUFFIX as TIMES_SUFFIX

STANDARD_OUTPUT = "-"
PARTIAL = ".partial"

# Failures of a write that say the output cannot take the data (a full disk,
# a quota, a file too large, a device error); they end the command with its
# one-line error. A closed pipe is not among them: the dispatcher ends
# quietly on that.
WRITE_FAILURES = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EIO})

PathLike = str | os.PathLike[str]


@contextmanager
def write_errors(what: str) -> Iterator[None]:
    """Turns a write failure of the output `what` inside the block into the
    one-line error "cannot write WHAT: REASON"."""
    try:
        yield
    except OSError as e:
        if e.errno not in WRITE_FAILURES:
            raise
        raise cannot("write", what, e) from e


def kind_of(mode: int) -> str | None:
    """What a file of `mode` is, when it is not a regular file or a directory."""
    kinds = ((stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISFIFO, "a pipe"), (stat.S_ISSOCK, "a socket"))  # fmt: skip
    return next((name for test, name in kinds if test(mode)), None)


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def status(path: PathLike) -> os.stat_result | None:
    """The status of the file `path` names (links followed), None where there is none."""
    try:
        return os.stat(path)
    except FileNotFoundError:
        return None
    except NotADirectoryError:
        return None


@dataclass(frozen=True)
class Target:
    """An output file checked for writing: the name asked for, and the
    file it lands in (a symbolic link followed)."""

    name: str
    real: Path
    recording: bool

    def temporary(self) -> Path:
        """Where the output is written until it is complete: hidden beside
        the target, with the target's ending (which some writers go by)."""
        real = self.real
        return real.with_name(f".{real.stem}.{os.getpid()}{PARTIAL}{real.suffix}")


def check(
    output: PathLike,
    reads: Iterable[PathLike] = (),
    *,
    recording: bool = False,
    force: bool = False,
    directory: bool = False,
) -> Target:
    """The target `output` checked as the module's description says, or the
    ToolError that refuses it. `reads` are the command's inputs (recordings:
    their receive times are checked too); `recording` says that the output
    is a recording; `directory` that the output is a directory (a bag)."""
    name = os.fspath(output)
    found = status(name)
    if found is not None:
        for read in reads:
            for path, what in ((os.fspath(read), "the recording being read"),
                               (os.fspath(read) + TIMES_SUFFIX, "the receive times of the recording being read")):  # fmt: skip
                other = status(path)
                if other is not None and same_file(found, other):
                    shown = f" ({path})" if path != name else ""
                    raise ToolError(f"cannot write {name}: it is {what}{shown}")
        kind = kind_of(found.st_mode)
        if kind is not None:
            raise ToolError(f"cannot write {name}: it is {kind}, not a file (for standard output, write to -)")
        if stat.S_ISDIR(found.st_mode) and not directory:
            raise ToolError(f"cannot write {name}: it is a directory")
        if directory:
            raise ToolError(f"cannot write {name}: it exists already")
    if recording and not force:
        for path in (name, name + TIMES_SUFFIX):
            if os.path.lexists(path):
                raise ToolError(f"cannot write {name}: {path} exists already (--force replaces it)")
    real = Path(os.path.realpath(name)) if os.path.islink(name) else Path(name)
    return Target(name, real, recording)


@contextmanager
def writing(
    output: PathLike,
    reads: Iterable[PathLike] = (),
    *,
    recording: bool = False,
    force: bool = False,
    directory: bool = False,
    keep: bool = False,
) -> Iterator[Path]:
    """A temporary path beside `output` to write to (a file, or a directory
    with `directory`); renamed over the target when the block ends normally,
    or whatever ends it with `keep`, and removed otherwise. A recording's
    receive times, written to the temporary path's own `.times`, go along."""
    target = check(output, reads, recording=recording, force=force, directory=directory)
    if keep and not os.path.lexists(target.name):
        # A capture into a new file goes under its own name from the start:
        # there is no old file to keep whole, and what is captured must
        # outlive a crash or a power cut under the name the user gave.
        if recording:
            discard(Path(target.name))  # only with force: a lone old .times
        yield target.real
        return
    temporary = target.temporary()
    remove(temporary)
    try:
        yield temporary
    except BaseException as e:
        if keep:
            finish(target, temporary)
        else:
            discard(temporary)
        if isinstance(e, OSError):
            raise cannot("write", target.name, e) from e
        raise
    try:
        finish(target, temporary)
    except OSError as e:
        discard(temporary)
        raise cannot("write", target.name, e) from e


def finish(target: Target, temporary: Path) -> None:
    """Puts the complete `temporary` in the target's place."""
    if not temporary.exists():
        temporary.touch()  # a writer that wrote nothing: an empty file
    old = status(target.real)
    if old is not None and stat.S_ISREG(old.st_mode):
        os.chmod(temporary, stat.S_IMODE(old.st_mode))  # the file stays as the user had it
    if target.recording:
        times = Path(str(temporary) + TIMES_SUFFIX)
        own = Path(str(target.real) + TIMES_SUFFIX)
        if times.exists():
            times.replace(own)
        else:
            own.unlink(missing_ok=True)  # the old recording's times do not belong to the new one
    temporary.replace(target.real)


def discard(temporary: Path) -> None:
    """Removes `temporary` and its receive times."""
    remove(temporary)
    remove(Path(str(temporary) + TIMES_SUFFIX))


def remove(path: Path) -> None:
    """Removes the file or directory tree `path`, if it is there."""
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


@overload
def open_output(
    output: PathLike | None, reads: Iterable[PathLike] = (), *, text: Literal[True], buffered: bool = True,
    recording: bool = False, force: bool = False, keep: bool = False,
) -> AbstractContextManager[TextIO]: ...  # fmt: skip
@overload
def open_output(
    output: PathLike | None, reads: Iterable[PathLike] = (), *, text: Literal[False] = False, buffered: bool = True,
    recording: bool = False, force: bool = False, keep: bool = False,
) -> AbstractContextManager[BinaryIO]: ...  # fmt: skip
def open_output(
    output: PathLike | None,
    reads: Iterable[PathLike] = (),
    *,
    text: bool = False,
    buffered: bool = True,
    recording: bool = False,
    force: bool = False,
    keep: bool = False,
) -> AbstractContextManager[IO[str] | IO[bytes]]:
    """The output file `output` opened for writing as `writing` makes it
    (text: UTF-8, line endings as written; `buffered=False`: every write
    reaches the file at once), as a context that closes and renames it;
    with no path or "-", standard output, flushed but left open."""
    return _opened(output, reads, text, buffered, recording, force, keep)


@contextmanager
def _opened(output: PathLike | None, reads: Iterable[PathLike], text: bool, buffered: bool, recording: bool,
            force: bool, keep: bool) -> Iterator[IO[str] | IO[bytes]]:  # fmt: skip
    if output is None or os.fspath(output) == STANDARD_OUTPUT:
        stream: IO[str] | IO[bytes] = sys.stdout if text else sys.stdout.buffer
        with write_errors("standard output"):
            try:
                yield stream
            finally:
                stream.flush()
        return
    name = os.fspath(output)
    with writing(name, reads, recording=recording, force=force, keep=keep) as temporary:
        try:
            if text:
                opened: IO[str] | IO[bytes] = open(temporary, "x", encoding="utf-8", newline="")
            else:
                opened = open(temporary, "xb", buffering=-1 if buffered else 0)
        except OSError as e:
            raise cannot("write", name, e) from e
        # Closing flushes, and can fail the same way as a write.
        with write_errors(name), opened:
            yield opened
