"""zentrail.at and Scan.at: each code's value at instants asked for one by
one, made by the grid aligner over the instants listed, with the instants
of the rows each value came from."""

from __future__ import annotations

from zentrail import _core
from zentrail._base import time as _time
from zentrail._index import in_force as _in_force
from zentrail._names import catalog as _catalog, columns as _columns, labels as _labels
from zentrail._read.request import report_clock
from zentrail._read.result import Result
from zentrail._series import lost as _lost, window as _series
from zentrail._series.aligned import HOWS, MAX_GRID_CELLS

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

    _Columns = Dict[str, Any]

ORDER = ("time", "signal_id", "element", "value", "row_time", "next_row_time")
_NAT = -(1 << 63)


class ValuesAt(Result):
    """Each code's value at instants, made by :func:`zentrail.at` and
    :meth:`zentrail.Scan.at`; read when consumed, afresh each time. One row
    per (instant, code): the instants in the order they were asked (one
    asked twice is answered twice), and for each the codes in ascending
    order. Columns:

    - ``time``: datetime64[ns], the instant asked.
    - ``signal_id``, ``element``: uint16, the code (``id * 1024 + element``).
    - ``value``: float64, with ``how="step"`` the value of the last row at or
      before the instant (of several at one instant, the last in read
      order); with ``how="linear"`` a row at the instant itself, else the
      value interpolated between the rows around it; ``how=None`` each code
      as its catalog entry's ``interpolation`` says (step without one).
      Exactly what :meth:`zentrail.Scan.align` gives at that instant. NaN
      where there is none: no row within ``lookback`` before the instant
      (linear: also none within ``lookback`` after it).
    - ``row_time``: datetime64[ns], the instant of the row the value came
      from (linear: the row before the instant, or the instant itself for a
      row there); NaT where the value is NaN.
    - ``next_row_time``: datetime64[ns], for an interpolated value the row
      after the instant; NaT otherwise (every step value, a row at the
      instant).

    The codes: every code the signals name (a whole signal: each element
    its files hold around the instants), or with ``signals=None`` every code
    with a value row among the rows considered. Read in a zone, the three
    times are instants: UTC in NumPy, the zone's in pandas and Arrow (NaT a
    null there). ``to_pandas(names=True)`` adds the catalog's ``name`` and
    ``unit`` after ``element``.

    Instants whose look-back windows overlap are read together, as one grid
    of listed instants; instants far apart (one a day for years) are read
    apart, so that no read covers the time between them. (The files read
    are those of the days a run of instants and its look back cover; a row
    a file holds for another day than its name's, after a date mark, counts
    where that file is read.) With
    ``errors="warn"`` or ``"skip"`` a damaged file is passed over and no
    value is carried across the time its rows may have held (NaN there, as
    :meth:`zentrail.Scan.align` does); ``skipped`` lists it.
    """

    __slots__ = ("_plan", "_times", "_how", "_lookback")
    _INSTANT_COLUMNS = ("time", "row_time", "next_row_time")

    def __init__(self, plan: ReadPlan, times: Any, how: Optional[str] = None,
                 lookback: Any = _series.DEFAULT_LOOKBACK) -> None:
        """Made by zentrail.at and Scan.at, whose arguments are checked here."""
        if how is not None and how not in HOWS:
            raise ValueError(f"how must be 'step' or 'linear', not {how!r}; None interpolates each signal as its "
                             f"catalog entry says")
        if plan.pushdown.limit is not None:
            raise ValueError(f"the scan has a row limit ({plan.pushdown.limit}): a row limit has no meaning for the "
                             f"values at instants; drop .limit()")
        self._lookback = _series.durations(None, lookback)[1]
        self._times = instants(times, plan.zone)
        self._set_errors(plan.errors)
        self._plan = plan
        self._how = how

    def _zone(self) -> Any:
        return self._plan.zone

    @property
    def plan(self) -> ReadPlan:
        """The :class:`zentrail.ReadPlan` the values are read with (its window unused)."""
        return self._plan

    @property
    def times(self) -> Any:
        """The instants asked, in the order asked (datetime64[ns]; UTC in a zone)."""
        return self._times.view("datetime64[ns]")

    def _read(self) -> _Columns:
        import numpy

        asked = numpy.unique(self._times)
        parts = []
        seen: Dict[str, Any] = {}
        for first, last in groups(asked, self._lookback, self._reach()):
            part = self._group(asked[first:last + 1], seen)
            if part is not None:
                parts.append((first, last, part))
        self._skipped = list(seen.values())
        codes = numpy.array(sorted({code for _, _, (names, _, _, _) in parts for code in names}), dtype=numpy.int64)
        shape = (len(asked), len(codes))
        value = numpy.full(shape, numpy.nan)
        row = numpy.full(shape, _NAT, dtype=numpy.int64)
        nxt = numpy.full(shape, _NAT, dtype=numpy.int64)
        for first, last, (names, values, rows, nexts) in parts:
            at = numpy.searchsorted(codes, numpy.asarray(names, dtype=numpy.int64))
            value[first:last + 1, at] = values
            row[first:last + 1, at] = rows
            nxt[first:last + 1, at] = nexts
        if not len(codes):
            _warn_nothing(self._plan)
        which = numpy.searchsorted(asked, self._times)
        count = len(codes)
        return {"time": numpy.repeat(self._times, count).view("datetime64[ns]"),
                "signal_id": numpy.tile(codes >> 10, len(which)).astype(numpy.uint16),
                "element": numpy.tile(codes & 1023, len(which)).astype(numpy.uint16),
                "value": value[which].ravel(),
                "row_time": row[which].ravel().view("datetime64[ns]"),
                "next_row_time": nxt[which].ravel().view("datetime64[ns]")}

    def _reach(self) -> str:
        """"step" when every code steps (no row after an instant is needed), else "linear"."""
        if self._how is not None:
            return self._how
        catalog, codes = self._plan.catalog, self._plan.codes
        if catalog is None or (codes is not None and not _catalog.kinds(catalog, codes)[1].any()):
            return "step"
        return "linear"

    def _group(self, instants: Any, seen: Dict[str, Any]) -> Optional[Tuple[List[int], Any, Any, Any]]:
        """One read of the grid of these instants (ascending): the codes of
        its columns, and values, row times and next row times as arrays of
        (instants, codes); None when it has no column. Damaged files met
        (errors "warn"/"skip") go into `seen` by path."""
        import numpy

        first, last = int(instants[0]), int(instants[-1])
        looks = _series.considered(first, last, self._reach(), self._lookback)
        plan = self._plan.widened(*looks)
        spans: List[Tuple[int, int]] = []
        if self._errors != "raise":
            damaged = _lost.damaged_files(plan)
            if damaged:
                spans = _lost.merged([_lost.lost_span(plan, skipped) for skipped in damaged])
                self._told([skipped for skipped in damaged if skipped.path not in seen])
                seen.update((skipped.path, skipped) for skipped in damaged)
                plan = _lost.without(plan, [skipped.path for skipped in damaged])
            plan = plan.replace(errors="raise")
        plan = _series.whole_signals_narrowed(plan)
        # The files wholly before the first instant as the index sums them up, where it can.
        request = _in_force.series_request(plan, looks[0], first, copied=True, errors="raise")
        grid = _series.SeriesGrid(first, last, 1, self._how == "linear", None, looks[0], looks[1],
                                  times=numpy.ascontiguousarray(instants, dtype=numpy.int64), row_times=True)
        if self._how is None and plan.catalog is not None:
            codes = plan.codes
            if codes is None:  # the codes with rows, found by the passes before the rows
                codes = [_columns.code_of(name) for name in _core.align_columns(request, grid)]
            codes = numpy.asarray(codes, dtype=numpy.int64)
            linear = _catalog.kinds(plan.catalog, codes)[1]
            if len(codes) and linear.all():
                grid.linear = True
            elif linear.any():
                grid.linear_codes = codes[linear].astype(numpy.int32)
        found = _core.align(request, grid, None, MAX_GRID_CELLS)
        report_clock(request)
        if found[1] is None:
            raise ValueError(f"the values of {len(found[0]):,} codes at {len(instants):,} instants are more than "
                             f"MAX_GRID_CELLS ({MAX_GRID_CELLS:,}) to hold: ask for fewer codes or instants at once")
        names, _, values, rows, nexts = found
        if not names:
            return None
        codes = [_columns.code_of(name) for name in names]

        def matrix(buffers: List[Any], dtype: Any) -> Any:
            return numpy.stack([numpy.frombuffer(b, dtype=dtype) for b in buffers], axis=1)

        value, row, nxt = matrix(values, numpy.float64), matrix(rows, numpy.int64), matrix(nexts, numpy.int64)
        _blank(instants, value, row, nxt, spans, self._lookback)
        return codes, value, row, nxt

    def _told(self, damaged: List[Any]) -> None:
        if self._errors == "warn":
            _lost.tell(damaged, "the values at instants passed over it, and carry")

    def to_pandas(self, *, names: bool = False) -> Any:
        """The rows as a pandas DataFrame (times in the zone read in, if
        any); with ``names=True`` and a catalog, the categorical columns
        ``name`` and ``unit`` after ``element`` (missing where no entry
        names the code)."""
        frame = Result.to_pandas(self)
        return frame_with_names(frame, self._plan.catalog) if names else frame

    def __repr__(self) -> str:
        how = self._how or "as the catalog says"
        count = len(self._times)
        return f"<zentrail.ValuesAt at {count} instant{'s' if count != 1 else ''} ({how}) of {self._plan.describe()}>"


