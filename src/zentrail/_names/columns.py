"""The names of a grid's columns, built and parsed here alone.

A code's own name, ``"<signal_id>:<element>"``, is the engine's (its Arrow
stream names the columns so, with no Python at hand): ``code_name`` asks the
engine for it and ``code_of`` parses it back. With a catalog, a column is
named by its entry instead: the entry's name, or ``"<name>[<element>]"``
for one element of a whole-signal entry whose signal has several columns.

Names are unique: a name the catalog gives to more than one column, or that
another column already bears (a code's own name, ``time``), gets its code
appended, ``"<name> (<signal_id>:<element>)"``, on every column it was given
to; a code's own name is never changed. So no column is lost to another of
the same name, and every column keeps its code in sight."""

from __future__ import annotations

from zentrail import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, List, Sequence

TIME_COLUMN = "time"
LAST_ID = 65535
_ELEMENTS = 1024


def code_name(code: int) -> str:
    """A code's own column name, "<signal_id>:<element>", as the engine names it."""
    return _core.code_column_name(int(code))


def code_of(name: str) -> int:
    """The code of a code's own column name "<signal_id>:<element>";
    ValueError for any other name."""
    ident, colon, element = name.partition(":")
    if colon and ident.isdigit() and element.isdigit() and ident.isascii() and element.isascii():
        code = int(ident) * _ELEMENTS + int(element)
        if int(ident) <= LAST_ID and int(element) < _ELEMENTS and code_name(code) == name:
            return code
    raise ValueError(f"{name!r} is no column name of a code (<signal_id>:<element>)")


def element_name(name: str, element: int) -> str:
    """The name of one element of a named whole signal: "<name>[<element>]"."""
    return f"{name}[{element}]"


def column_names(catalog: Any, codes: Sequence[int]) -> List[str]:
    """The unique name of each code's column (codes distinct): see the
    module's text. `catalog`: a Catalog, or None (every column by its code)."""
    import collections

    per_id = collections.Counter(code // _ELEMENTS for code in codes)
    names: List[str] = []
    named = []  # which names came from the catalog (a code's own name is unique already)
    for code in codes:
        entry = None if catalog is None else catalog.entry(code)
        if entry is None:
            names.append(code_name(code))
        elif entry.element is None and per_id[code // _ELEMENTS] > 1:
            names.append(element_name(entry.name, code % _ELEMENTS))
        else:
            names.append(entry.name)
        named.append(entry is not None)
    # Each round appends the code to the catalog's names that clash; one so
    # lengthened may clash with a name of the catalog, which the next round
    # lengthens (two lengthened ones never clash: their codes differ).
    while True:
        bearers = collections.Counter(names)
        bearers[TIME_COLUMN] += 1
        clashing = [k for k, name in enumerate(names) if named[k] and bearers[name] > 1]
        if not clashing:
            return names
        for k in clashing:
            names[k] = f"{names[k]} ({code_name(codes[k])})"
            named[k] = False

