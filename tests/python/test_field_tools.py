"""The tools for a bad day in the field: which ports there are, which
version is installed, how signals end a command, a line that delivers bytes
but no frame, and the live monitor."""

from __future__ import annotations

import signal
import subprocess
import sys
from pathlib import Path

import pytest

import brimlet
from brimlet_tools import cli
from conftest import CHILD_ENV, run_cli, wait_until

# What the installed console script `brimlet` runs.
CONSOLE_SCRIPT = "import sys; from brimlet_tools.cli import main; sys.exit(main())"


def test_version_names_the_module_that_would_be_loaded() -> None:
    result = run_cli("--version")
    assert result.returncode == 0
    assert result.stdout.startswith(f"brimlet {brimlet.VERSION} (module {brimlet.VERSION} from {brimlet.__file__};")


@pytest.mark.parametrize("launch", [["-m", "brimlet_tools"], ["-c", CONSOLE_SCRIPT]], ids=["module", "script"])
@pytest.mark.parametrize(
    "sig, status, word", [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated")], ids=["INT", "TERM"]
)
def test_a_signal_cuts_work_short_alike_from_module_and_script(
    launch: list[str], sig: int, status: int, word: str, tmp_path: Path
) -> None:
    output = tmp_path / "long.bin"
    command = [sys.executable, *launch, "generate", "--seconds", "1e6", "--output", str(output)]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, env=CHILD_ENV)
    wait_until(lambda: output.exists() and output.stat().st_size > 0)  # the work has begun
    process.send_signal(sig)
    _, err = process.communicate(timeout=10)
    assert process.returncode == status
    assert err.strip().endswith(f": {word}") and "Traceback" not in err


def test_ports_lists_what_identifies_each_port(pty_pair: tuple[int, str], monkeypatch, capsys) -> None:
    list_ports = pytest.importorskip("serial.tools.list_ports")
    from serial.tools.list_ports_common import ListPortInfo
    from serial.tools.list_ports_linux import SysFS

    result = run_cli("ports")  # this machine's own, whatever they are
    assert result.returncode == 0 and result.stdout and not result.stderr
    usb = ListPortInfo("/dev/ttyACM0", skip_link_detection=True)
    usb.vid, usb.pid, usb.serial_number, usb.manufacturer, usb.location = 0x1A2B, 0x0C, "6251.1234", "Maker", "1-1.2:1.0"
    listings = {"none": [], "some": [SysFS(pty_pair[1]), usb]}
    monkeypatch.setattr(list_ports, "comports", lambda include_links=False: listings[kind])
    for kind in listings:
        assert cli.main(["ports"]) == 0
        lines = capsys.readouterr().out.splitlines()
        if kind == "none":
            assert lines == ["no serial ports found"]
        else:
            assert lines == [f"{pty_pair[1]}", "/dev/ttyACM0  usb 1a2b:000c  serial 6251.1234  maker Maker  at 1-1.2:1.0"]
