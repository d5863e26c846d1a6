"""What a time series read asks of the engine: the scan's window (narrowed by
where()), the widened window of the rows considered, the grid or buckets,
and the request of the scan over that widened window."""

from __future__ import annotations

from zentrail._base import time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Optional, Tuple

DEFAULT_LOOKBACK = "7d"
# No limit on the instants of the rows considered, as the engine takes it.
NO_FIRST = -(1 << 63)
NO_LAST = (1 << 63) - 1


def durations(max_gap: Any, lookback: Any) -> Tuple[Optional[int], Optional[int]]:
    """max_gap and lookback as ns (None: no limit), or ValueError naming them."""
    gap = None if max_gap is None else _time.duration_ns(max_gap, "max_gap")
    back = None if lookback is None else _time.duration_ns(lookback, "lookback")
    return gap, back


def window(scan: Any) -> Tuple[int, int]:
    """The scan's window (S, E) in ns since 1970-01-01: its bounds, narrowed
    by where(start=, end=); ValueError when the narrowing leaves no time, and
    when the scan has a row limit (a row limit has no meaning on a grid)."""
    pushed = scan._pushdown
    if pushed.limit is not None:
        raise ValueError(f"the scan has a row limit ({pushed.limit}): a row limit has no meaning on a grid or a "
                         f"time-weighted sum; drop .limit()")
    start = _time.first_ns(scan._start)
    end = _time.last_ns(scan._end)
    if pushed.row_start is not None:
        start = max(start, _time.first_ns(pushed.row_start))
    if pushed.row_end is not None:
        end = min(end, _time.last_ns(pushed.row_end))
    if end < start:
        raise ValueError(f"where() leaves the scan's window no time: from {_time.instant_text(start)} "
                         f"to {_time.instant_text(end)}")
    return start, end


def widened_request(scan: Any, first: Optional[int], last: Optional[int]) -> Any:
    """The request of the scan over [first, last] (None: no bound on that
    side), with its conditions on ids, elements, classes and subtypes and no
    window on the rows: the files read are those of the widened window."""
    widened = scan._with(scan._pushdown.replace(row_start=None, row_end=None))
    widened._start = _FIRST_BOUND if first is None else _time.instant_bound(_time.clamp_ns(first))
    widened._end = _LAST_BOUND if last is None else _time.instant_bound(_time.clamp_ns(last))
    return widened._request(copied=True)


# The bounds of no limit: every file, every instant.
_FIRST_BOUND = (1, 1, 1, 0, 1)
_LAST_BOUND = (9999, 12, 31, _time.NS_PER_DAY - 1, 1)


def whole_signals_narrowed(scan: Any) -> Any:
    """The scan, its signals selected whole (all 1024 codes of an id, as
    ids= and a name for every element give them) narrowed to the elements
    the window's files hold, from their record heads: a grid has a column
    per element a signal has, not 1024."""
    import numpy

    codes = scan._codes
    kept_ids = scan._pushdown.ids
    if codes is None and kept_ids is not None and scan._pushdown.limit is None:
        # Ids kept by where() (or ids=) with no codes: the engine's grid
        # takes codes, so every element of those ids stands for them.
        kept = numpy.flatnonzero(numpy.unpackbits(numpy.frombuffer(kept_ids, dtype=numpy.uint8),
                                                  bitorder="little"))
        codes = (kept[:, None] * 1024 + numpy.arange(1024)).ravel().astype(numpy.int32)
    if codes is None or len(codes) < 1024:
        return scan
    ids, counts = numpy.unique(codes >> 10, return_counts=True)
    whole = ids[counts == 1024]
    if len(whole) == 0:
        return scan
    from zentrail import _core
    from zentrail._read import request as _request

    held = _core.inventory(_request.Request(scan._where, scan._listed, scan._start, scan._end, threads=scan._threads,
                                            errors="raise" if scan._errors == "raise" else "skip"), False)
    held_ids = numpy.frombuffer(held["signal_id"], dtype=numpy.uint16).astype(numpy.int64)
    elements = numpy.frombuffer(held["elements"], dtype=numpy.int32)
    most = numpy.zeros(65536, dtype=numpy.int64)
    numpy.maximum.at(most, held_ids, elements)
    keep = ~numpy.isin(codes >> 10, whole) | ((codes & 1023) < most[codes >> 10])
    narrowed = scan._with(scan._pushdown)
    narrowed._codes = codes[keep]
    return narrowed
