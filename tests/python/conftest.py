"""Helpers shared by the Python tests: recordings on disk and their replay,
FIFOs, waiting, threads and descriptors, the internal-error exception, pseudo-terminals,
and the command-line tool run as a child process."""

from __future__ import annotations

import errno
import fcntl
import importlib.util
import itertools
import os
import shutil
import signal
import struct
import subprocess
import sys
import termios
import textwrap
import time
import tty
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import IO

import pytest

import brimlet
import brimlet_tools

# A run started in the background of a script inherits SIGINT ignored, and
# every command a test starts would inherit that too; the tests that press
# Ctrl-C on a command are about a user at a terminal, so the commands start
# with the default again (an interpreter's handler does not pass an exec).
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# Child processes find both modules where this process found them, whatever
# their working directory.
MODULE_DIRS = (Path(brimlet.__file__).resolve().parent, Path(brimlet_tools.__file__).resolve().parents[1])
CHILD_ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(map(str, MODULE_DIRS))}


@pytest.fixture(autouse=True)
def no_child_left() -> Iterator[None]:
    """Kills what a test started and left running (it failed, or a wait of
    its timed out), so that no command or device outlives its test."""
    started: list[subprocess.Popen] = []

    class Tracked(subprocess.Popen):
        def __init__(self, *args, **kwargs) -> None:
            super().__init__(*args, **kwargs)
            started.append(self)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(subprocess, "Popen", Tracked)
        yield
    for child in started:
        if child.poll() is None:
            child.kill()
            child.wait()


def tool(*args: str) -> list[str]:
    return [sys.executable, "-m", "brimlet_tools", *args]


# How long a test waits for what must come before it takes the wait for a
# hang: a guard only, never a measure of speed (a fresh interpreter under
# emulation on a busy machine takes tens of seconds to start a command).
HANG_GUARD = 300.0


def run_cli(*args: str, timeout: float = HANG_GUARD) -> subprocess.CompletedProcess[str]:
    """The command run to its end; `timeout` only guards against a hang."""
    return subprocess.run(tool(*args), capture_output=True, text=True, timeout=timeout, env=CHILD_ENV)


# `brimlet record` opens the port with pyserial, an optional extra that the
# arm64 test tree does not have.
# A recording's time span and its receive times are read through numpy (an
# optional extra that the glibc 2.31 test interpreter cannot have); without it
# the tools say so, which these tests do not expect.
needs_numpy = pytest.mark.skipif(importlib.util.find_spec("numpy") is None, reason="the time span and receive times need numpy")
needs_matplotlib = pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="plot needs matplotlib")


def start_record(port: str, output: Path, *extra: str) -> subprocess.Popen[str]:
    process = subprocess.Popen(
        tool("record", "--port", port, "--output", str(output), *extra),
        stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
    )  # fmt: skip
    assert read_line(process.stderr).startswith("recording ")  # the port is set up
    return process


def read_line(stream: IO[str] | None) -> str:
    """One line from a child's pipe, read a byte at a time: readline() would
    buffer whatever came after it, where a later communicate() never looks."""
    assert stream is not None
    line = bytearray()
    while not line.endswith(b"\n") and (byte := os.read(stream.fileno(), 1)):
        line += byte
    return line.decode()


def wait_for_size(path: Path, size: int) -> None:
    """Waits until `path` holds `size` bytes: record writes what it reads at
    once, not when it ends."""
    deadline = time.monotonic() + 10
    while path.stat().st_size < size:
        assert time.monotonic() < deadline, f"{path} holds {path.stat().st_size} of {size} bytes"
        time.sleep(0.01)


