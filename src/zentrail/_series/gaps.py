"""zentrail.gaps and zentrail.availability: when each code logged, from a
small summary of each archive file's rows.

A file's summary (its *part*) does not depend on the window asked for: per
code the rows it holds, its first and last row, its rows per hour (UTC) and
the spells between consecutive rows longer than the code's *floor*. The
floor is the smallest of FLOORS that keeps at most GAP_CAP spells, so a part
stays a few hundred bytes per code even for a code logged every two minutes
(it takes the 10-minute floor). The window and the parameters apply when the
parts of all files are merged, so that an answer from stored parts equals
one computed afresh. A question finer than a part's floor (min_gap or
period below it) reads the rows of that file's codes again, at the floor
asked for: nothing is refused, it only costs a read.
"""

from __future__ import annotations

from zentrail import _core
from zentrail._base import time as _time
from zentrail._index import per_file, store_of, whole_file_plan
from zentrail._read.request import report_clock, skipped_files
from zentrail._read.result import Result
from zentrail._series import window as _series

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

    _Part = Dict[str, Any]

# The shortest spell a part keeps: min_gap and period below it read rows.
GAP_FLOOR = 60 * _time.NS_PER_SECOND
# The floors a code may take in a part, the smallest first: the first that
# keeps at most GAP_CAP spells of the code in the file. The last keeps all of
# its spells, fewer than a day's hours for a file of a day: so a code takes
# at most about 400 bytes of spells and 200 of hours in the part of a day.
FLOORS = (GAP_FLOOR, 10 * 60 * _time.NS_PER_SECOND, 3600 * _time.NS_PER_SECOND)
GAP_CAP = 24
HOUR_NS = 3600 * _time.NS_PER_SECOND
# The rows (codes times buckets) an availability table holds at most: a
# gigabyte or so of columns.
MAX_CELLS = 1 << 25
# The name and version of the parts among a file's stored summaries.
SECTION = "gaps"
PART_VERSION = 2

# A part's arrays: one entry per code, per kept spell, per (code, hour).
_PER_TIMING = ("rows", "first", "last", "floor", "gaps", "hours")
_PER_CODE = ("code",) + _PER_TIMING
_PER_SPELL = ("gap_before", "gap_after")
_PER_HOUR = ("hour", "hour_rows")
_NONE_BEFORE = -(1 << 63) + 1  # no row before: an instant earlier than any
_NONE_AFTER = (1 << 63) - 1


def part_of_rows(times: Any, codes: Any, floor: Optional[int] = None) -> _Part:
    """The part of some rows (their instants and codes, int64), as kept:
    ``code`` and its ``timing``, the place of the code's timing among the
    part's timings, whose arrays follow (see _timings). The elements of a
    group log together: codes of one signal whose rows come at the same
    instants share one timing, which makes the part of a file of groups of
    64 elements some 60 times smaller. With ``floor`` the spells longer than
    it, all of them; else each timing's floor chosen from FLOORS."""
    import numpy

    if not len(times):
        return {name: numpy.zeros(0, numpy.int64) for name in ("code", "timing") + _PER_TIMING + _PER_SPELL + _PER_HOUR}
    # Rows mostly come in time order: then ordering by code alone orders by code and time.
    order = numpy.argsort(codes, kind="stable") if (times[1:] >= times[:-1]).all() else \
        numpy.lexsort((times, codes))
    t, c = times[order], codes[order]
    starts = numpy.flatnonzero(numpy.concatenate([[True], c[1:] != c[:-1]]))
    rows = numpy.diff(numpy.append(starts, len(c)))
    of_row = numpy.repeat(numpy.arange(len(starts)), rows)
    # A code whose rows are those of the code before it, of the same signal.
    alike = numpy.concatenate([[False], ((c[starts[1:]] >> 10) == (c[starts[:-1]] >> 10)) & (rows[1:] == rows[:-1])])
    compared = numpy.flatnonzero(alike[of_row])
    differ = compared[t[compared] != t[compared - rows[of_row[compared]]]]
    alike &= numpy.bincount(of_row[differ], minlength=len(starts)) == 0
    own = ~alike[of_row]
    found = _timings(t[own], c[own], floor)
    return {"code": c[starts].astype(numpy.int32), "timing": (numpy.cumsum(~alike) - 1).astype(numpy.int32),
            **found}