def instants(times: Any, zone: Optional[_time.Zone]) -> Any:
    """The instants asked (ns since 1970-01-01, UTC in a zone) as an int64
    array in the order given: one bound-like value (a text, a datetime, a
    date, a numpy.datetime64) or an iterable of them, each read as a start
    bound is read (in a zone a naive one is a wall time there); ValueError
    for none, or one outside the instants a datetime64[ns] holds."""
    import datetime

    import numpy

    if isinstance(times, (str, datetime.date)) or (type(times).__module__ == "numpy" and numpy.ndim(times) == 0):
        times = [times]
    array = times if isinstance(times, numpy.ndarray) else None
    if array is not None and array.dtype.kind == "M" and zone is None:
        if numpy.isnat(array).any():
            raise ValueError("times holds NaT, which is no instant")
        out = array.astype("datetime64[ns]").astype(numpy.int64).ravel()
    else:
        listed = list(times)
        out = numpy.array([_time.first_ns(_time.bound_in(zone, value, f"times[{k}]", False))
                           for k, value in enumerate(listed)], dtype=numpy.int64)
    if not len(out):
        raise ValueError("times holds no instant: give at least one")
    outside = (out < _series.FIRST_INSTANT_NS) | (out > _series.LAST_INSTANT_NS)
    if outside.any():
        raise ValueError(f"times[{int(numpy.flatnonzero(outside)[0])}] lies outside the instants a "
                         f"datetime64[ns] holds (1677-09-21 to 2262-04-11)")
    return out


