"""The state file of a lake kept by zentrail.sync, of rows (``sync``) or of
aligned grids (``grid_lake``): its name, what a run keeps checked against
it, and its writing. Each kind of lake refuses the other's folder, so both
names are here."""

from __future__ import annotations

import hashlib
import json
import os

from zentrail._base import atomic as _atomic

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Tuple

ROWS_STATE_NAME = "_zentrail_sync.json"
GRID_STATE_NAME = "_zentrail_grid.json"


class RunCancelled(Exception):
    """Another file of the run failed, or Ctrl-C: a worker stops."""


class LakeMismatchError(ValueError):
    """The lake was kept for another archive or selection."""


def codes_text(codes: Any) -> Optional[str]:
    """The codes as the state names them: their count and a hash (a range of
    every id holds 67 million), or None for every code."""
    if codes is None:
        return None
    return f"{len(codes)} codes, {hashlib.blake2b(codes.tobytes(), digest_size=8).hexdigest()}"


def load_state(lake: str, name: str, selection: Dict[str, Any], fresh: Dict[str, Any], foreign: Tuple[str, str],
               shown: Callable[[str, Any], str] = lambda key, value: repr(value)) -> Dict[str, Any]:
    """The state file `name` of `lake` (of rows or of grids), checked
    against `selection`, what this run keeps; `fresh` for a lake not yet
    kept. `foreign`: the other kind's state file, and what to say where it
    is found. `shown`: a setting as messages show it."""
    path = os.path.join(lake, name)
    if os.path.exists(os.path.join(lake, foreign[0])):
        raise LakeMismatchError(f"{lake} {foreign[1]}")
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
    except FileNotFoundError:
        if any(entry.startswith("day=") for entry in os.listdir(lake)):
            raise LakeMismatchError(f"{lake} holds day folders but no {name}: not a lake that zentrail sync keeps; "
                                    "give an empty or new folder") from None
        return fresh
    except ValueError as error:
        raise LakeMismatchError(f"{path}: not a state file zentrail sync can read ({error})") from None
    if state.get("version") != fresh["version"]:
        raise LakeMismatchError(f"{path}: state version {state.get('version')!r}, this zentrail keeps "
                                f"version {fresh['version']}")
    for key, value in selection.items():
        if state.get(key) != value:
            raise LakeMismatchError(f"{lake} was kept with {key} = {shown(key, state.get(key))}, not "
                                    f"{shown(key, value)}; sync into a new folder to change it")
    return state


def save_state(lake: str, name: str, state: Dict[str, Any]) -> None:
    """Writes a lake's state beside its file and renames it into place."""
    with _atomic.replacing(os.path.join(lake, name)) as temporary:
        with open(temporary, "w", encoding="utf-8") as f:
            json.dump(state, f, separators=(",", ":"))