def _timings(t: Any, c: Any, floor: Optional[int]) -> _Part:
    """Per code of some rows sorted by code then time, its timing: its
    ``rows``, ``first`` and ``last`` row, ``floor``, the spells longer than
    it (``gaps`` of them: ``gap_before``, ``gap_after``) and its rows per
    hour (``hours`` of them: ``hour``, ``hour_rows``)."""
    import numpy

    starts = numpy.flatnonzero(numpy.concatenate([[True], c[1:] != c[:-1]]))
    ends = numpy.append(starts[1:], len(c))
    n = len(starts)
    rows = ends - starts
    of_row = numpy.repeat(numpy.arange(n), rows)  # each row's code, as its place among the codes
    step = t[1:] - t[:-1]
    same = c[1:] == c[:-1]
    if floor is None:
        chosen = numpy.full(n, FLOORS[-1], dtype=numpy.int64)
        for rung in reversed(FLOORS[:-1]):
            count = numpy.bincount(of_row[1:][same & (step > rung)], minlength=n)
            chosen[count <= GAP_CAP] = rung
    else:
        chosen = numpy.full(n, floor, dtype=numpy.int64)
    kept = numpy.flatnonzero(same & (step > chosen[of_row[1:]]))
    hour = numpy.floor_divide(t, HOUR_NS)
    new_hour = numpy.flatnonzero(numpy.concatenate([[True], (c[1:] != c[:-1]) | (hour[1:] != hour[:-1])]))
    return {"rows": rows, "first": t[starts], "last": t[ends - 1], "floor": chosen,
            "gaps": numpy.bincount(of_row[kept], minlength=n).astype(numpy.int32),
            "hours": numpy.bincount(of_row[new_hour], minlength=n).astype(numpy.int32),
            "gap_before": t[kept], "gap_after": t[kept + 1], "hour": hour[new_hour].astype(numpy.int32),
            "hour_rows": numpy.diff(numpy.append(new_hour, len(t))).astype(numpy.int32)}


def _expanded(part: _Part) -> _Part:
    """A part as kept (codes sharing timings) as its codes' own arrays, one
    entry per code, as the merge takes them."""
    import numpy

    timing = part["timing"].astype(numpy.int64)
    out = {"code": part["code"]}
    out.update({name: part[name][timing] for name in _PER_TIMING})
    for count, names in (("gaps", _PER_SPELL), ("hours", _PER_HOUR)):
        lengths = part[count].astype(numpy.int64)
        mine = lengths[timing]
        # Each code's run of its timing's entries, one after another.
        at = numpy.repeat((numpy.cumsum(lengths) - lengths)[timing] - (numpy.cumsum(mine) - mine), mine) + \
            numpy.arange(int(mine.sum()))
        out.update({name: part[name][at] for name in names})
    return out


def _only(part: _Part, keep: Any) -> _Part:
    """The part of the codes ``keep`` (a mask of its codes) marks."""
    import numpy

    spells = numpy.repeat(keep, part["gaps"])
    hours = numpy.repeat(keep, part["hours"])
    out = {name: part[name][keep] for name in _PER_CODE}
    out.update({name: part[name][spells] for name in _PER_SPELL})
    out.update({name: part[name][hours] for name in _PER_HOUR})
    return out


def file_part(plan: ReadPlan) -> _Part:
    """The part of one whole file as the index keeps it (every code): what
    zentrail.build_index makes ahead for the section."""
    return _Reads().part(plan)


