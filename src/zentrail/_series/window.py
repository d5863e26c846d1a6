"""What a time series read asks of the engine: the scan's window (narrowed by
where()), the widened window of the rows considered, the grid or buckets,
and the request of the scan over that widened window."""

from __future__ import annotations

from zentrail._base import time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

DEFAULT_LOOKBACK = "7d"
# The instants a datetime64[ns] holds (its smallest int64 is NaT): a grid's
# and a bucket's instants, and the rows', lie within them.
FIRST_INSTANT_NS = -(1 << 63) + 1
LAST_INSTANT_NS = (1 << 63) - 1


class SeriesGrid:
    """The grid of an aligned read as the core reads it, by name: instants
    ``start + k * every`` up to ``end``, every column stepped or
    interpolated (``linear``), or of both kinds (``linear_codes``: an int32
    array of the codes interpolated, the others stepped; None unless so), a
    value carried at most ``max_gap`` after its row, from the rows between
    ``first`` and ``last``; all in ns since 1970-01-01, None for no limit.
    ``times``: the grid's instants listed (an ascending int64 array within
    [start, end]) when they are not ``start + k * every``: days of a zone,
    whose lengths vary, or instants asked for one by one; else None.
    ``row_times``: the engine also gives, per cell, the instants of the row
    its value came from and of the row after it (see zentrail._series.at)."""

    __slots__ = ("start", "end", "every", "linear", "linear_codes", "max_gap", "first", "last", "times", "row_times")

    def __init__(self, start: int, end: int, every: int, linear: bool, max_gap: Optional[int],
                 first: Optional[int], last: Optional[int], linear_codes: Any = None, times: Any = None,
                 row_times: bool = False) -> None:
        self.times = times
        self.row_times = row_times
        self.start = start
        self.end = end
        self.every = every
        self.linear = linear
        self.linear_codes = linear_codes
        self.max_gap = max_gap
        self.first = first
        self.last = last


class WeightedBuckets:
    """The buckets of a time-weighted overview as the core reads them, by
    name: ``count`` buckets ``width`` long from ``origin``, summing the step
    function of the rows from ``first`` within the window [start, end], a
    value in force at most ``max_gap`` after its row; ns since 1970-01-01,
    None for no limit. ``starts``: the buckets' first instants listed (an
    int64 array, the first at ``origin``) when their lengths vary; else None."""

    __slots__ = ("start", "end", "origin", "width", "count", "max_gap", "first", "starts")

    def __init__(self, start: int, end: int, origin: int, width: int, count: int, max_gap: Optional[int],
                 first: Optional[int], starts: Any = None) -> None:
        self.starts = starts
        self.start = start
        self.end = end
        self.origin = origin
        self.width = width
        self.count = count
        self.max_gap = max_gap
        self.first = first


def durations(max_gap: Any, lookback: Any) -> Tuple[Optional[int], Optional[int]]:
    """max_gap and lookback as ns (None: no limit), or ValueError naming them."""
    gap = None if max_gap is None else _time.duration_ns(max_gap, "max_gap")
    back = None if lookback is None else _time.duration_ns(lookback, "lookback")
    return gap, back


def window(plan: ReadPlan) -> Tuple[int, int]:
    """The plan's window (S, E) in ns since 1970-01-01: its bounds, narrowed
    by where(start=, end=); ValueError when the narrowing leaves no time, and
    when the plan has a row limit (a row limit has no meaning on a grid)."""
    pushed = plan.pushdown
    if pushed.limit is not None:
        raise ValueError(f"the scan has a row limit ({pushed.limit}): a row limit has no meaning on a grid or a "
                         f"time-weighted sum; drop .limit()")
    start = plan.first_ns
    end = plan.last_ns
    if pushed.row_start is not None:
        start = max(start, _time.first_ns(pushed.row_start))
    if pushed.row_end is not None:
        end = min(end, _time.last_ns(pushed.row_end))
    if end < start:
        raise ValueError(f"where() leaves the scan's window no time: from {_time.instant_text(start)} "
                         f"to {_time.instant_text(end)}")
    if start < FIRST_INSTANT_NS or end > LAST_INSTANT_NS:
        import numpy

        held = (numpy.datetime64(FIRST_INSTANT_NS, "ns"), numpy.datetime64(LAST_INSTANT_NS, "ns"))
        raise ValueError(f"the window from {_time.instant_text(start)} to {_time.instant_text(end)} reaches past "
                         f"the instants a datetime64[ns] holds ({held[0]} to {held[1]}), where a grid's and a "
                         f"bucket's instants must lie: narrow the scan's window")
    return start, end