def groups(instants: Any, lookback: Optional[int], reach: str) -> List[Tuple[int, int]]:
    """(first, last) indices of the runs of `instants` (ascending, unique)
    read together: those whose windows of rows considered overlap (before
    each instant ``lookback``; for a linear read after it too). No lookback:
    one run, every earlier file being considered anyway."""
    import numpy

    if lookback is None:
        return [(0, len(instants) - 1)]
    span = lookback if reach == "step" else 2 * lookback
    cuts = numpy.flatnonzero(numpy.diff(instants) > span) + 1
    starts = [0, *cuts.tolist()]
    ends = [*(cuts - 1).tolist(), len(instants) - 1]
    return list(zip(starts, ends))


def _blank(instants: Any, value: Any, row: Any, nxt: Any, spans: List[Tuple[int, int]],
           lookback: Optional[int]) -> None:
    """NaN (and NaT) in every cell whose rows lie further than `lookback`
    from its instant (a grid carries a value on from row to row; a value at
    an instant looks back from that instant alone, whichever others are read
    with it), and in every cell a row of a lost span could have changed: a
    span meeting [the value's row, the instant] for a step, [the row before,
    the row after] for an interpolated value."""
    import numpy

    at = numpy.broadcast_to(instants[:, None], row.shape)
    has = row != _NAT
    has_next = nxt != _NAT
    lost = numpy.zeros(row.shape, dtype=bool)
    if lookback is not None:
        lost |= has & (at - numpy.where(has, row, at) > lookback)
        lost |= has_next & (numpy.where(has_next, nxt, at) - at > lookback)
    if spans:
        low = numpy.where(has, row, 0)
        high = numpy.where(has_next, nxt, at)
        for first, last in spans:
            lost |= has & (low <= last) & (high >= first)
    value[lost] = numpy.nan
    row[lost] = _NAT
    nxt[lost] = _NAT


def frame_with_names(frame: Any, catalog: Any) -> Any:
    """A frame of codes (``signal_id``, ``element``) with the catalog's
    ``name`` and ``unit`` of each row after ``element``, categorical,
    missing where no entry names the code; as it is without a catalog."""
    if catalog is None:
        return frame
    import numpy

    from zentrail._base.extras import import_extra

    pandas = import_extra("pandas", "names of codes", "pandas")
    ids = frame["signal_id"].to_numpy(dtype=numpy.uint16)
    elements = frame["element"].to_numpy(dtype=numpy.uint16)
    labels = _labels.Labels(catalog, numpy.unique(ids.astype(numpy.int64) * 1024 + elements), ("name", "unit"))
    found = labels.indices_of(ids, elements, ("name", "unit"))
    at = list(frame.columns).index("element") + 1
    for k, field in enumerate(("name", "unit")):
        frame.insert(at + k, field, labels.pandas_column(pandas, field, found[field]))
    return frame


def _warn_nothing(plan: ReadPlan) -> None:
    """The warning of values at instants with no code at all: no archive
    file under the root, or no value row of the signals asked near them."""
    import os
    import warnings

    from zentrail._read.request import outside_the_package

    if not plan.widened(None, None).files():
        root = os.fsdecode(plan.source) if isinstance(plan.source, bytes) else plan.source
        warnings.warn(f"zentrail.at: no archive file (YYYY-MM-DD_*.vlx) under {root!r}, so no row", UserWarning,
                      stacklevel=outside_the_package())
        return
    asked = "any signal" if plan.codes is None else f"the {len(plan.codes)} codes asked"
    warnings.warn(f"zentrail.at: no value row of {asked} around the instants asked (within the lookback), so no "
                  f"row", UserWarning, stacklevel=outside_the_package())
