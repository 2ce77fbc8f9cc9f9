"""Writing outputs: what every command refuses to write over, a target
replaced only by a complete new file, an aborted run that leaves nothing
behind, and a full disk."""

from __future__ import annotations

import contextlib
import os
import re
import signal
import subprocess
import time
from pathlib import Path

import pytest

from brimlet_tools.sim.simulator import StreamConfig, stream_bytes
from conftest import CHILD_ENV, fill_up, run_cli, snapshot, start_record, tool, wait_for_size, waiting_bytes, write_times

STREAM = stream_bytes(StreamConfig(seconds=2.0, seed=21))


def make_recording(path: Path, data: bytes = STREAM) -> Path:
    """A recording with its receive times, as `record` leaves one."""
    path.write_bytes(data)
    write_times(path, [(len(data), time.time_ns())])
    return path


@pytest.fixture
def scene(tmp_path: Path) -> dict[str, str]:
    """A recording with its times, and names that reach it or are no file."""
    rec = make_recording(tmp_path / "rec.bin")
    (tmp_path / "sub").mkdir()
    os.symlink(rec, tmp_path / "link.csv")
    os.symlink(rec, tmp_path / "pic.png")
    os.link(rec, tmp_path / "hard.csv")
    os.mkfifo(tmp_path / "pipe.csv")
    (tmp_path / "lone.bin.times").write_bytes(b"old")
    (tmp_path / "bag").mkdir()
    return {"dir": str(tmp_path), "rec": str(rec)}


SAME = "it is the recording being read"
TIMES = "it is the receive times of the recording being read"
EXISTS = "exists already (--force replaces it)"


@pytest.mark.parametrize(
    "args, message, library",
    [
        ("export {rec} {rec} --format csv", SAME, "pyarrow"),
        ("export {rec} {dir}/sub/../rec.bin --format parquet", SAME, "pyarrow"),
        ("export {rec} {rec}.times --format jsonl", TIMES, "pyarrow"),
        ("export {rec} {dir}/link.csv --format hdf5", SAME, "h5py"),
        ("export {rec} {dir}/pipe.csv", "it is a pipe", "pyarrow"),
        ("dump --file {rec} -o {rec}", SAME, None),
        ("dump --file {rec} --format csv -o {dir}/link.csv", SAME, None),
        ("dump --file {rec} --format jsonl -o {dir}/hard.csv", SAME, None),
        ("dump --file {dir}/sub/../rec.bin -o {rec}.times", TIMES, None),
        ("dump --file {rec} -o {dir}/pipe.csv", "it is a pipe", None),
        ("dump --file {rec} -o /dev/null", "it is a character device", None),
        ("export {rec} {dir}/bag.mcap", EXISTS, "rosbags"),
        ("generate -o {rec}", EXISTS, None),
        ("generate -o {dir}/lone.bin", EXISTS, None),
        ("generate -o {dir}/pipe.csv --force", "it is a pipe", None),
        ("record --port /nonexistent/tty -o {rec}", EXISTS, None),
        ("plot --file {rec} -o {dir}/pic.png", SAME, "matplotlib"),
    ],
)
def test_what_a_command_must_not_write_over_is_refused_in_one_line(
    scene: dict[str, str], args: str, message: str, library: str | None
) -> None:
    if library is not None:
        pytest.importorskip(library)
    before = snapshot(Path(scene["dir"]))
    result = run_cli(*args.format(**scene).split())
    assert result.returncode == 1, result.stderr
    assert len(result.stderr.splitlines()) == 1 and message in result.stderr, result.stderr
    assert snapshot(Path(scene["dir"])) == before


