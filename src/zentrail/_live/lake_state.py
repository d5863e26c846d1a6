"""The state file a lake kept in step keeps beside its parts (a lake of rows,
zentrail._live.sync; of aligned grids, zentrail._live.grid_lake): read whole
and checked against the shape its kind writes before anything is done with
it, so that a damaged one stops a run naming it rather than deep inside;
written beside its place and renamed into it. And where a lake may lie:
never inside the archive it is kept from.

The state files' names are the core's: the archive's discovery passes over a
folder that holds one, since a lake's parts carry the names of the archive
files they came from in theirs."""

from __future__ import annotations

import hashlib
import json
import os

from zentrail import _core
from zentrail._base import atomic as _atomic

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Tuple

ROWS_STATE_NAME, GRID_STATE_NAME = _core.LAKE_STATE_NAMES
STATE_VERSION = 1


class RunCancelled(Exception):
    """Another file of the run failed, or Ctrl-C: a worker stops."""


class LakeMismatchError(ValueError):
    """The lake was kept for another archive or selection, or lies where it
    cannot be kept: inside the archive."""


class LakeConflictError(OSError):
    """Another run committed to a Delta lake since this one read it: this
    run committed nothing."""


class LakeStateError(ValueError):
    """A lake's state file is damaged: not JSON, or not of the shape that
    zentrail sync writes."""


# -- shapes --------------------------------------------------------------------
# A shape checks a value read from JSON and raises _Wrong saying where in it
# (a path such as files["a.vlx"].segments[0].end[2]) and what belongs there.


class _Wrong(Exception):
    """Where in a state a value is not of its shape, and what belongs there."""


def _wrong(where: str, value: Any, wanted: str) -> _Wrong:
    return _Wrong(f"{where or 'the state'} is {_shown(value)}, not {wanted}")


def _shown(value: Any) -> str:
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


class Is:
    """A value of one kind, where `test` holds."""

    def __init__(self, wanted: str, test: Callable[[Any], bool]) -> None:
        self.wanted = wanted
        self.test = test

    def check(self, value: Any, where: str) -> None:
        if not self.test(value):
            raise _wrong(where, value, self.wanted)


