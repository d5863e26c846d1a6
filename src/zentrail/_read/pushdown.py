"""What a consumer asks a scan's read to do for it: the columns it wants, the
rows it keeps (by signal id, class, subtype and element, and a window on
their times), and how many rows at most.

The engine applies all of it while decoding: only the asked columns are
copied and exported, rows that fail are never appended, and a limit stops
the workers once it is reached. Conditions given after a limit are a later
stage: they apply to the rows that limit lets through, counted in read order.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, FrozenSet, Iterable, Optional, Tuple

from zentrail._base import time as _time
from zentrail import _core

COLUMN_NAMES: Tuple[str, ...] = tuple(name for name, _ in _core.COLUMNS)
# Selectable beside them: made from item_class and subtype (see Scan.select).
NAME_COLUMNS: Tuple[str, ...] = tuple(_core.NAME_COLUMNS)
ALL_CLASSES = (1 << 32) - 1
ALL_SUBTYPES = (1 << 8) - 1
ELEMENT_COUNT = 1024
ID_COUNT = 1 << 16


class Pushdown:
    """Immutable; each narrowing makes a new one. A stage's conditions are
    its classes, subtypes, elements, ids and window; ``later`` holds the
    stages given after its limit, each a Pushdown of its own (whose columns
    count for nothing)."""

    __slots__ = ("columns", "classes", "subtypes", "elements", "limit", "row_start", "row_end", "ids", "later")

    def __init__(self, columns: Tuple[str, ...] = COLUMN_NAMES, classes: int = ALL_CLASSES,
                 subtypes: int = ALL_SUBTYPES, elements: Optional[FrozenSet[int]] = None,
                 limit: Optional[int] = None, row_start: Optional[_time.BoundTuple] = None,
                 row_end: Optional[_time.BoundTuple] = None, ids: Optional[bytes] = None,
                 later: Tuple["Pushdown", ...] = ()) -> None:
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
        # The signal ids kept, as ID_COUNT bits (bit n of byte n // 8), or
        # None for every id: "every id but 5" costs 8 KiB, not a code per
        # element of every id.
        self.ids = ids
        self.later = later

    def narrowed(self, ids: Optional[FrozenSet[int]] = None, elements: Optional[FrozenSet[int]] = None,
                 classes: Optional[FrozenSet[int]] = None, subtypes: Optional[FrozenSet[int]] = None,
                 start: Optional[_time.BoundTuple] = None, end: Optional[_time.BoundTuple] = None) -> "Pushdown":
        """These conditions added where the chain ends: to this stage while
        it has no limit, otherwise to the stage after its limit (the last
        one, or a new one once that has a limit too)."""
        if self.limit is None:
            return self._with_conditions(ids, elements, classes, subtypes, start, end)
        last = self.later[-1] if self.later and self.later[-1].limit is None else None
        stage = (last or Pushdown())._with_conditions(ids, elements, classes, subtypes, start, end)
        return self.replace(later=(self.later[:-1] if last is not None else self.later) + (stage,))

    def limited(self, n: int) -> "Pushdown":
        """At most `n` rows where the chain ends."""
        if self.later:
            last = self.later[-1]
            return self.replace(later=self.later[:-1] + (last.replace(limit=n if last.limit is None else
                                                                      min(last.limit, n)),))
        return self.replace(limit=n if self.limit is None else min(self.limit, n))

    def _with_conditions(self, ids: Optional[FrozenSet[int]], elements: Optional[FrozenSet[int]],
                         classes: Optional[FrozenSet[int]], subtypes: Optional[FrozenSet[int]],
                         start: Optional[_time.BoundTuple], end: Optional[_time.BoundTuple]) -> "Pushdown":
        changes: Dict[str, Any] = {}
        if ids is not None:
            bits = id_bits(ids)
            changes["ids"] = bits if self.ids is None else \
                (int.from_bytes(bits, "little") & int.from_bytes(self.ids, "little")).to_bytes(ID_COUNT // 8, "little")
        if elements is not None:
            changes["elements"] = elements if self.elements is None else elements & self.elements
        if classes is not None:
            changes["classes"] = self.classes & mask_of(classes)
        if subtypes is not None:
            changes["subtypes"] = self.subtypes & mask_of(subtypes)
        if start is not None and (self.row_start is None or _time.first_ns(start) > _time.first_ns(self.row_start)):
            changes["row_start"] = start
        if end is not None and (self.row_end is None or _time.last_ns(end) < _time.last_ns(self.row_end)):
            changes["row_end"] = end
        return self.replace(**changes)

    def narrows_rows(self) -> bool:
        """Whether any condition of any stage (not the codes) narrows the rows."""
        return not (self.classes == ALL_CLASSES and self.subtypes == ALL_SUBTYPES and self.elements is None
                    and self.row_start is None and self.row_end is None and self.ids is None and not self.later)

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
        # The fields a shorter state (an older pickle) lacks keep their defaults.
        self.ids = None
        self.later = ()
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


def id_bits(ids: FrozenSet[int]) -> bytes:
    """Signal ids (0 .. 65535) as ID_COUNT bits, bit n of byte n // 8."""
    import numpy

    kept = numpy.zeros(ID_COUNT, dtype=bool)
    kept[numpy.fromiter(ids, dtype=numpy.int64, count=len(ids))] = True
    return numpy.packbits(kept, bitorder="little").tobytes()


def mask_of(values: FrozenSet[int]) -> int:
    mask = 0
    for value in values:
        mask |= 1 << value
    return mask
