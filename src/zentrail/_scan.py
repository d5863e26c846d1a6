"""zentrail.Scan: a read plan and its consumers."""

from __future__ import annotations

from zentrail._read import columns as _columns, request as _request
from zentrail._read.plan import ReadPlan, plan_of_state
from zentrail._series.aligned import Aligned
from zentrail._series.at import ValuesAt
from zentrail._series.overview import Overview
from zentrail._series.window import DEFAULT_LOOKBACK

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple

    _Columns = Dict[str, Any]


class Scan:
    """A columnar read of archive files, made by :func:`zentrail.scan` or
    :func:`zentrail.scan_files`.

    It holds what to read and reads nothing until consumed; every consumption
    reads afresh, so one Scan can be consumed any number of times, by several
    threads at once. Iterate it for dicts of NumPy arrays of at most
    ``batch_rows`` rows each (bounded memory however long the read), or call
    :meth:`to_numpy` or :meth:`to_pandas`, or hand it to ``pyarrow.table``,
    ``polars.DataFrame`` or DuckDB (Arrow PyCapsule stream interface).

    The columns, one row per tuple that :func:`zentrail.read` gives:

    - ``time``: datetime64[ns], naive wall-clock time at full nanosecond
      resolution (read truncates to milliseconds); archive day 0 is 2000-01-01.
      Read in a zone (``tz=``), the instant: UTC in NumPy, the zone's in
      pandas, Arrow and polars (see the page "Time zones").
    - ``signal_id``: uint16, the tuple's id.
    - ``element``: uint16, the element index whose code selected the row; 0
      for a text row, which stands for its whole record.
    - ``value``: float64, the tuple's value (integers and 0/1 exactly); NaN
      for a text row.
    - ``item_class``: uint8, the record's class, 1 to 31.
    - ``subtype``: uint8, the record's subtype, 0 to 7 (for alarms the limit:
      Lo, Hi, LoLo, HiHi, ...).

    Two name columns may be chosen beside them with :meth:`select`:
    ``class_name`` (the class as the text writer prints it, "GrWord") and
    ``subtype_name`` ("HiHi"; see :func:`zentrail.subtype_name`). The Arrow
    stream gives them dictionary-encoded (uint8 indices, utf8 names:
    categoricals in pandas and polars, ENUM-like in DuckDB; class_name's
    indices are the item_class column itself, no copy); NumPy consumers get
    str arrays, :meth:`to_pandas` categoricals.

    Failures (walk errors, files that cannot be opened or read, malformed
    records) raise what :func:`zentrail.read` raises, with the same messages
    and notes; with ``errors="warn"`` or ``"skip"`` a damaged file is passed
    over instead (see :func:`zentrail.scan`) and :attr:`skipped` lists it.
    Ctrl-C (and any signal handler that raises) stops a read within a few
    tens of milliseconds. A Scan pickles as what it describes.
    """

    __slots__ = ("_plan", "_skipped")

    def __init__(self, plan: ReadPlan) -> None:
        """The scan of a plan: zentrail.scan and zentrail.scan_files make
        one; ``Scan(scan.plan)`` is the same scan."""
        if not isinstance(plan, ReadPlan):
            raise TypeError(f"a Scan is made of a zentrail.ReadPlan (Scan.plan), not {type(plan).__name__}")
        self._plan = plan
        self._skipped: List[Any] = []

    @property
    def plan(self) -> ReadPlan:
        """The :class:`zentrail.ReadPlan` this scan reads: frozen, picklable,
        and what the readers built on a scan (grids, overviews, the polars,
        Dask and Spark adapters) take."""
        return self._plan

    @property
    def catalog(self) -> Any:
        """The :class:`zentrail.Catalog` naming this scan's signals (the
        archive root's ``zentrail-catalog.csv`` or ``.json`` unless another
        was given), or None."""
        return self._plan.catalog

    def _begun(self, numpy: bool = False) -> _request.Request:
        """The request of one of the scan's own reads, whose damaged files
        passed over become :attr:`skipped`."""
        request = _columns.core_request(self._plan, numpy)
        self._skipped = _request.skipped_files(request)
        return request

    @property
    def skipped(self) -> List[Any]:
        """The damaged files the last read of this scan passed over (with
        ``errors="warn"`` or ``"skip"``), in read order, as
        ``zentrail.Skipped`` (path, byte offset, message); filled as the
        read reaches them, so an iteration or a stream shows them as it goes.
        Empty before any read and with ``errors="raise"``. Of the last read
        begun on this object, whichever thread began it."""
        return list(self._skipped)

    def __iter__(self) -> Iterator[_Columns]:
        """Batches of at most ``batch_rows`` rows in read order, as dicts of
        NumPy arrays (no copies); memory stays bounded however long the read.
        On a failure, every row before it is yielded first, then it raises.
        One iterator serves one consumer at a time."""
        return _columns.batches(self._plan, self._begun(numpy=True))

    def to_numpy(self) -> _Columns:
        """The whole read as one dict of NumPy columns (no partial result on failure)."""
        return _columns.numpy_columns(self._plan, self._begun(numpy=True))

    def to_pandas(self, *, names: bool = False) -> Any:
        """The whole read as a pandas DataFrame with the columns of
        :meth:`to_numpy` (ImportError naming the extra when pandas is missing).
        With ``names=True`` two categorical columns follow them:
        ``class_name`` (the class as the text writer prints it, "GrWord") and
        ``subtype_name`` ("HiHi"; see :func:`zentrail.subtype_name`), and
        with a catalog two more, ``name`` and ``unit`` (missing where the
        catalog has no entry for the row's code); the uint8 codes stay as
        they are. Name columns chosen with :meth:`select` are categoricals too."""
        return _columns.pandas_frame(self._plan, self._begun(numpy=True), names)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream: ``pyarrow.table(scan)``,
        ``polars.DataFrame(scan)`` and DuckDB read a scan through it. It
        decodes as the consumer asks for batches, within the memory bound of
        iteration, on the consumer's own threads if it likes; nothing is read
        until its first batch is asked for, and releasing it early stops the
        workers. A failure mid-stream ends it with the stream's error, whose
        text is read's message and note (file and byte offset), so the
        consumer raises rather than return part of a result. Walk errors raise
        here. ``progress`` is not reported to stream consumers (they call the
        stream from threads where a Python callable cannot run safely). A
        ``requested_schema`` (a capsule) may ask for some of the columns, in
        any order, with their own types; anything else raises ValueError.
        The catalog's columns (``name``, ``unit``, ``description``) are
        added to each batch by pyarrow (``pip install "zentrail[arrow]"``):
        dictionary-encoded, null where the catalog names no entry."""
        return _columns.arrow_stream(self._plan, self._begun(), requested_schema)

    def __arrow_c_schema__(self) -> object:
        """The Arrow schema of the stream (a struct of the selected columns),
        without reading anything."""
        return _columns.arrow_schema(self._plan)

    @property
    def columns(self) -> List[str]:
        """The names of the columns this scan gives, in order."""
        return list(self._plan.pushdown.columns)

    def select(self, *columns: str) -> "Scan":
        """A Scan of only these columns, in this order (names of
        :attr:`columns`, or the name columns ``class_name`` and
        ``subtype_name``, or with a catalog its ``name``, ``unit`` and
        ``description``): only they are copied and handed on."""
        return Scan(self._plan.select(*columns))

    def limit(self, n: int) -> "Scan":
        """A Scan of at most the first ``n`` rows (of those the conditions
        given before it keep); the read stops once it has them. Conditions
        given after it apply to these rows (see :meth:`where`)."""
        return Scan(self._plan.limit(n))

    def where(self, *, start: Optional[Any] = None, end: Optional[Any] = None,
              signal_ids: Optional[Iterable[int]] = None, elements: Optional[Iterable[int]] = None,
              item_classes: Optional[Iterable[int]] = None, subtypes: Optional[Iterable[int]] = None) -> "Scan":
        """A Scan of only the rows that meet every condition given, each
        applied inside the read: ``start``/``end`` narrow the window of the
        rows' times (bounds as for :func:`zentrail.scan`; the files read stay
        those of the scan's own bounds, since a file may hold rows of other
        days than its name's: give the scan narrower bounds to open fewer
        files); ``signal_ids`` keeps the rows of those ids; ``elements`` the
        rows of those element indices (a text row is element 0);
        ``item_classes`` and ``subtypes`` the rows of those. Calls combine
        (the rows meeting all of them). Conditions given after
        :meth:`limit` apply to the rows that limit lets through:
        ``scan.limit(50).where(subtypes=[7])`` is those of the first 50 rows
        of subtype 7, as ``scan.where(subtypes=[7]).limit(50)`` is the
        first 50 rows of subtype 7."""
        return Scan(self._plan.where(start=start, end=end, signal_ids=signal_ids, elements=elements,
                                     item_classes=item_classes, subtypes=subtypes))

    def lazy(self) -> Any:
        """A ``polars.LazyFrame`` over this scan that pushes the query's
        columns, its filters on time, signal_id, element, item_class and
        subtype (comparisons, ``is_in``, ``is_between``, combined with ``&``),
        its row limit and batch size into the read; any other part of a filter
        is applied by polars after the read. The result always equals the
        same query on ``polars.DataFrame(scan)``. Needs polars with IO plugins
        (``pip install "zentrail[polars]"``)."""
        from zentrail._read import polars as _polars

        return _polars.lazy_frame(self._plan)

    def align(self, every: Any, *, how: Optional[str] = None, max_gap: Any = None,
              lookback: Any = DEFAULT_LOOKBACK) -> Aligned:
        """The scan's codes on the time grid ``S + k * every`` of its window,
        one float64 column per code: with ``how="step"`` the value in force
        at each instant, with ``how="linear"`` interpolated between the rows
        around it, with ``how=None`` (the default) as each signal's catalog
        entry says (step where it says nothing, or without a catalog); NaN
        where there is none or where ``max_gap`` is exceeded; the columns
        named by the catalog, uniquely. The value in force at the start is
        looked for up to ``lookback`` before it (None: every earlier file).
        Durations are texts such as ``"1min"`` or ``"1.5s"``, a number of
        seconds, or timedeltas (see the page "Time series"). A
        :class:`zentrail.Aligned`, read when consumed."""
        return Aligned(self._plan, every, how, max_gap, lookback)

    def at(self, times: Any, *, how: Optional[str] = None, lookback: Any = DEFAULT_LOOKBACK) -> ValuesAt:
        """Each of the scan's codes' value at each of ``times`` (one instant
        or an iterable of them, each as a start bound is read), as
        :func:`zentrail.at` gives it: the scan's source, codes, conditions,
        zone, catalog and errors; its window unused. A
        :class:`zentrail.ValuesAt`, read when consumed."""
        return ValuesAt(self._plan, times, how, lookback)

    def overview(self, buckets: Optional[int] = None, *, every: Any = None, time_weighted: bool = False,
                 lookback: Any = DEFAULT_LOOKBACK, max_gap: Any = None, errors: Optional[str] = None) -> Overview:
        """The scan summed up in ``buckets`` equal time buckets of its window
        (1000 unless given), or in buckets ``every`` long from its start,
        per signal id and element (count, mean, min, max, first, last and
        their instants), computed while the files are decoded; with
        ``time_weighted=True`` also the seconds a value was in force, its
        integral and time-weighted average per bucket. A
        :class:`zentrail.Overview`, read when consumed. ``errors`` as for
        :func:`zentrail.scan`; None: the scan's."""
        return Overview(self._plan, buckets, every, time_weighted, lookback, max_gap,
                        self._plan.errors if errors is None else _request.check_errors(errors))

    def __getstate__(self) -> ReadPlan:
        return self._plan

    def __setstate__(self, state: Any) -> None:
        # A scan pickled before scans held a plan is the tuple of its fields.
        self._plan = state if isinstance(state, ReadPlan) else plan_of_state(state)
        self._skipped = []

    def __repr__(self) -> str:
        return f"<zentrail.Scan of {self._plan.describe()}>"
