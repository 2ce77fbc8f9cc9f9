"""Optional dependencies: imported when a tool needs them, with one clear
line naming what to install when they are missing."""

from __future__ import annotations

import importlib
from types import ModuleType

from .acquire import ToolError


def require(module: str, purpose: str, extra: str, debian: str, *, package: str | None = None) -> ModuleType:
    """The module `module`, or a ToolError such as "plotting needs matplotlib,
    which is not installed (Debian: python3-matplotlib; pip: brimlet[plot])".
    `extra` is the name of the optional extra in pyproject.toml, `package`
    the distribution that provides the module where its name differs."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        package = package or module.split(".")[0]
        raise ToolError(
            f"{purpose} needs {package}, which is not installed (Debian: {debian}; pip: brimlet[{extra}])"
        ) from e