def python_child(source: str, *args: str) -> subprocess.Popen[str]:
    """Starts a fresh interpreter running `source` (dedented, with `args` in
    sys.argv), its output piped as text. Ctrl-C raises KeyboardInterrupt in
    it, whatever this process does with the signal."""
    prologue = "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"
    return subprocess.Popen(
        [sys.executable, "-c", prologue + textwrap.dedent(source), *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV,
    )  # fmt: skip


def run_python(source: str, *args: str, timeout: float = HANG_GUARD) -> str:
    """Runs `source` in a fresh interpreter and returns its standard output;
    fails the test when it does not end within `timeout` seconds (it is then
    killed) or ends with a status other than 0."""
    child = python_child(source, *args)
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        raise AssertionError(f"the child did not end within {timeout} s\n{out}{err}") from None
    assert child.returncode == 0, f"status {child.returncode}\n{out}{err}"
    return out


@pytest.fixture
def pty_pair() -> Iterator[tuple[int, str]]:
    """A pseudo-terminal in raw mode: the master's descriptor and the path of
    the slave, which stands in for a serial port."""
    master, slave = os.openpty()
    tty.setraw(slave)
    yield master, os.ttyname(slave)
    os.close(master)
    os.close(slave)


@pytest.fixture
def recording(tmp_path: Path) -> Callable[[bytes], Path]:
    """A function that writes bytes to a new file under tmp_path and returns its path."""
    numbers = itertools.count()

    def write(data: bytes) -> Path:
        path = tmp_path / f"recording-{next(numbers)}.bin"
        path.write_bytes(data)
        return path

    return write


def is_panic(exc: BaseException) -> bool:
    """Whether `exc` is the module's PanicException (not an Exception)."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)


def wait_until(predicate, timeout: float = HANG_GUARD) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.005)


def waiting_bytes(fd: int) -> int:
    """How many bytes wait unread in the input queue of the terminal `fd`."""
    return int(struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0])


def wait_until_read(fd: int, timeout: float = HANG_GUARD) -> None:
    """Waits until whatever was written to the terminal `fd` has been read
    from it. Written bytes reach the terminal's input queue a moment later
    (longer on a busy machine), so read means the queue has stayed empty for
    a fifth of a second."""
    deadline = time.monotonic() + timeout
    empty_since = time.monotonic()
    while time.monotonic() - empty_since < 0.2:
        assert time.monotonic() < deadline, f"{waiting_bytes(fd)} bytes still unread"
        if waiting_bytes(fd):
            empty_since = time.monotonic()
        time.sleep(0.005)


def tasks() -> set[str]:
    """The thread ids of this process."""
    return set(os.listdir("/proc/self/task"))


def new_task(before: set[str]) -> str:
    """The one thread started since `before = tasks()`."""
    started = tasks() - before
    assert len(started) == 1, f"{len(started)} threads started"
    return started.pop()


def task_ended(tid: str, limit: float = 10.0) -> bool:
    """Whether the thread `tid` is gone, given `limit` seconds to go. A joined
    thread can stay listed for a moment after the join returns (the kernel
    removes it just after waking the joiner; a busy machine or an emulator
    stretches that moment), so only a thread that is still there after the
    whole bound counts as not ended."""
    deadline = time.monotonic() + limit
    while os.path.exists(f"/proc/self/task/{tid}"):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


def descriptors_on(path: str) -> int:
    """How many descriptors of this process are open on `path`."""
    count, target = 0, os.path.realpath(path)
    for fd in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{fd}") == target
        except FileNotFoundError:  # the listing's own descriptor, closed since
            pass
    return count


@pytest.fixture
def fifo(tmp_path: Path):
    """A FIFO and a descriptor that writes to it. A reader of the FIFO waits
    until data comes and sees end of data once the descriptor is closed."""
    target = tmp_path / "stream"
    os.mkfifo(target)
    writer = os.open(target, os.O_RDWR)  # O_RDWR: opening does not wait for a reader
    handle = {"path": str(target), "fd": writer}
    yield handle
    if handle["fd"] is not None:
        os.close(handle["fd"])


def started(parser):
    parser.start()
    return parser


def read_to_end(parser, limit: float = 10.0) -> list:
    """Runs a started parser until its source is exhausted, stops it and
    returns every packet decoded."""
    deadline = time.monotonic() + limit
    while parser.is_running():
        if time.monotonic() > deadline:
            raise AssertionError("the recording was not read to its end in time")
        time.sleep(0.001)
    parser.stop()
    return parser.get_data_packets()


@pytest.fixture
def replay(recording) -> Callable[[bytes], list]:
    """A function that replays a byte stream through a MockParser and returns
    the list of packets it gives."""

    def run(data: bytes) -> list:
        parser = brimlet.MockParser(recording(data))
        parser.start()
        return read_to_end(parser)

    return run


def snapshot(directory: Path) -> dict[str, object]:
    """Every entry under `directory` and what it holds (a file's bytes, a
    link's target, the kind of anything else), to tell that a command
    changed nothing and left nothing behind."""
    found: dict[str, object] = {}
    for path in sorted(directory.rglob("*")):
        name = str(path.relative_to(directory))
        if path.is_symlink():
            found[name] = ("link", os.readlink(path))
        elif path.is_file():
            found[name] = path.read_bytes()
        else:
            found[name] = "directory" if path.is_dir() else "other"
    return found


@pytest.fixture
def full_dir() -> Iterator[Path]:
    """A directory on the small filesystem that `make test` mounts (a tmpfs
    named by BRIMLET_FULL_DIR); `fill_up` then leaves no byte free on it."""
    root = os.environ.get("BRIMLET_FULL_DIR")
    if not root or not os.path.ismount(root):
        pytest.skip("no small filesystem mounted: `make test` mounts one and names it in BRIMLET_FULL_DIR")
    directory = Path(root) / f"t{os.getpid()}"
    directory.mkdir()
    try:
        yield directory
    finally:
        shutil.rmtree(directory)


def fill_up(directory: Path) -> None:
    """Fills the filesystem of `directory` to its last byte."""
    with open(directory / "filler", "wb", buffering=0) as f:
        for size in (1 << 16, 1 << 12, 1 << 9, 1):
            try:
                while f.write(b"\0" * size):
                    pass
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise


def write_times(path: Path, reads: list[tuple[int, int]], boots: list[int] | None = None) -> None:
    """Receive times beside the recording at `path`, as `record` writes
    them: one entry per (end, wall-clock time) read, with the boot clock
    `boots` (by default the wall clock's)."""
    from brimlet_tools.files.receive_times import TimesWriter, companion_path

    data = path.read_bytes()
    start = 0
    with TimesWriter(companion_path(path)) as writer:
        for (end, t), boot in zip(reads, boots or [t for _, t in reads], strict=True):
            writer.add(data[start:end], t, boot)
            start = end