def _whole(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


class Maybe:
    """null, or a value of `shape`."""

    def __init__(self, shape: Any) -> None:
        self.shape = shape

    def check(self, value: Any, where: str) -> None:
        if value is not None:
            self.shape.check(value, where)


class ListOf:
    """A list of values of `shape`, of `length` values when given."""

    def __init__(self, shape: Any, length: Optional[int] = None) -> None:
        self.shape = shape
        self.length = length

    def check(self, value: Any, where: str) -> None:
        if not isinstance(value, list) or (self.length is not None and len(value) != self.length):
            raise _wrong(where, value, "a list" if self.length is None else f"a list of {self.length}")
        for n, item in enumerate(value):
            self.shape.check(item, f"{where}[{n}]")


class _Fold:
    """Where a file stands in a repeated hour, as the core keeps it."""

    def check(self, value: Any, where: str) -> None:
        wanted = "a fold: [change, second, seen_back, latest, pending]"
        if not isinstance(value, list) or len(value) != 5:
            raise _wrong(where, value, wanted)
        change, second, seen_back, latest, pending = value
        if not (_whole(change) and -1 <= change < 2 ** 31 and isinstance(second, bool) and isinstance(seen_back, bool)
                and _whole(latest) and -2 ** 63 <= latest < 2 ** 63 and _whole(pending) and 0 <= pending < 2 ** 63):
            raise _wrong(where, value, wanted)


FOLD = _Fold()


class Places:
    """A place in a file as a list: offset, day, id, then `more` (the flag
    of an end byte), and in a lake read in a zone where the file stands in
    a repeated hour ([change, second, seen_back, latest, pending]) when it
    stands in one."""

    def __init__(self, *more: Any) -> None:
        self.items = (NATURAL, MARK, MARK) + more

    def check(self, value: Any, where: str) -> None:
        if not isinstance(value, list) or len(value) not in (len(self.items), len(self.items) + 1):
            raise _wrong(where, value, f"a place: a list of {len(self.items)}")
        for n, (shape, item) in enumerate(zip(self.items + (FOLD,), value)):
            shape.check(item, f"{where}[{n}]")


class TextKeyed:
    """An object of any keys, each holding a value of `shape`."""

    def __init__(self, shape: Any) -> None:
        self.shape = shape

    def check(self, value: Any, where: str) -> None:
        if not isinstance(value, dict):
            raise _wrong(where, value, "an object")
        for key, item in value.items():
            self.shape.check(item, f"{where}[{json.dumps(key)}]")


class Record:
    """An object with (at least) these fields, each of its shape."""

    def __init__(self, **fields: Any) -> None:
        self.fields = fields

    def check(self, value: Any, where: str) -> None:
        if not isinstance(value, dict):
            raise _wrong(where, value, "an object")
        for name, shape in self.fields.items():
            inner = f"{where}.{name}" if where else name
            if name not in value:
                raise _Wrong(f"{where or 'the state'} has no {name}")
            shape.check(value[name], inner)


class Also:
    """A value of `shape` of which `test` holds too (what holds between its
    parts)."""

    def __init__(self, shape: Any, wanted: str, test: Callable[[Any], bool]) -> None:
        self.shape = shape
        self.wanted = wanted
        self.test = test

    def check(self, value: Any, where: str) -> None:
        self.shape.check(value, where)
        if not self.test(value):
            raise _wrong(where, value, self.wanted)


WHOLE = Is("a whole number", _whole)
NATURAL = Is("a whole number of 0 or more", lambda v: _whole(v) and v >= 0)
POSITIVE = Is("a whole number above 0", lambda v: _whole(v) and v > 0)
MARK = Is("a whole number of 0 to 65535", lambda v: _whole(v) and 0 <= v <= 0xFFFF)
TEXT = Is("a text", lambda v: isinstance(v, str))
FLAG = Is("true or false", lambda v: isinstance(v, bool))
# What every lake keeps it was made for (the settings a run checks).
SELECTION = {"root": TEXT, "signals": Maybe(TEXT), "start": Maybe(ListOf(WHOLE, 5))}


# -- reading and writing -------------------------------------------------------

def codes_text(codes: Any) -> Optional[str]:
    """The codes as a state names them: their count and a hash (a range of
    every id holds 67 million), or None for every code."""
    if codes is None:
        return None
    return f"{len(codes)} codes, {hashlib.blake2b(codes.tobytes(), digest_size=8).hexdigest()}"


def refuse_inside(root: str, lake: str) -> None:
    """LakeMismatchError (naming both as given) when the lake, which may not
    exist yet, lies in the archive's tree as a walk of it goes (links to
    folders not entered): its parts would be written among the archive's
    files, where they are found as archive files by their names."""
    real_root, real_lake = os.path.realpath(root), os.path.realpath(lake)
    if os.path.commonpath([real_root, real_lake]) == real_root:
        raise LakeMismatchError(f"the lake {lake} lies inside the archive {root}: a lake is never written among "
                                "the archive's files; give a folder outside it")


def read_state(path: str, shape: Any) -> Any:
    """The state in the file `path`, checked against `shape` and of this
    zentrail's version: LakeStateError naming the file when it is not
    JSON or not of the shape, LakeMismatchError when of another version;
    FileNotFoundError when there is none."""
    try:
        with open(path, encoding="utf-8") as f:
            state = json.load(f)
    except FileNotFoundError:
        raise
    except (ValueError, RecursionError) as error:  # not text, not JSON, nested beyond reading
        raise LakeStateError(f"{path}: not a state file zentrail sync can read ({error}); move the lake aside and "
                             "sync into a new folder") from None
    if isinstance(state, dict) and state.get("version") != STATE_VERSION and _whole(state.get("version")):
        raise LakeMismatchError(f"{path}: state version {state['version']}, this zentrail keeps version "
                                f"{STATE_VERSION}")
    try:
        Record(version=WHOLE).check(state, "")
        shape.check(state, "")
    except _Wrong as wrong:
        raise LakeStateError(f"{path}: damaged state file: {wrong}; move the lake aside and sync into a new "
                             "folder") from None
    return state


def load_state(lake: str, name: str, shape: Any, selection: Dict[str, Any], fresh: Dict[str, Any],
               foreign: Tuple[str, str], shown: Callable[[str, Any], str] = lambda key, value: repr(value)
               ) -> Dict[str, Any]:
    """The state file `name` of `lake` (of rows or of grids), of `shape`,
    checked against `selection`, what this run keeps; `fresh` for a lake not
    yet kept. `foreign`: the other kind's state file, and what to say where
    it is found. `shown`: a setting as messages show it."""
    if os.path.exists(os.path.join(lake, foreign[0])):
        raise LakeMismatchError(f"{lake} {foreign[1]}")
    try:
        state = read_state(os.path.join(lake, name), shape)
    except FileNotFoundError:
        if any(entry.startswith("day=") for entry in os.listdir(lake)):
            raise LakeMismatchError(f"{lake} holds day folders but no {name}: not a lake that zentrail sync keeps; "
                                    "give an empty or new folder") from None
        return fresh
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