def before(at: int, lookback: Optional[int]) -> Optional[int]:
    """The instant `lookback` before `at`; None (no limit) for no lookback,
    or where that lies before every instant a row can have."""
    return None if lookback is None or at - lookback < FIRST_INSTANT_NS else at - lookback


def after(at: int, lookback: Optional[int]) -> Optional[int]:
    """The instant `lookback` after `at`; None (no limit) for no lookback,
    or where that lies after every instant a row can have."""
    return None if lookback is None or at + lookback > LAST_INSTANT_NS else at + lookback


def widened_request(plan: ReadPlan, first: Optional[int], last: Optional[int]) -> Any:
    """The request of the plan over [first, last] (None: no bound on that
    side; see ReadPlan.widened), its files read from local copies where they
    lie elsewhere, since the series read a file more than once."""
    return plan.widened(first, last).request(copied=True)


def whole_signals_narrowed(plan: ReadPlan) -> ReadPlan:
    """The plan, its signals selected whole (all 1024 codes of an id, as
    ids= and a name for every element give them) narrowed to the elements
    the window's files hold, from their record heads: a grid has a column
    per element a signal has, not 1024."""
    import numpy

    codes = plan.codes
    kept_ids = plan.pushdown.ids
    if codes is None and kept_ids is not None and plan.pushdown.limit is None:
        # Ids kept by where() (or ids=) with no codes: the engine's grid
        # takes codes, so every element of those ids stands for them.
        kept = numpy.flatnonzero(numpy.unpackbits(numpy.frombuffer(kept_ids, dtype=numpy.uint8),
                                                  bitorder="little"))
        codes = (kept[:, None] * 1024 + numpy.arange(1024)).ravel().astype(numpy.int32)
    if codes is None or len(codes) < 1024:
        return plan
    ids, counts = numpy.unique(codes >> 10, return_counts=True)
    whole = ids[counts == 1024]
    if len(whole) == 0:
        return plan
    from zentrail import _core

    held = _core.inventory(plan.files_only().request(errors="raise" if plan.errors == "raise" else "skip"), False)
    held_ids = numpy.frombuffer(held["signal_id"], dtype=numpy.uint16).astype(numpy.int64)
    elements = numpy.frombuffer(held["elements"], dtype=numpy.int32)
    most = numpy.zeros(65536, dtype=numpy.int64)
    numpy.maximum.at(most, held_ids, elements)
    keep = ~numpy.isin(codes >> 10, whole) | ((codes & 1023) < most[codes >> 10])
    return plan.with_codes(codes[keep])


# Parts of one grid read apart (Aligned.by_day): a day of grid instants (or a
# run of days) whose rows equal the whole grid's, because each part looks for
# its rows where the whole grid looks rather than around its own window.

def considered(first: int, last: int, how: Optional[str], lookback: Optional[int]) -> Tuple[Optional[int], Optional[int]]:
    """Where the rows considered by the grid of the window [first, last] lie
    (None: no limit on that side), as Aligned's own read puts them."""
    return before(first, lookback), last if how == "step" else after(last, lookback)


def day_parts(first: int, last: int, every: int, zone: Optional[_time.Zone] = None) -> List[Tuple[int, int]]:
    """(first, last grid instant) of each day holding grid instants, in order:
    days of `zone` (local midnight to local midnight) when given."""
    times = grid_times(first, last, every, zone)
    if times is not None:  # a grid of whole local days: one instant a day at most
        return [(int(at), int(at)) for at in times]
    parts = []
    at = first
    while at <= last:
        day_last = min(last, _next_midnight(at, zone) - 1)
        steps = (day_last - at) // every  # the day's grid instants after `at`
        parts.append((at, at + steps * every))
        at += (steps + 1) * every
    return parts


def _next_midnight(at: int, zone: Optional[_time.Zone]) -> int:
    """The first midnight after the instant `at` (of `zone`'s days when given)."""
    if zone is None:
        return at - at % _time.NS_PER_DAY + _time.NS_PER_DAY
    wall = zone.wall_ns(at)
    return zone.instant_ns(wall - wall % _time.NS_PER_DAY + _time.NS_PER_DAY)


def grid_times(start: int, end: int, every: int, zone: Optional[_time.Zone]) -> Any:
    """A grid's instants when they are listed rather than stepped: in a zone,
    a step of whole days keeps the wall time of ``start`` from day to day
    (local midnights for a window that starts at one; days of 23 or 25
    hours), as an int64 array; None for a grid of ``start + k * every``."""
    if zone is None or every % _time.NS_PER_DAY:
        return None
    import numpy

    wall = zone.wall_ns(start)
    out = []
    k = 0
    while True:
        at = zone.instant_ns(wall + k * every)
        if at > end:
            break
        if at >= start:
            out.append(at)
        k += 1
    return numpy.array(out, dtype=numpy.int64)
