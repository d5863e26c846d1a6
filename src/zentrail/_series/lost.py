"""What a damaged archive file costs a time series read with errors="warn"
or "skip".

A damaged file (one with a malformed record, or one that cannot be opened
or read) is passed over whole, and with it the span of time its rows may
have held: the day its name carries, widened to the first and last instants
of the rows it gave before the damage. No value is carried into or across a
lost span, so that no cell shows a value the lost rows could have changed:

- a grid instant within a lost span is NaN;
- ``how="step"``: after a span, a code's values start again from its first
  row after the span (NaN until then); before it, nothing changes;
- ``how="linear"``: an instant whose rows around it have a lost span
  between them (or at either of them) is NaN;
- time-weighted sums: no value is in force within a lost span, and after it
  none until a code's first row after the span.

The grid is then read in segments between the lost spans, each looking for
its rows only within its own segment, and the segments joined. The damaged
files are found by a pass over the record heads of the files the grid
considers (the inventory's pass); a file whose damage that pass cannot see
still fails the read, naming the file.
"""

from __future__ import annotations

from zentrail import _core
from zentrail._base import discovery as _discovery, time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

    _Span = Tuple[int, int]


def damaged_files(plan: ReadPlan) -> List[Any]:
    """The damaged files among the plan's, as zentrail.Skipped (path, byte
    offset, message), in read order."""
    from zentrail._read import request as _request

    request = plan.files_only().request(errors="skip")
    _core.inventory(request, False)
    return _request.skipped_files(request)


def tell(damaged: List[Any], passed: str) -> None:
    """A UserWarning for each damaged file a series passed over: `passed`
    says what did so ("the grid passed over it, and carries")."""
    import warnings

    from zentrail._read.request import outside_the_package

    for skipped in damaged:
        place = "" if skipped.offset is None else f" at byte {skipped.offset}"
        warnings.warn(f"archive file {skipped.path!r}: {skipped.message}{place}; {passed} no value across the "
                      f"time its rows may have held", UserWarning, stacklevel=outside_the_package())


def lost_span(plan: ReadPlan, skipped: Any) -> _Span:
    """The instants (first, last) the damaged file's rows may have held."""
    import numpy

    day = _discovery.path_day(skipped.path)
    first = last = None
    if day is not None:
        first = _time.first_ns(_time.bound_tuple(day, "day"))
        last = first + _time.NS_PER_DAY - 1
    if skipped.offset is not None:
        # The rows it gave before the damage widen the span to their instants.
        times = _core.to_numpy(one_file(plan, skipped.path).request(errors="skip", columns=("time",)))["time"]
        if len(times):
            times = times.astype(numpy.int64)
            first = int(times.min()) if first is None else min(first, int(times.min()))
            last = int(times.max()) if last is None else max(last, int(times.max()))
    if first is None or last is None:
        # No day in its name and no row read: nothing bounds what it held.
        return _time.FIRST_NS, _time.LAST_NS
    return first, last


def one_file(plan: ReadPlan, path: str) -> ReadPlan:
    """The plan of every row of one of the plan's files."""
    import os

    from zentrail._elsewhere import remote as _remote

    # Every row it holds, whatever its day: no window narrows them.
    every_row = plan.files_only().widened(None, None)
    if _remote.is_place(plan.source):
        return every_row.replace(source=plan.source.without(name for name in every_row.files() if name != path))
    return every_row.replace(source=[os.fsencode(path)], listed=True)


def without(plan: ReadPlan, paths: List[str]) -> ReadPlan:
    """The plan without these of its files."""
    import os

    from zentrail._elsewhere import remote as _remote

    if _remote.is_place(plan.source):
        return plan.replace(source=plan.source.without(paths))
    left = set(paths)
    return plan.replace(source=[os.fsencode(name) for name in plan.files() if name not in left], listed=True)


def merged(spans: List[_Span]) -> List[_Span]:
    """The spans joined where they overlap or touch, in time order."""
    out: List[_Span] = []
    for first, last in sorted(spans):
        if out and first <= out[-1][1] + 1:
            out[-1] = (out[-1][0], max(out[-1][1], last))
        else:
            out.append((first, last))
    return out


def segments(start: int, end: int, spans: List[_Span]) -> List[Tuple[int, int, Optional[int], Optional[int]]]:
    """The window [start, end] cut by the (merged) lost spans: per segment
    (first instant, last instant, first row instant it may use or None for
    the grid's own look back, last row instant or None for its own look
    ahead). Instants within a span belong to no segment."""
    out: List[Tuple[int, int, Optional[int], Optional[int]]] = []
    at = start
    floor: Optional[int] = None
    ceiling: Optional[int] = None
    for first, last in spans:
        if last < at:
            floor = last + 1
            continue
        if first > end:
            ceiling = first - 1  # a linear grid's last instants look no further
            break
        if first > at:
            out.append((at, first - 1, floor, first - 1))
        at = last + 1
        floor = last + 1
        if at > end:
            return out
    out.append((at, end, floor, ceiling))
    return out