class _Reads:
    """The parts' reads of one answer: the damaged files they passed over."""

    def __init__(self) -> None:
        self.skipped: List[Any] = []

    def part(self, plan: ReadPlan, floor: Optional[int] = None) -> _Part:
        """The part of the rows the plan reads, of its codes alone when it
        names them."""
        import numpy

        request = plan.replace(progress=None).select("time", "signal_id", "element").request(numpy=True)
        raw = _core.to_numpy(request)
        report_clock(request)
        self.skipped.extend(skipped_files(request))
        codes = raw["signal_id"].astype(numpy.int64) * 1024 + raw["element"]
        found = part_of_rows(raw["time"].view(numpy.int64), codes, floor)
        if plan.codes is not None:
            # A text row comes as element 0 of its signal whichever of its codes asked for it.
            keep = numpy.isin(found["code"], plan.codes)
            found = dict(found, code=found["code"][keep], timing=found["timing"][keep])
        return found

    def parts(self, plan: ReadPlan) -> List[Tuple[str, Any]]:
        """The parts of the plan's files: of every code, as the index keeps
        them, or where no index is used of the plan's codes alone (a
        narrower read, since nothing keeps them)."""
        if store_of(plan, None) is not None:
            found = per_file(plan, SECTION, self.part, version=PART_VERSION)
        else:
            found = [(path, self.part(self.whole(plan, path, plan.codes))) for path in plan.files()]
        return [(path, None if part is None else _expanded(part)) for path, part in found]

    @staticmethod
    def whole(plan: ReadPlan, path: str, codes: Any) -> ReadPlan:
        """The plan of the whole file ``path`` read as the index reads it, of ``codes`` (None: every code)."""
        return whole_file_plan(plan, [path], plan.errors).with_codes(codes)

    def finer(self, plan: ReadPlan, found: List[Tuple[str, Any]], codes: Any, finest: int, first: int,
              last: int) -> List[_Part]:
        """The parts of ``found`` of ``codes``, those of a floor above
        ``finest`` whose rows meet [first, last] read again at that floor."""
        import numpy

        out = []
        for path, part in found:
            if part is None:
                continue
            part = _only(part, numpy.isin(part["code"], codes))
            coarse = (part["floor"] > finest) & (part["first"] <= last) & (part["last"] >= first)
            if coarse.any():
                asked = part["code"][coarse]
                out.append(_expanded(self.part(self.whole(plan, path, asked), finest)))
                part = _only(part, ~coarse)
            out.append(part)
        return out


def _present(found: List[Tuple[str, Any]], plan: ReadPlan) -> Any:
    """The codes of a window: those with a row in the parts ``found`` that
    the plan selects, and those the caller named (int64, ascending)."""
    import numpy

    held = [part["code"] for _, part in found if part is not None]
    codes = numpy.unique(numpy.concatenate(held)).astype(numpy.int64) if held else numpy.zeros(0, numpy.int64)
    if plan.codes is not None:
        codes = codes[numpy.isin(codes, plan.codes)]
    return numpy.union1d(codes, _named_codes(plan)).astype(numpy.int64)


