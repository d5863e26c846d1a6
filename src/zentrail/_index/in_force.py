"""The rows in force at a series' start, from the index: each file's last
value row of every code, kept once read, stands in for the pass over the
record heads of the files a grid or a weighted overview looks back into.

A file stands in when every value row it holds lies at or before the
series' start, and so does every file before it in read order (the read
takes the rest, whose rows at one instant come later and win, as in a read
of all of them). What it stands for: per code, its last value row, if that
lies within the look back; a file's earlier rows are never the one in
force. A plan with conditions on its rows (classes, elements, ids) reads as
without an index.

At the other end, the files whose records all lie after the start (and
within the rows considered) hold no row in force there: the index's spans
of them tell the core where their rows begin, and it reads no heads of
them (a run at the end of the read order, see SeriesRequest.spans).
"""

from __future__ import annotations

from zentrail import _core
from zentrail._index import UNKEPT, inventory as _inventory, part_of, store_of
from zentrail._read.request import report_clock

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional

    from zentrail._read.plan import ReadPlan
    from zentrail._read.request import Request

SECTION = "in_force"
VERSION = 1
# After every instant a row can have: the last value row of a whole file.
_AFTER_EVERY_ROW = (1 << 63) - 1


class InForce:
    """Rows in force as the core takes them, by name: ``codes`` (ascending
    int32), each one's row ``times`` (int64 ns) and ``values`` (float64)."""

    __slots__ = ("codes", "times", "values")

    def __init__(self, codes: Any, times: Any, values: Any) -> None:
        self.codes = codes
        self.times = times
        self.values = values


class FileSpans:
    """Files' first and last record instants as the core takes them, by
    name: ``paths`` (bytes, as the read names them), ``first`` and ``last``
    (int64 ns)."""

    __slots__ = ("paths", "first", "last")

    def __init__(self, paths: List[bytes], first: Any, last: Any) -> None:
        self.paths = paths
        self.first = first
        self.last = last


def last_rows(plan: ReadPlan) -> Dict[str, Any]:
    """A file's part: every code's last value row in the plan's files."""
    import numpy

    request = plan.request()
    raw = _core.in_force(request, _AFTER_EVERY_ROW)
    # A guess of the clock is told, and a part whose making warned is not
    # kept: the reads that would have taken it read the file and tell it.
    report_clock(request)
    return {"code": numpy.frombuffer(raw["code"], dtype=numpy.int32),
            "time": numpy.frombuffer(raw["time"], dtype=numpy.int64),
            "value": numpy.frombuffer(raw["value"], dtype=numpy.float64)}


def _plain(plan: ReadPlan) -> bool:
    """Whether the plan reads its codes' rows with no condition on them."""
    pushed = plan.pushdown
    defaults = type(pushed)()
    return (pushed.classes == defaults.classes and pushed.subtypes == defaults.subtypes and pushed.elements is None
            and pushed.ids is None and pushed.limit is None and not pushed.later)


def _spans(plan: ReadPlan, files: List[str], start: int, store: Any) -> Any:
    """The spans (first and last record instants) of the run of `files` at
    the end of the read order whose records all lie after `start`, as the
    index keeps them beside their counts (made by `zentrail index` or
    inventory()): the core reads no heads of those files. None for none."""
    import numpy
    import os

    names: List[bytes] = []
    firsts: List[int] = []
    lasts: List[int] = []
    for name in reversed(files):
        part = part_of(plan, name, _inventory.SPAN_SECTION, _no_part, _inventory.SPAN_VERSION, store,
                       fallback=False, build=False)
        if part is None or len(part["first"]) != 1 or int(part["first"][0]) <= start:
            break
        names.append(os.fsencode(name))
        firsts.append(int(part["first"][0]))
        lasts.append(int(part["last"][0]))
    if not names:
        return None
    return FileSpans(names, numpy.array(firsts, dtype=numpy.int64), numpy.array(lasts, dtype=numpy.int64))


def _no_part(plan: ReadPlan) -> None:
    """(A series makes no span part: one costs a read of the whole file.)"""
    return None


def series_request(plan: ReadPlan, first: Optional[int], start: int, index: Any = None, build: bool = False,
                   **request: Any) -> Request:
    """The request of a series over `plan` (its window widened to the rows
    considered, from `first`, None for no limit) whose values in force at
    `start` the index gives for the files it can stand in for: those files
    left out, their rows in force given instead; `build`: parts missing are
    made (and kept) on the way. `request`: as for ReadPlan.request."""
    import numpy

    store = store_of(plan, index)
    if store is None or not _plain(plan):
        return plan.request(**request)
    files = plan.files()
    taken: List[Any] = []
    # Files stand in from the first on, while their rows all lie before the
    # start and their parts are kept (made by `zentrail index`, latest() or
    # at(): a part costs a decoding of its whole file, more than a series'
    # own look back, so a series makes none).
    for name in files:
        part = part_of(plan, name, SECTION, last_rows, VERSION, store, fallback=False, build=build)
        if part is None or UNKEPT in part or (len(part["time"]) and int(part["time"].max()) > start):
            break
        taken.append(part)
    rest = plan.with_files(files[len(taken):]) if taken else plan
    made = rest.request(**request)
    made.spans = _spans(plan, files[len(taken):], start, store)
    if not taken:
        return made
    codes = numpy.concatenate([part["code"] for part in taken])
    times = numpy.concatenate([part["time"] for part in taken])
    values = numpy.concatenate([part["value"] for part in taken])
    order_in_read = numpy.repeat(numpy.arange(len(taken)), [len(part["code"]) for part in taken])
    keep = numpy.ones(len(codes), dtype=bool) if first is None else times >= first
    if plan.codes is not None:
        keep &= numpy.isin(codes, plan.codes)
    codes, times, values, order_in_read = codes[keep], times[keep], values[keep], order_in_read[keep]
    # Per code the latest row; at one instant the later file's.
    order = numpy.lexsort((order_in_read, times, codes))
    last = numpy.r_[codes[order][1:] != codes[order][:-1], True] if len(order) else numpy.empty(0, dtype=bool)
    chosen = order[last]
    made.in_force = InForce(numpy.ascontiguousarray(codes[chosen], dtype=numpy.int32),
                            numpy.ascontiguousarray(times[chosen], dtype=numpy.int64),
                            numpy.ascontiguousarray(values[chosen], dtype=numpy.float64))
    return made

