"""The one way a command writes an output file, and the one overwrite rule.

The rule (`RULE`, shown in the help of every command that writes): an
existing recording (with its receive times) or ROS 2 bag is replaced only
with `--force`; any other output that is there already (an export, a dump,
a plot) is replaced. Either way the old file gives way only to a complete
new one, and nothing is ever written over a command's own input, a device,
a pipe or a socket.

An output is written under a temporary name in its target's directory and
renamed over the target only once complete. The target is then a new file:
a program still reading the old one reads it to its end, and a run that is
aborted (an error, Ctrl-C where that aborts the work) leaves the old file
as it was and nothing of its own behind. The temporary name holds the
writer's process id: a run killed outright (SIGKILL, a power cut) leaves it,
and the next run into the same target removes it once its writer is gone.
Where an existing target is not to be replaced, the refusal holds at the
rename too: a target that appeared meanwhile (another run) is not replaced.

A capture whose normal end is Ctrl-C or SIGTERM (`keep=True`) is written
under the target's own name from the start (an old file there, where it
may be replaced, gives way at once), so that what is captured is where the
user looks however the run ends, a crash or a power cut included.

Before anything is read, a target is refused in one line when it is:
- one of the command's inputs, or an input's receive times (the same file
  however it is named: through symbolic links, `..` or another hard link);
- a device, a pipe or a socket (standard output is `-`);
- an existing recording or its receive times, where the output is a
  recording, or an existing bag, unless `force` is given; a recording
  replaced so takes its old receive times with it.

A target that is a symbolic link is written through: the file it names is
replaced and the link stays.
"""

from __future__ import annotations

import errno
import os
import re
import shutil
import signal
import stat
import sys
import time
from collections.abc import Iterable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, BinaryIO, Literal, TextIO, overload

from ..errors import ToolError, cannot
from .receive_times import SUFFIX as TIMES_SUFFIX

STANDARD_OUTPUT = "-"
PARTIAL = ".partial"
RULE = ("Overwriting: an existing recording (with its receive times) or ROS 2 bag is replaced only with --force; "
        "any other output is replaced; either way only by a complete new file, and never the input, a device, "
        "a pipe or a socket.")  # fmt: skip

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
    replace: bool  # an existing target may be replaced

    def temporary(self) -> Path:
        """Where the output is written until it is complete: hidden beside
        the target, with the target's ending (which some writers go by)."""
        real = self.real
        return real.with_name(f".{real.stem}.{os.getpid()}{PARTIAL}{real.suffix}")

    def sweep(self) -> None:
        """Removes what runs into this target left when they were killed
        (their temporary names, with their receive times), once their
        writers are gone."""
        real = self.real
        left = re.compile(re.escape(f".{real.stem}.") + r"([0-9]+)" + re.escape(PARTIAL + real.suffix)
                          + "(" + re.escape(TIMES_SUFFIX) + ")?")  # fmt: skip
        try:
            names = os.listdir(real.parent)
        except OSError:
            return
        for name in names:
            found = left.fullmatch(name)
            if found is not None and not running(int(found.group(1))):
                remove(real.parent / name)


def running(pid: int) -> bool:
    """Whether the process `pid` is there (this one is)."""
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's
    return True


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
        if directory and not force:
            raise ToolError(f"cannot write {name}: it exists already (--force replaces it)")
    if recording and not force:
        for path in (name, name + TIMES_SUFFIX):
            if os.path.lexists(path):
                raise ToolError(f"cannot write {name}: {path} exists already (--force replaces it)")
    real = Path(os.path.realpath(name)) if os.path.islink(name) else Path(name)
    return Target(name, real, recording, force or not (recording or directory))


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
    target.sweep()
    if keep:
        # A capture goes under its own name from the start: what is
        # captured must outlive a crash or a power cut under the name the
        # user gave. An old file there (and an old recording's receive
        # times) gives way at once: a reader of it reads it to its end.
        target.real.unlink(missing_ok=True)
        if recording:
            discard(target.real)
        yield target.real
        return
    temporary = target.temporary()
    remove(temporary)
    try:
        yield temporary
    except BaseException as e:
        discard(temporary)
        if isinstance(e, OSError):
            raise cannot("write", target.name, e) from e
        raise
    try:
        finish(target, temporary)
    except FileExistsError as e:
        discard(temporary)
        raise ToolError(f"cannot write {target.name}: {e.filename or target.name} was made meanwhile, by another "
                        "program (--force replaces it)") from e  # fmt: skip
    except OSError as e:
        discard(temporary)
        raise cannot("write", target.name, e) from e


