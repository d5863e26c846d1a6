"""What a consumer asks a scan's read to do for it: the columns it wants, the
rows it keeps (by class, subtype and element; ids and time narrow the codes
and the window instead), and how many rows at most.

The engine applies all of it while decoding: only the asked columns are
copied and exported, rows that fail are never appended, and a limit stops
the workers once it is reached.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, FrozenSet, Iterable, Optional, Tuple

from . import _time, _core

COLUMN_NAMES: Tuple[str, ...] = tuple(name for name, _ in _core.COLUMNS)
# Selectable beside them: made from item_class and subtype (see Scan.select).
NAME_COLUMNS: Tuple[str, ...] = tuple(_core.NAME_COLUMNS)
ALL_CLASSES = (1 << 32) - 1
ALL_SUBTYPES = (1 << 8) - 1
ELEMENT_COUNT = 1024


class Pushdown:
    """Immutable; each narrowing makes a new one."""

    __slots__ = ("columns", "classes", "subtypes", "elements", "limit", "row_start", "row_end")

    def __init__(self, columns: Tuple[str, ...] = COLUMN_NAMES, classes: int = ALL_CLASSES,
                 subtypes: int = ALL_SUBTYPES, elements: Optional[FrozenSet[int]] = None,
                 limit: Optional[int] = None, row_start: Optional[_time._BoundTuple] = None,
                 row_end: Optional[_time._BoundTuple] = None) -> None:
        self.columns = columns
        self.classes = classes
        self.subtypes = subtypes
        self.elements = elements
        self.limit = limit
        # A window on the rows' times, within the scan's own bounds: the
        # files read stay those of the bounds, since a file may hold rows of
        # other days than its name's.
        self.row_start = row_start
        self.row_end = row_end

    def replace(self, **changes: Any) -> "Pushdown":
        values = {name: getattr(self, name) for name in self.__slots__}
        values.update(changes)
        return Pushdown(**values)

    def element_bits(self) -> Optional[bytes]:
        """The elements kept as 128 bytes (bit n of byte n // 8), or None for all."""
        if self.elements is None:
            return None
        bits = bytearray(ELEMENT_COUNT // 8)
        for n in self.elements:
            bits[n // 8] |= 1 << (n % 8)
        return bytes(bits)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Pushdown) and all(getattr(self, n) == getattr(other, n) for n in self.__slots__)

    def __hash__(self) -> int:
        return hash(tuple(getattr(self, n) for n in self.__slots__))

    def __getstate__(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        for name, value in zip(self.__slots__, state):
            setattr(self, name, value)


def column_places(columns: Iterable[str]) -> Tuple[int, ...]:
    every = COLUMN_NAMES + NAME_COLUMNS
    return tuple(every.index(name) for name in columns)


def code_columns(columns: Tuple[str, ...]) -> Optional[Tuple[str, ...]]:
    """The columns a NumPy consumer reads for `columns` when they hold a
    name column: the others, and the codes the names are made of; None
    when they hold none."""
    if not any(name in NAME_COLUMNS for name in columns):
        return None
    needed = [name for name in columns if name not in NAME_COLUMNS]
    for name in ("item_class", "subtype") if "subtype_name" in columns else ("item_class",):
        if name not in needed:
            needed.append(name)
    return tuple(needed)


def checked_columns(columns: Iterable[Any], have: Tuple[str, ...]) -> Tuple[str, ...]:
    chosen = []
    for name in columns:
        if not isinstance(name, str):
            raise TypeError(f"a column is named by a str, not {type(name).__name__}")
        if name not in have:
            raise ValueError(f"no column {name!r} to select; the scan has {', '.join(have)}")
        if name in chosen:
            raise ValueError(f"column {name!r} selected twice")
        chosen.append(name)
    return tuple(chosen)


def small_ints(values: Iterable[Any], name: str, limit: int) -> FrozenSet[int]:
    """The values as ints in 0 .. limit - 1 (others can match no row and are dropped)."""
    import numbers

    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be an iterable of ints, not {type(values).__name__}")
    out = set()
    for value in values:
        if isinstance(value, bool) or not isinstance(value, numbers.Integral):
            raise TypeError(f"{name} must hold ints, not {type(value).__name__}")
        if 0 <= int(value) < limit:
            out.add(int(value))
    return frozenset(out)


def mask_of(values: FrozenSet[int]) -> int:
    mask = 0
    for value in values:
        mask |= 1 << value
    return mask
