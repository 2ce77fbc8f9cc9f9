"""Every wait, stop and exit ends when it should: stops on sources that stay
silent, Ctrl-C during a blocking wait, a fork while a parser runs, the tools'
last packets before an error, and the tools on a full disk or a closed pipe.

Anything that could hang runs in a child interpreter with a time limit, so a
hang fails its test instead of the whole run."""

from __future__ import annotations

import os
import select
import signal
import subprocess
import textwrap
import time
import tty

import pytest

from brimlet_tools.live import stream
from brimlet_tools.sim.simulator import StreamConfig, stream_bytes
from brimlet_tools.wire.frames import raw_frame
from conftest import CHILD_ENV, needs_numpy, python_child, read_line, run_python, tool, wait_until_read

# Each makes `parser` (not started, with the keyword arguments `options`) on a
# source whose writer stays open and silent, and `writer`, a descriptor that
# feeds it.
SILENT_SOURCES = {
    "fifo": """
        os.mkfifo(sys.argv[1])
        writer = os.open(sys.argv[1], os.O_RDWR)
        parser = brimlet.MockParser(sys.argv[1], **options)
    """,
    "terminal": """
        writer, line = os.openpty()
        tty.setraw(line)
        parser = brimlet.MockParser(os.ttyname(line), **options)
    """,
    "serial line": """
        writer, line = os.openpty()
        parser = brimlet.SerialParser(os.ttyname(line), **{"timeout": float("inf"), **options})
    """,
}

# A stop or a Ctrl-C is noticed within 100 ms; ten times that leaves room for
# a busy machine, and twenty for the emulator when the tests run under one.
PROMPTLY = 2.0 if os.environ.get("BRIMLET_EMULATED") == "1" else 1.0

PROLOGUE = """
    import os, sys, time, tty
    import brimlet
    from brimlet_tools.wire.frames import raw_frame
"""


def script(source: str, body: str, options: str = "{}") -> str:
    """A child's program: the prologue, `options`, the source's set-up, `body`."""
    parts = (PROLOGUE, f"options = {options}", SILENT_SOURCES[source], body)
    return "\n".join(textwrap.dedent(part) for part in parts)


@pytest.mark.parametrize("source", SILENT_SOURCES)
def test_stop_on_a_silent_source_returns_promptly_and_a_new_run_reads_on(source, tmp_path):
    out = run_python(
        script(source, """
        parser.start()
        time.sleep(0.3)  # the reader is inside its wait by now
        began = time.monotonic()
        parser.stop()
        print(f"{time.monotonic() - began:.3f}")
        assert not parser.is_running()
        try:
            print(parser.get_data_packets())
        except OSError as e:
            print(e)
        parser.start()
        os.write(writer, raw_frame(scaled_ambient_pressure=7.0))
        deadline = time.monotonic() + 10
        packets = []
        while not packets and time.monotonic() < deadline:
            packets = parser.get_data_packets()
        print([p.scaled_ambient_pressure for p in packets])
        parser.stop()
        """),
        str(tmp_path / "stream"),
    )  # fmt: skip
    took, outcome, after = out.splitlines()
    assert float(took) < PROMPTLY
    # A stop that cut the serial line's wait short ends the run as the wait
    # running out would; a recording just ends.
    assert outcome == ("Operation timed out" if source.startswith("serial") else "[]")
    assert after == "[7.0]"


