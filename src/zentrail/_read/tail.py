"""Reading the tail of a growing archive file: the rows it gained since a
read of it stopped at a place between two records (a ResumePoint), step by
step through the last whole record the file holds now. Every live reader
(a follower, a lake of rows or of grids kept in step) reads its files so,
through ReadPlan.tail, the plan giving the codes, conditions and columns.

A step reads at most STEP_BYTES more of the file: its rows (one batch)
stay bounded however far behind a reader starts, and Ctrl-C is felt between
steps (and within one, by the core's run loop)."""

from __future__ import annotations

import dataclasses
import os

from zentrail import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple


# About a million rows of a plant's archive: a batch a follower hands on, or
# a row group of a lake's part, of some tens of MB in memory.
STEP_BYTES = 16 << 20
# A window on the rows that holds none (its start after its end): the place
# at a file's end is found by reading its records without building rows.
NO_ROWS = ((9999, 12, 31, 0, 1), (1, 1, 1, 0, 1))


@dataclasses.dataclass(frozen=True)
class ResumePoint:
    """A place between two records of one file, where a read goes on:
    ``offset``, where the next record starts; the decoder's state there,
    ``day`` (of the last date mark before it) and ``id`` (that a system
    item at the offset would carry); and whether an end byte stands there
    (``ended``: the runtime closed the file); and, in a read with a zone,
    where the file stands in a repeated hour (``fold``: None, or the core's
    (change, second, seen_back, latest, pending)). The core reads it by these
    names, and makes the place after a step as one."""

    offset: int = 0
    day: int = 0
    id: int = 0
    ended: bool = False
    fold: Optional[Tuple[int, bool, bool, int, int]] = None

    def as_list(self) -> List[Any]:
        """[offset, day, id, ended], and the fold when there is one, as a
        lake's state keeps a place."""
        kept: List[Any] = [self.offset, self.day, self.id, self.ended]
        return kept if self.fold is None else kept + [list(self.fold)]

    @classmethod
    def from_list(cls, values: Sequence[Any]) -> "ResumePoint":
        """The place a lake's state keeps as [offset, day, id] or [offset,
        day, id, ended], either followed by the fold when there is one, as a
        read starts from it (not ended)."""
        fold = tuple(values[-1]) if len(values) > 3 and isinstance(values[-1], list) else None
        return cls(values[0], values[1], values[2], fold=fold)  # type: ignore[arg-type]

    def start_list(self) -> List[Any]:
        """[offset, day, id], and the fold when there is one: where a read
        starts, as a lake's state keeps it."""
        return [self.offset, self.day, self.id] + ([] if self.fold is None else [list(self.fold)])

    def next_file(self) -> "ResumePoint":
        """The first byte of the file after this one: the id a system item
        would carry goes on across files, as the runtime writes them."""
        return ResumePoint(id=self.id)


@dataclasses.dataclass(frozen=True)
class TailStep:
    """One step of a tail read: its rows (a dict of NumPy arrays, the
    plan's columns; empty when none) and the place after them."""

    rows: Dict[str, Any]
    after: ResumePoint


def steps(plan: Any, path: str, at: ResumePoint, rows: bool = True, until: Optional[int] = None) -> Iterator[TailStep]:
    """The rows of the file `path` that `plan` selects, from `at` through
    the last whole record there now (`plan`: a ReadPlan), a step at a time, each read when asked
    for: the last step is the one that moved no further, or reached an end
    byte. Without `rows`, none are built: the steps find the places alone.
    `until`: no record past the file's first `until` bytes is read (a read
    that ends at a place found before, as a file grows)."""
    if not rows:
        plan = plan.with_codes(None).within(*NO_ROWS)
    request = plan.replace(source=[os.fsencode(path)], listed=True, threads=1).request()
    while True:
        found, after = _core.tail_read(request, at, STEP_BYTES, -1 if until is None else until)
        yield TailStep(found, after)
        if after == at or after.ended or (until is not None and after.offset >= until):
            return
        at = after