@pytest.mark.parametrize(
    "args",
    ["generate --duration 1 --force -o {target}", "dump --file {rec} --format csv -o {link}",
     "dump --file {rec} -o {link}"],  # fmt: skip
)
def test_a_replaced_output_is_a_new_file(tmp_path: Path, args: str) -> None:
    rec = make_recording(tmp_path / "rec.bin")
    target = make_recording(tmp_path / "target.bin", b"old bytes")
    os.chmod(target, 0o640)
    os.symlink(target, tmp_path / "link")
    with open(target, "rb") as old_reader:
        result = run_cli(*args.format(rec=rec, target=target, link=tmp_path / "link").split())
        assert result.returncode == 0, result.stderr
        assert old_reader.read() == b"old bytes"  # a reader of the old file reads it whole
    assert (tmp_path / "link").is_symlink() and target.read_bytes() not in (b"", b"old bytes")
    assert target.stat().st_mode & 0o777 == 0o640
    # A recording written in its place takes the old one's receive times along.
    assert (tmp_path / "target.bin.times").exists() == ("dump" in args)
    assert not [p for p in os.listdir(tmp_path) if "partial" in p]


LONG = "generate --duration 100000 --force -o {target}"


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("args", [LONG, "dump --file {big} -o {target}"])
def test_an_aborted_run_leaves_the_old_file_and_nothing_else(tmp_path: Path, args: str, how: int) -> None:
    big = tmp_path / "big.bin"
    big.write_bytes(STREAM * 200)
    target = make_recording(tmp_path / "target.bin", b"old bytes")
    before = snapshot(tmp_path)
    child = subprocess.Popen(tool(*args.format(big=big, target=target).split()), env=CHILD_ENV,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)  # fmt: skip
    deadline = time.monotonic() + 30
    while not any("partial" in p and os.path.getsize(tmp_path / p) for p in os.listdir(tmp_path)):
        assert time.monotonic() < deadline and child.poll() is None, "no output was being written"
        time.sleep(0.01)
    child.send_signal(how)
    _, said = child.communicate(timeout=30)
    assert child.returncode != 0, said
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_record_over_a_recording_with_force_keeps_what_it_captured(pty_pair: tuple[int, str], tmp_path: Path,
                                                                    how: int) -> None:  # fmt: skip
    master, port = pty_pair
    target = make_recording(tmp_path / "target.bin", b"old bytes")
    process = start_record(port, target, "--force")
    os.write(master, STREAM)
    wait_for_size(target, len(STREAM))  # the capture is where the user looks from the start
    process.send_signal(how)
    _, err = process.communicate(timeout=10)
    assert process.returncode == (0 if how == signal.SIGTERM else -how), err
    assert target.read_bytes() == STREAM
    assert (tmp_path / "target.bin.times").stat().st_size > 16
    assert sorted(os.listdir(tmp_path)) == ["target.bin", "target.bin.times"]


@pytest.mark.parametrize("killed, again, library", [
    (LONG, "generate --duration 1 --force -o {target}", None),
    ("dump --file {big} -o {target}", "dump --file {rec} -o {target}", None),
    ("export {big} {target} --format parquet", "export {rec} {target} --format parquet", "pyarrow"),
    ("export {big} {bag}.mcap", "export {rec} {bag}.mcap --force", "rosbags"),
])  # fmt: skip
def test_what_a_killed_run_left_goes_with_the_next_run_into_its_target(tmp_path: Path, killed: str, again: str,
                                                                       library: str | None) -> None:  # fmt: skip
    if library is not None:
        pytest.importorskip(library)
    names = {"big": tmp_path / "big.bin", "rec": make_recording(tmp_path / "rec.bin"),
             "target": tmp_path / "target.bin", "bag": tmp_path / "bag"}  # fmt: skip
    names["big"].write_bytes(STREAM * 200)
    child = subprocess.Popen(tool(*killed.format(**names).split()), env=CHILD_ENV, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)  # fmt: skip
    deadline = time.monotonic() + 30
    while not (left := [p for p in os.listdir(tmp_path) if "partial" in p]):
        assert time.monotonic() < deadline and child.poll() is None, "no output was being written"
        time.sleep(0.01)
    child.kill()
    child.wait()
    busy = tmp_path / ".target.1.partial.bin"  # a writer that is still there (pid 1) keeps its own
    busy.write_bytes(b"busy")
    result = run_cli(*again.format(**names).split())
    assert result.returncode == 0, result.stderr
    assert [p for p in os.listdir(tmp_path) if "partial" in p] == [busy.name], left


