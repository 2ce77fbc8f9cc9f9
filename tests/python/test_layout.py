"""The tools' layering: each part of brimlet_tools stands on a floor and
imports only from floors below it or from its own part, no import runs in a
circle, no command imports another command, and only `live/` opens a port,
through one reader."""

from __future__ import annotations

import ast
import re
from collections.abc import Callable, Iterator
from pathlib import Path

import pytest

import brimlet_tools

# The floors of the package, from the ground up: the one table of the layout.
FLOORS: dict[str, int] = {
    "errors": 0, "sample": 0,
    "wire": 1, "files": 1,
    "timing": 2, "sim": 2,
    "live": 3, "recordings": 3,
    "export": 4, "plot": 4, "serve": 4,
    "commands": 5,
    "cli": 6, "__init__": 6,
}  # fmt: skip

PACKAGE = Path(brimlet_tools.__file__).parent


def module_name(path: Path) -> str:
    parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" and len(parts) > 2 else parts)


def imports(path: Path, modules: set[str]) -> set[str]:
    """The package's modules that the file at `path` imports, anywhere in it."""
    name = module_name(path)
    package = name.removesuffix(".__init__") if path.name == "__init__.py" else name.rpartition(".")[0]
    found: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names if a.name.startswith("brimlet_tools"))
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join([*anchor, *([base] if base else [])])
            if not base.startswith("brimlet_tools"):
                continue
            for a in node.names:
                found.add(f"{base}.{a.name}" if f"{base}.{a.name}" in modules else base)
    found.discard(name)
    return found


def part(module: str) -> str:
    name = module.split(".")[1] if "." in module else "__init__"
    return "cli" if name == "__main__" else name  # `python -m` runs the command line


def test_each_part_imports_only_downwards_without_circles() -> None:
    files = sorted(PACKAGE.rglob("*.py"))
    modules = {module_name(f) for f in files}
    graph = {module_name(f): imports(f, modules) for f in files}

    wrong = []
    for source, targets in graph.items():
        assert part(source) in FLOORS, f"{source} stands on no floor"
        for target in targets:
            same_part = part(target) == part(source)
            if not same_part and FLOORS[part(target)] >= FLOORS[part(source)]:
                wrong.append(f"{source} -> {target} (floor {FLOORS[part(source)]} to {FLOORS[part(target)]})")
    assert not wrong

    # Depth-first search; a module met again while still on the path closes a circle.
    state: dict[str, str] = {}

    def visit(module: str, path: list[str]) -> None:
        state[module] = "open"
        for target in sorted(graph.get(module, ())):
            assert state.get(target) != "open", "circle: " + " -> ".join([*path, module, target])
            if target not in state:
                visit(target, [*path, module])
        state[module] = "done"

    for module in sorted(graph):
        if module not in state:
            visit(module, [])


# --- what only one part does -------------------------------------------------------------

# What opens a serial port or sets up its line: pyserial's port, the native
# readers, raw mode and the exclusive hold.
PORT_OPENERS = frozenset({"Serial", "serial_for_url", "SerialParser", "LiveSource", "Capture", "tcsetattr", "setraw",
                          "setcbreak", "TIOCEXCL"})  # fmt: skip
# A command is a module of commands/ with a NAME; the modules beside them
# (common, options, progress, source, fitted) are what they share.
COMMANDS = frozenset(module_name(f) for f in PACKAGE.glob("commands/*.py") if "\nNAME = " in f.read_text())


def name_of(node: ast.AST) -> str:
    return node.id if isinstance(node, ast.Name) else node.attr if isinstance(node, ast.Attribute) else ""


def port_openings(path: Path, tree: ast.Module) -> Iterator[str]:
    for node in ast.walk(tree):
        if isinstance(node, ast.Call) and name_of(node.func) in PORT_OPENERS or name_of(node) == "TIOCEXCL":
            yield f"{module_name(path)}:{node.lineno}"


def packet_readers(path: Path, tree: ast.Module) -> Iterator[str]:
    """A port read packet by packet (the module's parser) rather than in
    batches of the live source."""
    for node in ast.walk(tree):
        if isinstance(node, ast.Call) and name_of(node.func) == "SerialParser":
            yield f"{module_name(path)}:{node.lineno}"


def unchecked_opens(path: Path, tree: ast.Module) -> Iterator[str]:
    """`os.open` of a path that may be a port, in a function that does not
    check that it opened a regular file (os.devnull aside)."""
    for function in ast.walk(tree):
        if not isinstance(function, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        checked = any(name_of(n) == "S_ISREG" for n in ast.walk(function))
        for node in ast.walk(function):
            if (isinstance(node, ast.Call) and ast.unparse(node.func) == "os.open" and not checked
                    and ast.unparse(node.args[0]) != "os.devnull"):  # fmt: skip
                yield f"{module_name(path)}:{node.lineno}"


def command_imports(path: Path, tree: ast.Module) -> Iterator[str]:
    modules = {module_name(f) for f in PACKAGE.rglob("*.py")}
    yield from (f"{module_name(path)} -> {target}" for target in imports(path, modules) & COMMANDS)


# Each rule: what breaks it, and the parts (or modules) where it is the job.
RULES: dict[str, tuple[Callable[[Path, ast.Module], Iterator[str]], tuple[str, ...]]] = {
    # sim/ is the device's end: it makes the pseudo-terminal it serves raw.
    "only live/ opens a port": (port_openings, ("live", "sim")),
    "a port is read by one reader, the live source": (packet_readers, ()),
    "a file opened by path elsewhere is a regular file": (unchecked_opens, ("live",)),
    "only the command line imports a command": (command_imports, ("cli",)),
}


@pytest.mark.parametrize("rule", RULES)
def test_a_job_done_in_one_part_only(rule: str) -> None:
    breaks, allowed = RULES[rule]
    found = []
    for path in sorted(PACKAGE.rglob("*.py")):
        if part(module_name(path)) not in allowed:
            found += breaks(path, ast.parse(path.read_text()))
    assert not found, rule


# The native folders' floors, from the ground up. A folder includes only its
# own headers and those of folders on lower floors; only the modules' folders
# (BINDINGS) speak to the interpreter.
NATIVE_FLOORS: dict[str, int] = {
    "common": 0,
    "protocol": 1, "serial": 1, "timing": 1,
    "parser": 2, "columns": 2,
    "live": 3, "text": 3,
    "lib": 4,
    "columns_module": 5,
}  # fmt: skip
BINDINGS = {"lib", "columns_module"}
SRC = Path(__file__).resolve().parents[2] / "src"


@pytest.mark.parametrize("folder", sorted(p.name for p in SRC.iterdir() if p.is_dir()))
def test_native_folder_includes_only_downwards(folder: str) -> None:
    assert folder in NATIVE_FLOORS, f"src/{folder} stands on no floor"
    wrong = []
    for path in sorted((SRC / folder).iterdir()):
        for line in path.read_text().splitlines():
            if line.startswith("#include <Python.h>") and folder not in BINDINGS:
                wrong.append(f"{path.name}: Python.h")
            elif match := re.match(r'#include "([a-z_]+)/', line):
                target = match[1]
                if target != folder and NATIVE_FLOORS.get(target, 99) >= NATIVE_FLOORS[folder]:
                    wrong.append(f"{path.name}: {target}")
    assert not wrong
