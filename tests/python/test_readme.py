"""The README as a user follows it: every command line and every Python
block in it runs, in order, as written, with a virtual device where it
names a port (the install lines are run by tools/readme_install.sh)."""

from __future__ import annotations

import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import CHILD_ENV, tool

README = Path(__file__).resolve().parents[2] / "README.md"
PORTS = ("/dev/ttyACM0", "/dev/pts/N")
LIMIT = 120  # seconds for one line: far more than any needs


def blocks(text: str) -> list[tuple[str, str]]:
    """The fenced blocks of `text` as (language, body), without those that
    follow an install-test marker."""
    found = re.findall(r"(<!-- install-test: \w+ -->\n)?```(\w*)\n(.*?)```", text, re.S)
    return [(language, body) for marker, language, body in found if not marker]


def command_lines(body: str) -> list[str]:
    return [line.split("  #")[0].strip() for line in body.splitlines() if line.strip()]


def argv(line: str, port: str) -> list[str]:
    """The command line as it runs here: `brimlet` through this interpreter."""
    words = shlex.split(line.replace(PORTS[0], port).replace(PORTS[1], port).removesuffix("&"))
    if words[0] == "brimlet":
        return tool(*words[1:])
    assert words[0] == "python3.14", line  # what a one-liner must say: Debian 12's python3 is 3.11
    return [sys.executable, *words[1:]]


@pytest.mark.skipif(not README.is_file(), reason="the tests run without the checkout's README (an installed wheel's)")
def test_the_readme_runs_as_written(tmp_path: Path) -> None:
    pytest.importorskip("numpy")
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    pytest.importorskip("h5py")
    pytest.importorskip("serial", reason="the README lists the ports, which needs pyserial")
    pytest.importorskip("pyarrow")
    text = README.read_text()
    assert len(text.splitlines()) <= 200
    found = blocks(text)
    assert {language for language, _ in found} == {"sh", "python"}
    device: subprocess.Popen[str] | None = None
    here = tmp_path
    try:
        for number, (language, body) in enumerate(found):
            if language == "python":
                script = here / f"block{number}.py"
                script.write_text(body)
                done = subprocess.run([sys.executable, str(script)], cwd=here, env=CHILD_ENV, capture_output=True,
                                      text=True, timeout=LIMIT)  # fmt: skip
                assert done.returncode == 0, body + done.stderr
                continue
            here = tmp_path / f"sh{number}"  # each shell block starts afresh
            here.mkdir()
            lines = command_lines(body)
            # A block that names a port plays it on a virtual device (the
            # block's own, when it starts one).
            port = ""
            if any(p in body for p in PORTS):
                starts = [line for line in lines if line.endswith("&")]
                line = starts[0] if starts else "brimlet virtual-device --seconds 20"
                device = subprocess.Popen(argv(line, ""), cwd=here, env=CHILD_ENV, stdout=subprocess.PIPE,
                                          stderr=subprocess.DEVNULL, text=True)  # fmt: skip
                port = (device.stdout.readline() if device.stdout else "").strip()
                assert port.startswith("/dev/"), line
                lines = [line for line in lines if line not in starts]
            for line in lines:
                done = subprocess.run(argv(line, port), cwd=here, env=CHILD_ENV, capture_output=True, text=True,
                                      timeout=LIMIT)  # fmt: skip
                assert done.returncode == 0, f"{line}\n{done.stderr}"
            if device is not None:
                device.terminate()
                device.wait(timeout=LIMIT)
                device = None
    finally:
        if device is not None:
            device.kill()
            device.wait()