def finish(target: Target, temporary: Path) -> None:
    """Puts the complete `temporary` in the target's place; FileExistsError
    where the target may not be replaced and one is there."""
    if not temporary.exists():
        temporary.touch()  # a writer that wrote nothing: an empty file
    old = status(target.real)
    if old is not None and stat.S_ISREG(old.st_mode):
        os.chmod(temporary, stat.S_IMODE(old.st_mode))  # the file stays as the user had it
    if target.recording:
        times = Path(str(temporary) + TIMES_SUFFIX)
        own = Path(str(target.real) + TIMES_SUFFIX)
        if not target.replace and os.path.lexists(own):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(own))
        place(temporary, target.real, target.replace)
        if times.exists():
            times.replace(own)
        else:
            own.unlink(missing_ok=True)  # the old recording's times do not belong to the new one
        return
    place(temporary, target.real, target.replace)


# renameat2(2): flags, and the directory the names are taken from.
RENAME_NOREPLACE, RENAME_EXCHANGE, AT_FDCWD = 1, 2, -100


def rename2(source: Path, target: Path, flags: int) -> None:
    """renameat2(2) of `source` to `target`; OSError (ENOSYS where the C
    library lacks it, EINVAL where the file system does) on failure."""
    try:
        import ctypes  # an interpreter built without libffi has none
    except ImportError:
        raise OSError(errno.ENOSYS, os.strerror(errno.ENOSYS)) from None
    call = getattr(ctypes.CDLL(None, use_errno=True), "renameat2", None)
    if call is None:
        raise OSError(errno.ENOSYS, os.strerror(errno.ENOSYS))
    if call(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), flags) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), str(target))


def place(temporary: Path, target: Path, replace: bool) -> None:
    """Renames `temporary` to `target`, over a file there only with `replace`
    (else FileExistsError); a directory there is swapped out and removed."""
    if replace and not (target.is_dir() and not target.is_symlink()):
        temporary.replace(target)
        return
    try:
        rename2(temporary, target, RENAME_EXCHANGE if replace else RENAME_NOREPLACE)
    except OSError as e:
        if e.errno not in (errno.ENOSYS, errno.EINVAL):
            raise
        place_plainly(temporary, target, replace)
        return
    if replace:
        remove(temporary)  # the old directory, swapped out


def place_plainly(temporary: Path, target: Path, replace: bool) -> None:
    """`place` without renameat2: a file through a new link, which fails
    on an existing name; a directory by renames."""
    if temporary.is_dir():
        if replace:
            old = temporary.with_name(temporary.name + ".old")
            target.rename(old)
            temporary.rename(target)
            remove(old)
        elif os.path.lexists(target):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), str(target))
        else:
            temporary.rename(target)
        return
    os.link(temporary, target)
    temporary.unlink()


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


# A write that has waited this long on an output that takes nothing (a pipe
# nobody reads) is ended by Ctrl-C, which would otherwise wait on it forever.
STALLED = 0.5  # seconds


class OutputStalled(Exception):
    """Ctrl-C came while a write had waited STALLED seconds on its output."""


class StalledWrites:
    """Marks the writes of a live reading (`with`): Ctrl-C or SIGTERM sets
    `stop.set` (a command's stop flag) as ever, and ends a write in progress
    that has waited STALLED seconds with OutputStalled."""

    def __init__(self, stop: Any) -> None:
        self.stop = stop
        self.since: float | None = None

    def __enter__(self) -> None:
        self.since = time.monotonic()

    def __exit__(self, *exc: object) -> None:
        self.since = None

    @contextmanager
    def on_signals(self) -> Iterator[None]:
        """Routes SIGINT and SIGTERM here while the block runs."""

        def handle(signum: int, frame: object) -> None:
            self.stop.set = True
            if self.since is not None and time.monotonic() - self.since >= STALLED:
                raise OutputStalled

        saved = {sig: signal.signal(sig, handle) for sig in (signal.SIGINT, signal.SIGTERM)}
        try:
            yield
        finally:
            for sig, old in saved.items():
                signal.signal(sig, old)


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
