"""SerialParser on pseudo-terminals: packets from the line, read failures,
exclusive use, and the line settings as the terminal reports them."""

from __future__ import annotations

import fcntl
import os
import struct
import subprocess
import sys
import termios
import time

import pytest

import brimlet
import brimlet_columns
from brimlet_tools.wire.fields import MODULE_DEFAULT_BAUD
from brimlet_tools.wire.frames import estimated_frame, raw_frame
from conftest import wait_until, waiting_bytes

TCGETS2 = 0x802C542A
TERMIOS2 = struct.Struct("=4IB19s2I")  # flags, c_line, c_cc[19], ispeed, ospeed
BOTHER = 0x1000
CBAUD = 0x100F
CRTSCTS = 0x80000000


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        self.name = os.ttyname(self.slave)

    def close_master(self):
        if self.master is not None:
            os.close(self.master)
            self.master = None

    def close(self):
        self.close_master()
        os.close(self.slave)


@pytest.fixture
def pty():
    line = Pty()
    yield line
    line.close()


def test_frames_written_to_the_line_arrive_as_packets(pty):
    parser = brimlet.SerialParser(pty.name, timeout=0.5)
    parser.start()
    sent = [raw_frame(scaled_accel=[1.0, -2.0, 0.5]), estimated_frame(est_pressure_alt=12.5)] * 50
    data = b"".join(sent)
    # Written in pieces that cut frames apart.
    for begin in range(0, len(data), 333):
        os.write(pty.master, data[begin : begin + 333])
    packets = []
    while len(packets) < len(sent):
        packets += parser.get_data_packets(block=True)
    assert [p.packet_type for p in packets] == ["raw", "estimated"] * 50
    assert packets[0].scaled_accel == [1.0, -2.0, 0.5]
    assert packets[1].est_pressure_alt == 12.5
    assert parser.is_running()
    parser.stop()
    assert not parser.is_running()


@pytest.mark.parametrize("timeout", [0.05, None, 0.0005])
def test_silent_line_ends_the_run(pty, timeout):
    parser = brimlet.SerialParser(pty.name, timeout=timeout)
    parser.start()
    wait_until(lambda: not parser.is_running())
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    assert info.value.args == ("Operation timed out",)
    # The port stays open and can be read again; the failure that ends the
    # second run comes before its packets.
    parser.stop()
    os.write(pty.master, raw_frame(scaled_gyro=[1.0, 2.0, 3.0]))
    wait_until(lambda: waiting_bytes(pty.slave) > 0)
    parser.start()
    wait_until(lambda: not parser.is_running())
    with pytest.raises(OSError, match="^Operation timed out$"):
        parser.get_data_packets()
    assert [p.scaled_gyro for p in parser.get_data_packets()] == [[1.0, 2.0, 3.0]]


def test_hang_up_ends_the_run_with_broken_pipe(pty):
    parser = brimlet.SerialParser(pty.name, timeout=5.0)
    parser.start()
    pty.close_master()
    wait_until(lambda: not parser.is_running())
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    assert info.value.args == ("Broken pipe",)
    assert type(info.value) is OSError and info.value.errno is None  # the text alone, no kind


# stop() waits for the read in progress, for at most the port's timeout: a
# frame that comes within it is decoded and nothing fails; a line that stays
# silent ends the run as a timeout. The frame is written by another process,
# as stop() holds the interpreter.
# The bounds leave ten times what a quiet machine takes.
@pytest.mark.parametrize("timeout, frame_after, waited", [(0.3, None, (0.0, 3.0)), (30.0, 0.4, (0.3, 4.0))])
def test_stop_waits_for_the_read_in_progress(pty, timeout, frame_after, waited):
    parser = brimlet.SerialParser(pty.name, timeout=timeout)
    parser.start()
    time.sleep(0.05)
    writer = None
    if frame_after is not None:
        frame = raw_frame(scaled_gyro=[4.0, 5.0, 6.0])
        writer = subprocess.Popen([sys.executable, "-S", "-c", WRITE_AT, str(pty.master), frame.hex(),
                                   str(time.monotonic() + frame_after)], pass_fds=[pty.master])  # fmt: skip
    began = time.monotonic()
    parser.stop()
    assert waited[0] <= time.monotonic() - began < waited[1]
    if writer is None:
        with pytest.raises(OSError, match="^Operation timed out$"):
            parser.get_data_packets()
    else:
        assert writer.wait(10) == 0
        assert [p.scaled_gyro for p in parser.get_data_packets()] == [[4.0, 5.0, 6.0]]
        assert parser.get_data_packets() == []


