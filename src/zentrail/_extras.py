"""Optional packages, imported when a feature needs them."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import ModuleType


def import_extra(module: str, purpose: str, extra: str) -> ModuleType:
    """`module`, or an ImportError naming the extra that installs it when it
    is not installed. Any other failure while importing it (a broken install,
    Ctrl-C) propagates as it is."""
    import importlib

    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as error:
        if error.name != module:
            raise
        raise ImportError(f"{purpose} needs {module}, which is not installed: "
                          f"pip install \"zentrail[{extra}]\"") from error
