"""The tools' layering: each part of brimlet_tools stands on a floor and
imports only from floors below it or from its own part, no import runs in a
circle, and no command imports another command."""

from __future__ import annotations

import ast
from pathlib import Path

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
    commands = {module_name(f) for f in files if "commands" in f.parts and "\nNAME = " in f.read_text()}

    wrong = []
    for source, targets in graph.items():
        assert part(source) in FLOORS, f"{source} stands on no floor"
        for target in targets:
            same_part = part(target) == part(source)
            if not same_part and FLOORS[part(target)] >= FLOORS[part(source)]:
                wrong.append(f"{source} -> {target} (floor {FLOORS[part(source)]} to {FLOORS[part(target)]})")
            if source in commands and target in commands:
                wrong.append(f"command {source} -> command {target}")
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
