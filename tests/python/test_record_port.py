"""A port that cannot be opened reads the same in every command that reads
one, `record` and `monitor` (which capture bytes) among them."""

from __future__ import annotations

from pathlib import Path

import pytest
from conftest import run_cli

# (command, its arguments after the port); each may lack an optional extra.
COMMANDS = [("dump", []), ("stats", []), ("record", ["-o", "{out}"]), ("monitor", ["--seconds", "1"]),
            ("serve", ["--listen", "127.0.0.1:0", "--seconds", "1"])]  # fmt: skip


@pytest.mark.parametrize(("command", "rest"), COMMANDS, ids=[c for c, _ in COMMANDS])
@pytest.mark.parametrize(("port", "why"), [("/dev/null", "Not a typewriter"), ("/nonexistent/tty", "No such file or directory")])
def test_a_port_that_cannot_be_opened_reads_the_same_in_every_command(
    command: str, rest: list[str], port: str, why: str, tmp_path: Path
) -> None:
    result = run_cli(command, "-p", port, *(a.format(out=tmp_path / "out.bin") for a in rest))
    if "which is not installed" in result.stderr:  # an optional extra this tree lacks
        pytest.skip(result.stderr.strip())
    assert result.returncode == 1
    assert result.stderr.splitlines()[-1].endswith(f": error: cannot open port {port}: {why}"), result.stderr