# Writes bytes (hex) to a descriptor at a time of the monotonic clock.
WRITE_AT = "import os, sys, time; time.sleep(max(0, float(sys.argv[3]) - time.monotonic())); os.write(int(sys.argv[1]), bytes.fromhex(sys.argv[2]))"


def test_port_is_held_exclusively(pty):
    first = brimlet.SerialParser(pty.name, timeout=0.5)
    with pytest.raises(OSError) as info:
        brimlet.SerialParser(pty.name)
    assert info.value.args[0] in ("Device or resource busy", "Unable to acquire exclusive lock on serial port")
    # The first one is not disturbed.
    first.start()
    os.write(pty.master, raw_frame(scaled_ambient_pressure=3.0))
    assert [p.scaled_ambient_pressure for p in first.get_data_packets(True)] == [3.0]
    first.stop()
    # Dropping it releases the port.
    del first
    brimlet.SerialParser(pty.name)


@pytest.mark.parametrize(
    "port, message",
    [
        ("/nonexistent/ttyBRIMLET", "No such file or directory"),
        ("/dev/null", "Not a typewriter"),
        ("/dev/null\0tail", "Invalid argument"),
    ],
)
def test_ports_that_cannot_be_opened(port, message):
    with pytest.raises(OSError) as info:
        brimlet.SerialParser(port)
    assert type(info.value) is OSError
    assert info.value.args == (message,)


def test_regular_file_is_not_a_terminal(tmp_path):
    target = tmp_path / "plain"
    target.write_bytes(b"")
    with pytest.raises(OSError) as info:
        brimlet.SerialParser(str(target))
    assert info.value.args == ("Not a typewriter",)


def test_line_is_raw_8n1_without_flow_control(pty):
    brimlet.SerialParser(pty.name)
    iflag, oflag, cflag, lflag, _ispeed, _ospeed, _cc = termios.tcgetattr(pty.slave)
    assert lflag & (termios.ECHO | termios.ICANON | termios.ISIG | termios.IEXTEN) == 0
    assert oflag & termios.OPOST == 0
    assert iflag & (termios.IXON | termios.IXOFF | termios.INPCK | termios.ICRNL | termios.ISTRIP) == 0
    assert cflag & termios.CSIZE == termios.CS8
    assert cflag & (termios.CLOCAL | termios.CREAD) == termios.CLOCAL | termios.CREAD
    assert cflag & (termios.PARENB | termios.CSTOPB | CRTSCTS) == 0


@pytest.mark.parametrize("opener", [brimlet.SerialParser, brimlet_columns.LiveSource, brimlet_columns.Capture])
@pytest.mark.parametrize(
    "baudrate, expected", [(None, MODULE_DEFAULT_BAUD), (921600, 921600), (12345, 12345), (9600, 9600)]
)
def test_speed_is_set_through_the_arbitrary_speed_fields(pty, opener, baudrate, expected):
    # The tools' copy of the default holds the modules' one.
    opened = opener(pty.name, baudrate)
    record = fcntl.ioctl(pty.slave, TCGETS2, bytes(TERMIOS2.size))
    _iflag, _oflag, cflag, _lflag, _line, _cc, ispeed, ospeed = TERMIOS2.unpack(record)
    assert (ispeed, ospeed) == (expected, expected)
    assert cflag & CBAUD == BOTHER
    del opened  # held open until the speed is read
