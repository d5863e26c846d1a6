"""zentrail.Overview: a scan summed up in equal time buckets, in the engine."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

from zentrail._base import arguments as _arguments, time as _time
from zentrail import _core
from zentrail._series import window as _series
from zentrail._base.extras import import_extra
from zentrail._read.request import report_clock
from zentrail._read.result import Result
from zentrail._series import lost as _lost
from zentrail._index import in_force as _in_force

# More buckets than any screen or table needs; a bucket index fits the
# engine's cell key.
MAX_BUCKETS = 1 << 30

# The columns in their order, with their NumPy types.
OVERVIEW_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("signal_id", "uint16"), ("element", "uint16"), ("bucket", "datetime64[ns]"), ("count", "int64"),
    ("mean", "float64"), ("min", "float64"), ("min_time", "datetime64[ns]"), ("max", "float64"),
    ("max_time", "datetime64[ns]"), ("first", "float64"), ("first_time", "datetime64[ns]"), ("last", "float64"),
    ("last_time", "datetime64[ns]"),
)
# The columns time_weighted=True adds after them.
TIME_WEIGHTED_COLUMNS: Tuple[Tuple[str, str], ...] = (("in_force", "float64"), ("integral", "float64"),
                                                      ("twa", "float64"))


class Overview(Result):
    """The values of a :class:`zentrail.Scan` summed up per (``signal_id``,
    ``element``) in ``buckets`` equal time buckets of the scan's window, made
    by :meth:`zentrail.Scan.overview`.

    The buckets split the scan's window (``dt_start`` to the end of
    ``dt_end``'s precision) into lengths of ``ceil(window / buckets)``
    nanoseconds, the first starting at ``dt_start``: every bucket is equally
    long, and when the window does not divide evenly the last ones may lie
    partly or wholly past its end (and so hold nothing). The window is the
    scan's as given: a window far wider than the data (a century, for an
    archive of a year) spends most buckets on time with no data; narrow the
    scan to the data's span first (``zentrail.inventory`` gives each signal's
    first and last instants).

    One row per (``signal_id``, ``element``, ``bucket``) with at least one
    numeric value, sorted by those three; text rows and NaN values count
    nowhere. The columns: ``signal_id`` and ``element`` (uint16), ``bucket``
    (the bucket's start, datetime64[ns]), ``count`` (int64), ``mean``,
    ``min``, ``max``, ``first``, ``last`` (float64) and ``min_time``,
    ``max_time``, ``first_time``, ``last_time`` (datetime64[ns]). ``first``
    and ``last`` are the bucket's first and last values in read order (files
    in scan order, records in file order, as ``to_numpy()`` gives them);
    ``min_time`` and ``max_time`` are the instants of the first value in read
    order equal to the extreme: a min/max envelope drawn from these columns
    is exact.

    With ``every=D`` the buckets are D long from the window's start S (the
    scan's, narrowed by ``where(start=)``) instead. With
    ``time_weighted=True`` three columns follow, from the step function of
    the rows considered (the value in force at S looked for up to
    ``lookback`` before it): ``in_force``, the seconds of the bucket within
    the window during which a value is in force (for at most ``max_gap``
    after its row); ``integral``, the value times those seconds; ``twa``,
    integral / in_force (NaN where in_force is 0). A bucket with no row but
    a value in force then gets a row too, with count 0, NaN and NaT in the
    per-row statistics. See the page "Time series".

    It is computed while the files are decoded, on the scan's threads, without
    keeping rows: memory grows with the rows of the result, not with the
    read. Like a Scan it reads nothing until consumed and reads afresh every
    time; failures raise what the scan would raise.
    """

    __slots__ = ("_plan", "_buckets", "_every", "_time_weighted", "_max_gap", "_lookback")
    _INSTANT_COLUMNS = ("bucket", "min_time", "max_time", "first_time", "last_time")

    def _zone(self) -> Any:
        return self._plan.zone

    def __init__(self, plan: ReadPlan, buckets: Optional[int], every: Any = None, time_weighted: bool = False,
                 lookback: Any = _series.DEFAULT_LOOKBACK, max_gap: Any = None, errors: str = "raise") -> None:
        """Made by Scan.overview, whose arguments are checked here."""
        self._set_errors(errors)
        if every is not None:
            if buckets is not None:
                raise ValueError("give buckets or every, not both")
            every = _time.duration_ns(every, "every")
            start, end = _series.window(plan)
            days = _series.grid_times(start, end, every, plan.zone)
            buckets = (end - start) // every + 1 if days is None else len(days)
            if buckets > MAX_BUCKETS:
                raise ValueError(f"every={_time.duration_text(every)} makes {buckets} buckets of the window; at "
                                 f"most {MAX_BUCKETS}")
        else:
            buckets = _arguments.count(1000 if buckets is None else buckets, "buckets", 1000)
            if buckets > MAX_BUCKETS:
                raise ValueError(f"buckets must lie in 1 to {MAX_BUCKETS}, not {buckets}")
        if not isinstance(time_weighted, bool):
            raise TypeError(f"time_weighted must be a bool, not {type(time_weighted).__name__}")
        gap, back = _series.durations(max_gap, lookback)
        if time_weighted:
            # With "warn" or "skip" the step function carries no value across
            # the time a damaged file's rows may have held (see
            # zentrail._series.lost); the per-row columns keep what it gave.
            _series.window(plan)
        self._plan = plan
        self._buckets = buckets
        self._every = every
        self._time_weighted = time_weighted
        self._max_gap = gap
        self._lookback = back

    @property
    def buckets(self) -> int:
        """The number of buckets the window is split into."""
        return self._buckets

    def _grid(self) -> Tuple[int, int, int]:
        """The buckets: their origin, width (ns) and count."""
        if self._every is not None:
            return _series.window(self._plan)[0], self._every, self._buckets
        first = self._plan.first_ns
        span = self._plan.last_ns - first + 1
        return first, -(-span // self._buckets), self._buckets

    def _starts(self) -> Any:
        """The buckets' first instants when they are listed (buckets of whole
        days in a zone: from local midnight to local midnight), else None."""
        if self._every is None:
            return None
        start, end = _series.window(self._plan)
        return _series.grid_times(start, end, self._every, self._plan.zone)

    def _read(self) -> Dict[str, Any]:
        import numpy

        every = None if self._every is None else self._grid()
        request = self._reported(self._plan.request(errors=self._errors))
        weighted: Dict[str, Any] = {}
        raw = None
        if self._time_weighted:
            got = self._weighted(request)
            if isinstance(got, tuple):  # the plain overview summed up in the same read
                weighted, raw = got
            else:
                weighted = got
        if raw is None:
            raw = _core.overview(request, self._buckets, False, every, self._starts())
            report_clock(request)
        plain = {name: numpy.frombuffer(raw[name], dtype=dtype) for name, dtype in OVERVIEW_COLUMNS}
        if not self._time_weighted:
            return plain
        return _with_time_weighted(plain, weighted, _Buckets(*self._grid()[:2], self._starts()))

    def _weighted(self, plain: Any) -> Any:
        """The engine's time-weighted columns (signal_id, element, bucket,
        in_force, integral) over the rows considered; with them, when one
        read gives both, the plain overview's columns of the request
        `plain` (its clock told): (weighted, plain)."""
        import numpy

        from zentrail._elsewhere import remote as _remote

        start, end = _series.window(self._plan)
        first = _series.before(start, self._lookback)
        origin, width, count = self._grid()
        whole = self._plan.widened(first, end)
        damaged = [] if self._errors == "raise" else _lost.damaged_files(whole)
        if not damaged:
            pieces = [(whole, start, end, first)]
        else:
            spans = _lost.merged([_lost.lost_span(whole, skipped) for skipped in damaged])
            clean = _lost.without(whole, [skipped.path for skipped in damaged]).replace(errors="raise")
            pieces = [(clean, a, b, first if floor is None else floor)
                      for a, b, floor, _ in _lost.segments(start, end, spans)]
        names = (("signal_id", "uint16"), ("element", "uint16"), ("bucket", "datetime64[ns]"),
                 ("in_force", "float64"), ("integral", "float64"))
        # One read for both when the buckets are of a given length (those of
        # a count are split by the core's own rule) and every file is read
        # whole, from where it lies: the plain overview's files are then
        # the series' last ones, which the core checks.
        together = (self._every is not None and self._errors == "raise" and len(pieces) == 1
                    and not _remote.is_place(self._plan.source))
        parts = []
        for plan, a, b, looks_from in pieces:
            request = _in_force.series_request(plan.widened(looks_from, b), looks_from, a, copied=True, errors="raise")
            buckets = _series.WeightedBuckets(a, b, origin, width, count, self._max_gap, looks_from, self._starts())
            if together:
                raw, raw_plain = _core.time_weighted(request, buckets, plain)
                if raw_plain is not None:
                    report_clock(request)
                    weighted = {name: numpy.frombuffer(raw[name], dtype=dtype) for name, dtype in names}
                    return weighted, raw_plain
            else:
                raw = _core.time_weighted(request, buckets)
            parts.append({name: numpy.frombuffer(raw[name], dtype=dtype) for name, dtype in names})
        if len(parts) == 1:
            return parts[0]
        if not parts:  # the whole window lies in what damaged files lost
            return {name: numpy.zeros(0, dtype=dtype) for name, dtype in names}
        return _summed(parts, _Buckets(origin, width, self._starts()))

    def to_pandas(self, *, names: bool = False) -> Any:
        """The rows as a pandas DataFrame; with ``names=True`` and a catalog
        (the scan's), ``name`` and ``unit`` follow ``element``, categorical,
        missing where the catalog has no entry for the row's code."""
        frame = Result.to_pandas(self)
        catalog = self._plan.catalog
        if names and catalog is not None:
            from zentrail._names import labels as _labels

            labels = _labels.Labels(catalog, self._plan.codes, ("name", "unit"))
            found = labels.indices_of(frame["signal_id"].to_numpy(), frame["element"].to_numpy(), ("name", "unit"))
            pandas = import_extra("pandas", "Overview.to_pandas()", "pandas")
            for at, field in enumerate(("name", "unit"), start=2):
                frame.insert(at, field, labels.pandas_column(pandas, field, found[field]))
        return frame

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream: ``pyarrow.table(overview)``,
        ``polars.DataFrame(overview)`` and DuckDB read it. The read happens in
        this call, and the stream hands on the engine's columns as they are;
        ``requested_schema`` is ignored (the columns have one form). A
        time-weighted overview's columns are joined here first."""
        if self._time_weighted:
            return Result.__arrow_c_stream__(self, requested_schema)
        every = None if self._every is None else self._grid()
        return _core.overview(self._reported(self._plan.request(errors=self._errors)), self._buckets, True, every,
                              self._starts())

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        # An overview pickled before errors= holds no (errors, skipped) ahead
        # of its own fields; one pickled before buckets of a given length and
        # time weights ends at (scan, buckets).
        state = tuple(state)
        if len(state) in (2, 6):
            state = ("raise", []) + state
        Result.__setstate__(self, state + (None, False, None, None)[len(state) - 4:])

    def __repr__(self) -> str:
        return f"<zentrail.Overview in {self._buckets} buckets of {self._plan.describe()}>"


class _Buckets:
    """Where an overview's buckets begin: ``width`` apart from ``origin``, or
    listed (``starts``, days of a zone, whose lengths vary)."""

    def __init__(self, origin: int, width: int, starts: Any = None) -> None:
        self.origin, self.width, self.starts = origin, width, starts

    def index(self, times: Any) -> Any:
        """The bucket of each bucket start (int64 ns)."""
        import numpy

        if self.starts is None:
            return (times - self.origin) // self.width
        return numpy.searchsorted(self.starts, times, side="right") - 1

    def start(self, index: Any) -> Any:
        """The start (int64 ns) of each bucket index."""
        return self.origin + index * self.width if self.starts is None else self.starts[index]


def _with_time_weighted(plain: Dict[str, Any], weighted: Dict[str, Any], buckets: _Buckets) -> Dict[str, Any]:
    """The rows of both, in key order: the plain overview's columns (count 0,
    NaN and NaT for a bucket with a value in force but no row) and the
    time-weighted ones (0 seconds for a bucket with rows but no time in force)."""
    import numpy

    def keys(columns: Dict[str, Any]) -> Any:
        bucket = buckets.index(columns["bucket"].astype(numpy.int64))
        return (columns["signal_id"].astype(numpy.int64) << 40) | (columns["element"].astype(numpy.int64) << 30) | bucket

    plain_keys, weighted_keys = keys(plain), keys(weighted)
    every_key = numpy.union1d(plain_keys, weighted_keys)
    out: Dict[str, Any] = {
        "signal_id": (every_key >> 40).astype(numpy.uint16),
        "element": ((every_key >> 30) & 1023).astype(numpy.uint16),
        "bucket": buckets.start(every_key & ((1 << 30) - 1)).astype("datetime64[ns]"),
    }
    at_plain = numpy.searchsorted(every_key, plain_keys)
    for name, dtype in OVERVIEW_COLUMNS[3:]:
        fill = 0 if name == "count" else numpy.datetime64("NaT", "ns") if dtype.startswith("datetime") else numpy.nan
        column = numpy.full(len(every_key), fill, dtype=dtype)
        column[at_plain] = plain[name]
        out[name] = column
    at_weighted = numpy.searchsorted(every_key, weighted_keys)
    for name in ("in_force", "integral"):
        column = numpy.zeros(len(every_key))
        column[at_weighted] = weighted[name]
        out[name] = column
    out["twa"] = numpy.divide(out["integral"], out["in_force"], out=numpy.full(len(every_key), numpy.nan),
                              where=out["in_force"] > 0)
    return out


def _summed(parts: List[Dict[str, Any]], buckets: _Buckets) -> Dict[str, Any]:
    """The time-weighted columns of segments of one window, added up per
    (signal_id, element, bucket), in key order."""
    import numpy

    def keys(columns: Dict[str, Any]) -> Any:
        bucket = buckets.index(columns["bucket"].astype(numpy.int64))
        return (columns["signal_id"].astype(numpy.int64) << 40) | (columns["element"].astype(numpy.int64) << 30) | bucket

    every = numpy.concatenate([keys(part) for part in parts])
    unique, at = numpy.unique(every, return_inverse=True)
    out: Dict[str, Any] = {
        "signal_id": (unique >> 40).astype(numpy.uint16),
        "element": ((unique >> 30) & 1023).astype(numpy.uint16),
        "bucket": buckets.start(unique & ((1 << 30) - 1)).astype("datetime64[ns]"),
    }
    for name in ("in_force", "integral"):
        out[name] = numpy.bincount(at, weights=numpy.concatenate([part[name] for part in parts]), minlength=len(unique))
    return out
