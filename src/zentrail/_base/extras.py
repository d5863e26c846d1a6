"""Optional packages, imported when a feature needs them, and the one way of
saying which extra installs them."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType


def install_hint(extra: str) -> str:
    """The command that installs the extra `extra` (one of pyproject.toml's)."""
    return f'pip install "zentrail[{extra}]"'


def import_extra(module: str, purpose: str, extra: str) -> ModuleType:
    """`module`, or an ImportError naming the extra that installs it when it
    (or the package it belongs to) is not installed. Any other failure while
    importing it (a broken install, Ctrl-C) propagates as it is."""
    import importlib

    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        if error.name is None or not (module == error.name or module.startswith(error.name + ".")):
            raise
        raise ImportError(f"{purpose} needs {module}, which is not installed: {install_hint(extra)}") from error