# Ctrl-C ends a long wait: a blocking get_data_packets, or a stop that waits
# out a serial read with a finite timeout (that read still takes the frame
# that comes, and the next stop finishes the first).
@pytest.mark.parametrize("source, options, call, after", [
    ("fifo", "{'timeout': 1e6}", "parser.get_data_packets(block=True)", "assert parser.is_running()"),
    ("serial line", "{'timeout': 30.0}", "parser.stop()", "parser.stop()"),
], ids=["blocking wait", "stop"])  # fmt: skip
def test_ctrl_c_ends_a_long_wait_and_leaves_the_parser_usable(source, options, call, after, tmp_path):
    child = python_child(
        script(source, f"""
        parser.start()
        time.sleep(0.3)  # the reader is inside its wait by now
        print("waiting", flush=True)
        try:
            {call}
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        os.write(writer, raw_frame(scaled_ambient_pressure=3.0))
        {after}
        print([p.scaled_ambient_pressure for p in parser.get_data_packets(block=True)])
        parser.stop()
        """, options=options),
        str(tmp_path / "stream"),
    )  # fmt: skip
    try:
        assert read_line(child.stdout) == "waiting\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        # Not communicate(): the time to the line is what counts.
        assert select.select([child.stdout], [], [], 10)[0], "Ctrl-C did not end the wait"
        line = read_line(child.stdout)
        took = time.monotonic() - sent
        out, err = child.communicate(timeout=10)
    except BaseException:
        child.kill()
        child.communicate()
        raise
    assert line == "interrupted\n", err
    assert took < PROMPTLY
    assert out == "[3.0]\n" and child.returncode == 0, err


def test_a_forked_child_sees_its_parsers_as_not_running_and_exits(tmp_path):
    out = run_python(
        script("fifo", """
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        parser.start()
        os.write(writer, raw_frame(scaled_ambient_pressure=1.0))
        assert len(parser.get_data_packets(block=True)) == 1
        os.write(writer, raw_frame(scaled_ambient_pressure=2.0))
        time.sleep(0.1)  # decoded and queued before the fork
        child = os.fork()
        if child == 0:
            state = (parser.is_running(), parser.get_data_packets())
            parser.stop()
            parser.start()
            assert state == (False, []) and not parser.is_running(), state
            sys.exit(0)  # an ordinary exit, which tears the parser down
        deadline = time.monotonic() + 10
        while (ended := os.waitpid(child, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        if ended[0] == 0:
            os.kill(child, 9)
            sys.exit("the child did not exit")
        print(os.waitstatus_to_exitcode(ended[1]), parser.is_running())
        os.write(writer, raw_frame(scaled_ambient_pressure=3.0))
        got = []
        while 3.0 not in got:  # however late the reader decodes it
            got += [p.scaled_ambient_pressure for p in parser.get_data_packets(block=True)]
        print(got)
        parser.stop()
        """, options="{'timeout': 10}"),
        str(tmp_path / "stream"),
    )  # fmt: skip
    assert out.splitlines() == ["0 True", "[2.0, 3.0]"]


def test_a_port_reading_gives_every_decoded_packet_before_the_error() -> None:
    # Batches of columns: numpy arrays, or memoryviews where numpy is missing.
    master, slave = os.openpty()
    tty.setraw(slave)
    try:
        packets = stream.ColumnListener(os.ttyname(slave), timeout=10.0)
        os.write(master, raw_frame(scaled_ambient_pressure=0.0))
        got = [next(packets)]
        # 999 more are decoded while the consumer is busy elsewhere; then the
        # line hangs up, and the failure is queued ahead of them.
        os.write(master, b"".join(raw_frame(scaled_ambient_pressure=float(i)) for i in range(1, 1000)))
        wait_until_read(slave)
        os.close(master)
        master = None
        time.sleep(0.3)
        assert not packets.hung_up
        got += packets  # the hang-up ends the reading once all are out
    finally:
        if master is not None:
            os.close(master)
        os.close(slave)
    assert [float(v) for batch in got for v in batch["scaled_ambient_pressure"]] == [float(i) for i in range(1000)]
    assert packets.hung_up



# --- the tools' outputs ---------------------------------------------------------------

FULL = "cannot write {}: No space left on device"


@pytest.fixture(scope="module")
def five_seconds(tmp_path_factory) -> str:
    path = tmp_path_factory.mktemp("endings") / "five.bin"
    path.write_bytes(stream_bytes(StreamConfig(seconds=5.0, seed=3)))
    return str(path)