def test_a_recording_made_meanwhile_is_not_replaced(tmp_path: Path) -> None:
    target = tmp_path / "new.bin"
    # Long enough to be still writing when the other file comes, even on a
    # quiet machine; an emulated one makes it ten times slower.
    duration = "20" if os.environ.get("BRIMLET_EMULATED") == "1" else "200"
    child = subprocess.Popen(tool("generate", "--duration", duration, "-o", str(target)), env=CHILD_ENV,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)  # fmt: skip
    deadline = time.monotonic() + 30
    while not [p for p in os.listdir(tmp_path) if "partial" in p]:
        assert time.monotonic() < deadline and child.poll() is None, "no output was being written"
        time.sleep(0.01)
    target.write_bytes(b"another run's")  # before this run has ended
    _, said = child.communicate(timeout=600)
    assert target.read_bytes() == b"another run's"
    assert child.returncode == 1 and "was made meanwhile" in said, said
    assert sorted(os.listdir(tmp_path)) == ["new.bin"]


@pytest.mark.parametrize("command", ["record", "generate", "export", "dump", "plot"])
def test_every_command_that_writes_states_the_overwrite_rule(command: str) -> None:
    from brimlet_tools.files.outputs import RULE

    shown = run_cli(command, "--help").stdout
    assert " ".join(RULE.split()) in " ".join(shown.split())
    assert bool(re.search(r"^ +--force", shown, re.M)) == (command in ("record", "generate", "export"))


# --- a full disk --------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, library",
    [
        ("export {rec} {out}.h5", "h5py"),
        ("export {rec} {out}.mcap", "rosbags"),
        ("export {rec} {out}.db3", "rosbags"),
        ("export {rec} {out}.parquet", "pyarrow"),
        ("export {rec} {out}.csv", "pyarrow"),
        ("dump --file {rec} --format jsonl -o {out}.jsonl", None),
        ("dump --file {rec} -o {out}.txt", None),
        ("generate --duration 5 --force -o {out}.bin", None),
        ("plot --file {rec} -o {out}.png", "matplotlib"),
    ],
)
def test_a_full_disk_is_one_line_and_leaves_the_old_output(full_dir: Path, tmp_path: Path, args: str,
                                                           library: str | None) -> None:  # fmt: skip
    if library is not None:
        pytest.importorskip(library)
    rec = make_recording(tmp_path / "rec.bin")
    out = full_dir / "out"
    for old in ("out.h5", "out.parquet", "out.csv", "out.jsonl", "out.txt", "out.png"):
        (full_dir / old).write_bytes(b"old")
    fill_up(full_dir)
    before = snapshot(full_dir)
    result = run_cli(*args.format(rec=rec, out=out).split())
    assert result.returncode == 1, result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith(f"python -m brimlet_tools: error: cannot write {out}")
    assert line.endswith(": No space left on device")
    assert snapshot(full_dir) == before


@pytest.mark.parametrize("extra", [(), ("--sample-times",), ("--format", "csv"), ("--format", "text")])
def test_ctrl_c_ends_a_live_dump_into_a_pipe_nobody_reads(extra: tuple[str, ...], pty_pair: tuple[int, str]) -> None:
    if "--sample-times" in extra:
        pytest.importorskip("numpy")
    master, port = pty_pair
    reader, writer = os.pipe()  # never read
    child = subprocess.Popen(tool("dump", "--port", port, "--follow", *extra), stdout=writer, stderr=subprocess.PIPE,
                             text=True, env=CHILD_ENV)  # fmt: skip
    os.close(writer)
    os.set_blocking(master, False)
    deadline = time.monotonic() + 30
    full = None
    while full is None or time.monotonic() < full + 1:  # the pipe fills, and then the dump waits on it
        assert time.monotonic() < deadline and child.poll() is None, "the dump did not fill the pipe"
        with contextlib.suppress(BlockingIOError):
            os.write(master, STREAM[:4096])
        time.sleep(0.01)
        if full is None and waiting_bytes(reader) >= 32768:
            full = time.monotonic()
    child.send_signal(signal.SIGINT)
    try:
        _, said = child.communicate(timeout=10)
    finally:
        child.kill()
        os.close(reader)
    assert child.returncode == 1 and "what it did not take is lost" in said, said