class Logged:
    """What the parts of some files say together of each code: ``codes``
    (int64, ascending), their ``rows``, ``first`` and ``last`` row; the
    spells between rows (``before``, ``after``: the rows on either side,
    ``spell_code``: the place of its code), by code then time; the rows per
    hour (``hour_code``, ``hour``, ``hour_rows``). The spells are those no
    part's rows cover: every spell longer than the largest floor of the
    parts whose rows it meets is among them."""

    def __init__(self, parts: List[_Part]) -> None:
        import numpy

        # In time order (of their first rows), so that a code's stretches
        # of several files come in time order when the files do not overlap.
        parts = sorted((part for part in parts if len(part["code"])), key=lambda part: int(part["first"].min()))

        def joined(name: str, dtype: Any = numpy.int64) -> Any:
            return numpy.concatenate([part[name] for part in parts]).astype(dtype) if parts else \
                numpy.zeros(0, dtype)

        code, first, last = joined("code"), joined("first"), joined("last")
        self.codes, place = numpy.unique(code, return_inverse=True)
        place = place.ravel()
        n = len(self.codes)
        self.rows = numpy.zeros(n, numpy.int64)
        numpy.add.at(self.rows, place, joined("rows"))
        self.first = numpy.full(n, _NONE_AFTER, numpy.int64)
        numpy.minimum.at(self.first, place, first)
        self.last = numpy.full(n, _NONE_BEFORE, numpy.int64)
        numpy.maximum.at(self.last, place, last)
        # Each part covers its codes' time from first to last row but for
        # its spells: a sweep over those stretches' ends finds what none
        # covers. Each code's stretches of a part come in time order, one
        # opening and closing after another; parts of files in read order
        # seldom overlap, so that ordering them by code alone most often
        # orders every code's stretches by time too.
        spells = joined("gaps")
        opening, closing = _stretches(first, last, spells, joined("gap_before"), joined("gap_after"))
        at_code = numpy.repeat(place, 2 * (spells + 1))
        at_time = numpy.empty(len(at_code), numpy.int64)
        at_time[0::2], at_time[1::2] = opening, closing
        opens = numpy.tile(numpy.array([1, -1], numpy.int64), len(at_code) // 2)
        order = numpy.argsort(at_code, kind="stable")
        at_code, at_time, opens = at_code[order], at_time[order], opens[order]
        same = at_code[1:] == at_code[:-1]
        if (same & ((at_time[1:] < at_time[:-1]) | ((at_time[1:] == at_time[:-1]) & (opens[1:] > opens[:-1])))).any():
            order = numpy.lexsort((opens < 0, at_time, at_code))  # a stretch opening where another closes joins it
            at_code, at_time, opens = at_code[order], at_time[order], opens[order]
        depth = numpy.cumsum(opens)
        bare = numpy.flatnonzero((depth[:-1] == 0) & (at_code[1:] == at_code[:-1]) & (at_time[1:] > at_time[:-1]))
        self.spell_code, self.before, self.after = at_code[bare], at_time[bare], at_time[bare + 1]
        hour_place = numpy.repeat(place, joined("hours"))
        hour = joined("hour")
        order = numpy.argsort(hour_place, kind="stable")
        if ((hour_place[order][1:] == hour_place[order][:-1]) & (hour[order][1:] < hour[order][:-1])).any():
            order = numpy.lexsort((hour, hour_place))
        hour_place, hour, hour_rows = hour_place[order], hour[order], joined("hour_rows")[order]
        new = numpy.flatnonzero(numpy.concatenate([[True], (hour_place[1:] != hour_place[:-1]) |
                                                   (hour[1:] != hour[:-1])])) if len(hour) else hour[:0]
        self.hour_code, self.hour = hour_place[new], hour[new]
        self.hour_rows = numpy.add.reduceat(hour_rows, new) if len(new) else hour_rows[:0]

    def spells(self) -> Tuple[Any, Any, Any]:
        """Every spell of every code without a row, the one before its first
        row and the one after its last included (from and to no instant):
        (code place, row before, row after), by code then time."""
        import numpy

        n = numpy.arange(len(self.codes))
        code = numpy.concatenate([n, self.spell_code, n])
        before = numpy.concatenate([numpy.full(len(n), _NONE_BEFORE), self.before, self.last])
        after = numpy.concatenate([self.first, self.after, numpy.full(len(n), _NONE_AFTER)])
        order = numpy.lexsort((before, code))
        return code[order], before[order], after[order]

    def covered(self, places: Any, edges: Any, period: int) -> Any:
        """The time of [edges[k], edges[k + 1]) that the rows of each code
        (by its place in ``codes``) cover, a row covering [t, t + period):
        an int64 array of a row per code, a column per bucket."""
        import numpy

        bare_from, bare_to = self.before + period, self.after
        longer = bare_to > bare_from
        code, bare_from, bare_to = self.spell_code[longer], bare_from[longer], bare_to[longer]
        bare = numpy.concatenate([[0], numpy.cumsum(bare_to - bare_from)])
        at_code, at = numpy.repeat(places, len(edges)), numpy.tile(edges, len(places))
        # Per (code, edge): the code's spells begun by the edge, and their
        # bare time less what of the last lies past the edge.
        own = numpy.repeat(numpy.searchsorted(code, places, side="left"), len(edges))
        begun = _searched(code, bare_from, at_code, at, "right")
        before_edge = bare[begun] - bare[own]
        inside = begun > own
        before_edge[inside] -= numpy.maximum(bare_to[begun[inside] - 1] - at[inside], 0)
        first, last = self.first[at_code], self.last[at_code]
        held = numpy.clip(at - first, 0, last + period - first) - before_edge
        return numpy.diff(held.reshape(len(places), len(edges)), axis=1)

    def rows_by_hour(self, places: Any, edges: Any) -> Any:
        """The rows of each code (by its place) in each [edges[k], edges[k + 1]),
        the edges whole hours: a row per code, a column per bucket."""
        import numpy

        held = numpy.concatenate([[0], numpy.cumsum(self.hour_rows.astype(numpy.int64))])
        own = numpy.repeat(numpy.searchsorted(self.hour_code, places, side="left"), len(edges))
        at_code, hour = numpy.repeat(places, len(edges)), numpy.tile(edges // HOUR_NS, len(places))
        before_edge = held[_searched(self.hour_code, self.hour, at_code, hour, "left")] - held[own]
        return numpy.diff(before_edge.reshape(len(places), len(edges)), axis=1)


def _stretches(first: Any, last: Any, spells: Any, before: Any, after: Any) -> Tuple[Any, Any]:
    """Where each stretch of rows of each code of parts opens and closes:
    the first row and the row after each spell, the row before each spell
    and the last row, by code then time."""
    import numpy

    count = len(first) + len(before)
    ends = numpy.cumsum(spells + 1)  # each code's stretches end here
    opening, closing = numpy.empty(count, numpy.int64), numpy.empty(count, numpy.int64)
    starts = ends - spells - 1
    opening[starts], closing[ends - 1] = first, last
    inner = numpy.ones(count, bool)
    inner[starts] = False
    opening[inner] = after
    inner[starts] = True
    inner[ends - 1] = False
    closing[inner] = before
    return opening, closing


def _searched(codes: Any, times: Any, at_codes: Any, at_times: Any, side: Any) -> Any:
    """numpy.searchsorted of each (code, time) asked among the (code, time)
    pairs given, sorted by code then time: the times as their ranks among
    all of them, so that one int64 key orders the pairs."""
    import numpy

    every = numpy.unique(numpy.concatenate([times, at_times]))
    width = len(every) + 1
    keys = codes.astype(numpy.int64) * width + numpy.searchsorted(every, times)
    return numpy.searchsorted(keys, at_codes.astype(numpy.int64) * width + numpy.searchsorted(every, at_times),
                              side=side)


def _ends(parts: List[_Part], codes: Any) -> Tuple[Any, Any]:
    """The first and the last row of each of ``codes`` in the parts (no
    instant after and before every other where there is none)."""
    import numpy

    first = numpy.full(len(codes), _NONE_AFTER, numpy.int64)
    last = numpy.full(len(codes), _NONE_BEFORE, numpy.int64)
    for part in parts:
        place = numpy.searchsorted(codes, part["code"]).clip(0, max(len(codes) - 1, 0))
        mine = (place < len(codes)) & (codes[place] == part["code"]) if len(codes) else place < 0
        numpy.minimum.at(first, place[mine], part["first"][mine])
        numpy.maximum.at(last, place[mine], part["last"][mine])
    return first, last


def _named_codes(plan: ReadPlan) -> Any:
    """The codes the caller named one by one (not as a whole signal), which
    are reported even where they have no row."""
    import numpy

    if plan.codes is None or not plan.codes_given:
        return numpy.zeros(0, numpy.int64)
    codes = plan.codes.astype(numpy.int64)
    ids, counts = numpy.unique(codes >> 10, return_counts=True)
    return codes[~numpy.isin(codes >> 10, ids[counts == 1024])]


def _warn_nothing(what: str, plan: ReadPlan) -> None:
    import warnings

    from zentrail._read.request import outside_the_package

    warnings.warn(f"zentrail.{what}: no row of {'the signals given' if plan.codes is not None else 'any signal'} "
                  f"in the files of {plan.shown[0]} to {plan.shown[1]}, so no code to tell of (name the signals "
                  f"to see them as one gap)", UserWarning, stacklevel=outside_the_package())


# -- the results -------------------------------------------------------------

class _CodeTable(Result):
    """A table of codes held whole: its columns, the catalog naming them, the
    zone of its instants."""

    __slots__ = ("_columns", "_catalog", "_read_zone", "_codes")

    def __init__(self, columns: Dict[str, Any], errors: str, catalog: Any, zone: Any, skipped: List[Any],
                 codes: Any) -> None:
        self._codes = codes
        self._columns = columns
        self._set_errors(errors)
        self._skipped = skipped
        self._catalog = catalog
        self._read_zone = zone

    @property
    def catalog(self) -> Any:
        """The :class:`zentrail.Catalog` of the archive's names, or None."""
        return self._catalog

    @property
    def codes(self) -> Any:
        """The codes asked about (int64, ascending): those with a row in the
        window's files, and those named one by one. No row of the table may
        stand for a code (no gap, or no bucket), but each was looked at."""
        return self._codes.copy()

    def __len__(self) -> int:
        return len(self._columns["signal_id"])

    def labels(self) -> Dict[str, Any]:
        """The catalog's ``"name"`` and ``"unit"`` of each row's code, as
        object arrays (None where no entry names it, and everywhere without
        a catalog)."""
        import numpy

        if self._catalog is None:
            return {field: numpy.full(len(self), None, dtype=object) for field in ("name", "unit")}
        from zentrail._names import labels as _labels

        signal, element = self._columns["signal_id"], self._columns["element"]
        labels = _labels.Labels(self._catalog, signal.astype(numpy.int64) * 1024 + element, ("name", "unit"))
        found = labels.indices_of(signal, element, ("name", "unit"))
        return {field: labels.numpy_column(field, found[field]) for field in ("name", "unit")}

    def _read(self) -> Dict[str, Any]:
        return dict(self._columns)

    def to_pandas(self, *, names: bool = False) -> Any:
        """The rows as a pandas DataFrame, instants in the zone read in;
        with ``names=True`` and a catalog, ``name`` and ``unit`` after
        ``element``, categorical, missing where no entry names the code."""
        frame = Result.to_pandas(self)
        if names and self._catalog is not None:
            from zentrail._base.extras import import_extra
            from zentrail._names import labels as _labels

            pandas = import_extra("pandas", f"{type(self).__name__}.to_pandas()", "pandas")
            signal, element = self._columns["signal_id"], self._columns["element"]
            labels = _labels.Labels(self._catalog, signal.astype("int64") * 1024 + element, ("name", "unit"))
            found = labels.indices_of(signal, element, ("name", "unit"))
            at = list(frame.columns).index("element") + 1
            for k, field in enumerate(("name", "unit")):
                frame.insert(at + k, field, labels.pandas_column(pandas, field, found[field]))
        return frame

    def __repr__(self) -> str:
        return f"<zentrail.{type(self).__name__} of {len(self)} rows>"


class Gaps(_CodeTable):
    """The spells without a row of each code, made by :func:`zentrail.gaps`
    (read when made). One row per spell, sorted by code then time:

    - ``signal_id``, ``element``: uint16, the code.
    - ``start``, ``end``: datetime64[ns], the spell within the window: from
      the row before it (or the window's start) up to the row after it (or
      the instant just after the window's last, so a day's window ends at
      the next midnight); ``end`` is not part of the spell.
    - ``duration``: timedelta64[ns], ``end - start``.
    - ``row_before``, ``row_after``: datetime64[ns], the rows on either
      side, which may lie outside the window; NaT where the archive holds
      none on that side.

    Read in a zone, the instants are UTC in NumPy, the zone's in pandas and
    Arrow. ``to_pandas(names=True)`` adds the catalog's ``name`` and
    ``unit`` of each code."""

    __slots__ = ()
    _INSTANT_COLUMNS = ("start", "end", "row_before", "row_after")


class Availability(_CodeTable):
    """The share of each bucket a code's rows cover, made by
    :func:`zentrail.availability` (read when made). One row per bucket and
    code, by bucket then code:

    - ``time``: datetime64[ns], the bucket's start.
    - ``signal_id``, ``element``: uint16, the code.
    - ``covered``: float64, 0 to 1: the share of the bucket's time within
      the window that the code's rows cover, each row the ``period`` from it.
    - ``rows``: int64, the code's rows in the bucket within the window.
    """

    __slots__ = ()
    _INSTANT_COLUMNS = ("time",)


# -- the two questions -------------------------------------------------------

def _window(plan: ReadPlan, earliest: Any, latest: Any, start: Any, end: Any) -> Tuple[int, int]:
    """[S, E) of an answer: the plan's window, or where a bound is None, the
    first row (the instant after the last row) of its codes (their first and
    last rows: ``earliest``, ``latest``)."""
    first, last = _series.window(plan)
    held = earliest < _NONE_AFTER
    if start is None and held.any():
        first = int(earliest[held].min())
    if end is None and held.any():
        last = int(latest[held].max())
    return first, last + 1


def gaps(plan: ReadPlan, start: Any, end: Any, min_gap: Any) -> Gaps:
    """The gaps of zentrail.gaps, from the parts of the window's files and,
    for the rows on either side, of files further out as far as needed."""
    import numpy

    shortest = _time.duration_ns(min_gap, "min_gap")
    reads = _Reads()
    within = reads.parts(plan)
    codes = _present(within, plan)
    earliest, latest = _ends([part for _, part in within if part is not None], codes)
    first, after = _window(plan, earliest, latest, start, end)
    parts = reads.finer(plan, within, codes, shortest, first, after - 1)
    # The rows on either side of the window: from the nearest files out,
    # in runs that double, while a code lacks a row it needs there.
    for past_end, days in _days_out(plan, first, after):
        run = 1
        while days:
            if past_end:
                lacking = codes[(latest < after) & (after - numpy.maximum(latest, first) > shortest)]
            else:
                lacking = codes[(earliest > first) & (numpy.minimum(earliest, after) - first > shortest)]
            if not len(lacking):
                break
            chosen = [path for day in days[:run] for path in day]
            outer = reads.parts(plan.with_files(chosen).with_codes(lacking))
            found_now = [_only(part, numpy.isin(part["code"], lacking)) for _, part in outer if part is not None]
            parts.extend(found_now)
            more_first, more_last = _ends(found_now, codes)
            earliest, latest = numpy.minimum(earliest, more_first), numpy.maximum(latest, more_last)
            days, run = days[run:], run * 2
    logged = Logged(parts)
    mine = numpy.isin(logged.codes, codes)
    code, before, later = logged.spells()
    keep = mine[code]
    code, before, later = logged.codes[code[keep]], before[keep], later[keep]
    absent = codes[~numpy.isin(codes, logged.codes)]  # named, and without any row
    code = numpy.concatenate([code, absent])
    before = numpy.concatenate([before, numpy.full(len(absent), _NONE_BEFORE)])
    later = numpy.concatenate([later, numpy.full(len(absent), _NONE_AFTER)])
    begins, ends_at = numpy.maximum(before, first), numpy.minimum(later, after)
    long = ends_at - begins > shortest
    order = numpy.lexsort((begins[long], code[long]))
    code, before, later, begins, ends_at = (a[long][order] for a in (code, before, later, begins, ends_at))
    if not len(codes):
        _warn_nothing("gaps", plan)

    def instants(values: Any, none: int) -> Any:
        out = values.astype("datetime64[ns]")
        out[values == none] = numpy.datetime64("NaT", "ns")
        return out

    columns = {"signal_id": (code >> 10).astype(numpy.uint16), "element": (code & 1023).astype(numpy.uint16),
               "start": begins.astype("datetime64[ns]"), "end": ends_at.astype("datetime64[ns]"),
               "duration": (ends_at - begins).astype("timedelta64[ns]"),
               "row_before": instants(before, _NONE_BEFORE), "row_after": instants(later, _NONE_AFTER)}
    return Gaps(columns, plan.errors, plan.catalog, plan.zone, reads.skipped, codes)


def _days_out(plan: ReadPlan, first: int, after: int) -> List[Tuple[bool, List[List[str]]]]:
    """The archive's files of the days before the window (nearest first)
    and after it, by day: (False, days before), (True, days after). A day is
    the one a file's name carries, whose rows the file holds."""
    import itertools
    import os

    zone = plan.zone
    wall = (lambda at: at) if zone is None else zone.wall_ns
    first_day, last_day = _time.day_text(wall(first)), _time.day_text(wall(after - 1))
    every = plan.widened(None, None).files()
    days = [list(files) for _, files in itertools.groupby(every, key=lambda path: os.path.basename(path)[:10])]
    named = [os.path.basename(day[0])[:10] for day in days]
    return [(False, [day for day, name in zip(days, named) if name < first_day][::-1]),
            (True, [day for day, name in zip(days, named) if name > last_day])]


def buckets(first: int, after: int, every: int, zone: Any) -> Any:
    """The edges of the buckets of [first, after): ``every`` long from
    ``first`` (whole days of ``zone`` from local midnight to midnight, for
    a window that begins at one), the last cut at ``after``."""
    import numpy

    listed = _series.grid_times(first, after - 1, every, zone)
    if listed is None:
        starts = numpy.arange(first, after, every, dtype=numpy.int64)
        last_end = int(starts[-1]) + every
    else:
        starts = listed if len(listed) and listed[0] == first else numpy.concatenate([[first], listed])
        last_end = zone.instant_ns(zone.wall_ns(first) + len(listed) * every) if len(listed) else after
    return numpy.minimum(numpy.append(starts, last_end), after)


def availability(plan: ReadPlan, every: Any, period: Any) -> Availability:
    """The shares of zentrail.availability, from the parts of the files of
    the window and of the period before it (whose rows cover its start)."""
    import numpy

    from zentrail._series.overview import MAX_BUCKETS

    step = _time.duration_ns(every, "every")
    length = _time.duration_ns(period, "period")
    first, last = _series.window(plan)
    after = last + 1
    if (after - first) // step + 1 > MAX_BUCKETS:
        raise ValueError(f"every={_time.duration_text(step)} makes more than {MAX_BUCKETS} buckets of the window")
    edges = buckets(first, after, step, plan.zone)
    reads = _Reads()
    found = reads.parts(plan.widened(max(first - length, _series.FIRST_INSTANT_NS), last))
    inside = set(plan.files())
    codes = _present([(path, part) for path, part in found if path in inside], plan)
    logged = Logged(reads.finer(plan, found, codes, length, first - length, last))
    count = len(edges) - 1
    if len(codes) * count > MAX_CELLS:
        raise ValueError(f"every={_time.duration_text(step)} makes {count:,} buckets of each of {len(codes):,} codes: "
                         f"more than the {MAX_CELLS:,} a table of availability holds; take longer buckets or fewer "
                         f"signals")
    covered = numpy.zeros((len(codes), count))
    rows = numpy.zeros((len(codes), count), numpy.int64)
    by_hour = not (edges % HOUR_NS).any()
    if not by_hour and len(codes):  # bucket edges within an hour: the rows counted from the rows themselves
        rows = _rows_read(plan, codes, edges)
    place = numpy.searchsorted(logged.codes, codes).clip(0, max(len(logged.codes) - 1, 0))
    held = (logged.codes[place] == codes) if len(logged.codes) else numpy.zeros(len(codes), bool)
    covered[held] = logged.covered(place[held], edges, length) / numpy.diff(edges).astype(numpy.float64)
    if by_hour:
        rows[held] = logged.rows_by_hour(place[held], edges)
    if not len(codes):
        _warn_nothing("availability", plan)
    columns = {"time": numpy.tile(edges[:-1], len(codes)).astype("datetime64[ns]"),
               "signal_id": numpy.repeat(codes >> 10, count).astype(numpy.uint16),
               "element": numpy.repeat(codes & 1023, count).astype(numpy.uint16),
               "covered": covered.ravel(), "rows": rows.ravel()}
    order = numpy.argsort(columns["time"], kind="stable")  # by bucket, then code
    return Availability({name: column[order] for name, column in columns.items()}, plan.errors, plan.catalog,
                        plan.zone, reads.skipped, codes)


def _rows_read(plan: ReadPlan, codes: Any, edges: Any) -> Any:
    """The rows of each code (a row per code) in each bucket, read."""
    import numpy

    request = plan.with_codes(codes).replace(progress=None).select("time", "signal_id", "element") \
        .request(numpy=True)
    raw = _core.to_numpy(request)
    report_clock(request)
    code = raw["signal_id"].astype(numpy.int64) * 1024 + raw["element"]
    bucket = numpy.searchsorted(edges, raw["time"].view(numpy.int64), side="right") - 1
    # A text row comes as element 0 of its signal whichever of its codes asked for it.
    inside = (bucket >= 0) & (bucket < len(edges) - 1) & numpy.isin(code, codes)
    cell = numpy.searchsorted(codes, code[inside]) * (len(edges) - 1) + bucket[inside]
    return numpy.bincount(cell, minlength=len(codes) * (len(edges) - 1)).reshape(len(codes), len(edges) - 1)