@needs_numpy
@pytest.mark.parametrize(
    "args, into",
    [
        (["generate", "--duration", "5", "-o", "-"], "standard output"),
        (["dump", "--file", "{rec}"], "standard output"),
        (["demo"], "standard output"),
    ],
)
def test_a_full_standard_output_ends_a_tool_with_its_one_line_error(args, into, five_seconds):
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            tool(*(a.format(rec=five_seconds) for a in args)),
            stdout=full, stderr=subprocess.PIPE, text=True, env=CHILD_ENV, timeout=60,
        )  # fmt: skip
    assert result.returncode == 1
    assert result.stderr.splitlines() == [f"python -m brimlet_tools: error: {FULL.format(into)}"]


@needs_numpy
@pytest.mark.parametrize("fmt", ["table", "text", "csv", "jsonl"])
def test_a_closed_pipe_ends_dump_quietly(fmt, five_seconds):
    dump = subprocess.Popen(
        tool("dump", "--file", five_seconds, "--format", fmt),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=CHILD_ENV,
    )  # fmt: skip
    assert dump.stdout is not None and dump.stderr is not None
    assert len(dump.stdout.read(100)) == 100
    dump.stdout.close()  # as `head -c 100` does
    assert dump.wait(timeout=60) == 0
    assert dump.stderr.read() == b""
    dump.stderr.close()


# --- inputs that are not what they claim -------------------------------------------------


@needs_numpy
@pytest.mark.parametrize(
    "args, library",
    [("dump --file {f} --count 2", None), ("dump --file {f} --format csv -o {out}.csv", None),
     ("stats --file {f}", None), ("export {f} {out}.csv", "pyarrow"), ("plot --file {f} -o {out}.png", "matplotlib")],
)  # fmt: skip
def test_a_file_without_a_frame_is_one_line_and_status_1(tmp_path, args, library):
    if library is not None:
        pytest.importorskip(library)
    flight = tmp_path / "flight.csv"
    flight.write_text("time,accel_x\n" + "1.5,0.25\n" * 250_000)
    result = subprocess.run(tool(*args.format(f=flight, out=tmp_path / "out").split()), capture_output=True,
                            text=True, env=CHILD_ENV, timeout=60)  # fmt: skip
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.splitlines() == [
        f"python -m brimlet_tools: error: no frame of the device's stream in {flight} (2,250,013 bytes)"
    ]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["flight.csv"]


@pytest.mark.parametrize(
    "sent, hang_up, status, said",
    [
        pytest.param(b"", False, 0, "warning: nothing from {port} in 3 s", id="silent"),
        pytest.param(b"\x55\xaa" * 20_000, False, 0, "warning: no valid frame from {port} in 3 s, yet bytes arrive",
                     id="no frame"),
        pytest.param(stream_bytes(StreamConfig(seconds=1.0, seed=5)), True, 1, "error: the port {port} hung up after",
                     id="hang-up"),
    ],
)
def test_record_says_when_a_port_brings_no_frame_or_hangs_up_early(tmp_path, sent, hang_up, status, said):
    master, line = os.openpty()
    tty.setraw(line)
    port, output = os.ttyname(line), tmp_path / "flight.bin"
    record = subprocess.Popen(tool("record", "--port", port, "-o", str(output), "--seconds", "4", "--quiet"),
                              stderr=subprocess.PIPE, text=True, env=CHILD_ENV)  # fmt: skip
    try:
        assert read_line(record.stderr).startswith("recording ")
        os.write(master, sent)
        if hang_up:
            time.sleep(0.5)
            os.close(line)
            os.close(master)
            master = line = -1
        _, err = record.communicate(timeout=30)
    finally:
        for fd in (master, line):
            if fd >= 0:
                os.close(fd)
    assert record.returncode == status, err
    assert said.format(port=port) in err and len(err.splitlines()) <= 2, err
    assert output.read_bytes() == sent  # the recording is kept, whatever the end
