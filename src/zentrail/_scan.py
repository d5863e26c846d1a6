"""zentrail.Scan: what a columnar read reads, and its consumers."""

from __future__ import annotations

from zentrail._base import arguments as _arguments, time as _time, classes as _names
from zentrail import _core
from zentrail._names import labels as _labels
from zentrail._read import pushdown as _pushdown, request as _request
from zentrail._base.extras import import_extra
from zentrail._series.overview import Overview

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

    from zentrail._series.aligned import Aligned

    _Columns = Dict[str, Any]
    from zentrail._read.request import Request as _Request
    _Progress = Union[None, bool, Callable[[int, int], Any]]


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

    __slots__ = ("_where", "_listed", "_start", "_end", "_shown", "_codes", "_threads", "_batch_rows", "_progress",
                 "_pushdown", "_codes_given", "_errors", "_catalog", "_skipped")
    # What a Scan describes (pickled, copied to narrowed scans): all but what its last read passed over.
    _STATE = __slots__[:-1]

    def __init__(self, where: Union[bytes, List[bytes]], listed: bool, start: _time._BoundTuple,
                 end: _time._BoundTuple, shown: Tuple[str, str], codes: Any, threads: Optional[int], batch_rows: int,
                 progress: _Progress, errors: str = "raise", catalog: Any = None) -> None:
        """Made by zentrail.scan and zentrail.scan_files, which check the arguments."""
        self._where = where
        self._listed = listed
        self._start = start
        self._end = end
        self._shown = shown
        self._codes = codes
        self._threads = threads
        self._batch_rows = batch_rows
        self._progress = progress
        self._pushdown = _pushdown.Pushdown()
        # The codes are the caller's own, as given (not narrowed by where()).
        self._codes_given = codes is not None
        self._errors = errors
        self._catalog = catalog
        self._skipped: List[Any] = []

    @property
    def catalog(self) -> Any:
        """The :class:`zentrail.Catalog` naming this scan's signals (the
        archive root's ``zentrail-catalog.csv`` or ``.json`` unless another
        was given), or None."""
        return self._catalog

    def _request(self, numpy: bool = False, errors: Optional[str] = None, copied: bool = False) -> _request.Request:
        """The read as the core takes it; for a NumPy consumer, the codes of
        any name column in its place (the names are made here from them).
        `errors`: the scan's own unless given (an overview's); `copied`: files
        elsewhere are read from local copies (see _remote.Place.local_copies)."""
        pushdown = self._pushdown
        core = _labels.core_columns(pushdown.columns)
        codes = _pushdown.code_columns(core) if numpy else None
        if (codes or core) != pushdown.columns:
            pushdown = pushdown.replace(columns=codes or core)
        return _request.Request(self._where, self._listed, self._start, self._end, self._codes, self._threads,
                                self._batch_rows, self._progress, pushdown, errors or self._errors, copied)

    def _read_request(self, numpy: bool = False) -> "_Request":
        """The request of one of the scan's own reads, whose damaged files
        passed over become :attr:`skipped`."""
        request = self._request(numpy)
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

    def _names(self, columns: _Columns, pandas: Any = None) -> _Columns:
        wanted = self._pushdown.columns
        core = _labels.core_columns(wanted)
        if _pushdown.code_columns(core) is not None:
            columns = _names.name_arrays(columns, core, pandas)
        if _labels.has_labels(wanted):
            columns = _labels.add_columns(columns, wanted, self._label_table(), pandas)
        return columns

    def _named(self) -> bool:
        """Whether the NumPy columns of the read are made into names here."""
        wanted = self._pushdown.columns
        return _labels.has_labels(wanted) or _pushdown.code_columns(wanted) is not None

    def _label_table(self) -> "_labels.Labels":
        return _labels.Labels(self._catalog, self._codes)

    def __iter__(self) -> Iterator[_Columns]:
        """Batches of at most ``batch_rows`` rows in read order, as dicts of
        NumPy arrays (no copies); memory stays bounded however long the read.
        On a failure, every row before it is yielded first, then it raises.
        One iterator serves one consumer at a time."""
        batches: Iterator[_Columns] = _core.iterate(self._read_request(numpy=True))
        if self._named():
            batches = (self._names(batch) for batch in batches)
        return self._counted(batches) if self._may_warn() else batches

    def to_numpy(self) -> _Columns:
        """The whole read as one dict of NumPy columns (no partial result on failure)."""
        columns = _core.to_numpy(self._read_request(numpy=True))
        self._warn_if_empty(columns)
        if not self._named():
            return columns
        return self._names(columns)

    def to_pandas(self, *, names: bool = False) -> Any:
        """The whole read as a pandas DataFrame with the columns of
        :meth:`to_numpy` (ImportError naming the extra when pandas is missing).
        With ``names=True`` two categorical columns follow them:
        ``class_name`` (the class as the text writer prints it, "GrWord") and
        ``subtype_name`` ("HiHi"; see :func:`zentrail.subtype_name`), and
        with a catalog two more, ``name`` and ``unit`` (missing where the
        catalog has no entry for the row's code); the uint8 codes stay as
        they are. Name columns chosen with :meth:`select` are categoricals too."""
        pandas = import_extra("pandas", "Scan.to_pandas()", "pandas")
        columns = _core.to_numpy(self._read_request(numpy=True))
        self._warn_if_empty(columns)
        if self._named():
            columns = self._names(columns, pandas)
        if names:
            columns["class_name"] = _names.class_name_column(pandas, columns["item_class"])
            columns["subtype_name"] = _names.subtype_name_column(pandas, columns["item_class"], columns["subtype"])
            if self._catalog is not None and "signal_id" in columns and "element" in columns:
                labels = _labels.Labels(self._catalog, self._codes, ("name", "unit"))
                found = labels.indices_of(columns["signal_id"], columns["element"], ("name", "unit"))
                for field in ("name", "unit"):
                    columns[field] = labels.pandas_column(pandas, field, found[field])
        return pandas.DataFrame(columns, copy=False)

    def _may_warn(self) -> bool:
        """Whether an empty read would be a surprise worth a warning: codes
        were given, and nothing else narrows the rows."""
        return self._codes_given and self._pushdown.limit != 0 and not self._pushdown.narrows_rows()

    def _warn_if_empty(self, columns: _Columns) -> None:
        if self._may_warn() and not any(len(column) for column in columns.values()):
            _warn_no_rows(self, 3)

    def _counted(self, batches: Iterator[_Columns]) -> Iterator[_Columns]:
        return _WarnIfEmpty(self, batches)

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
        if not _labels.has_labels(self._pushdown.columns):
            return _core.arrow_stream(self._read_request(), requested_schema)
        pyarrow = import_extra("pyarrow", "a scan's name, unit and description columns in Arrow", "arrow")
        reader = pyarrow.RecordBatchReader.from_stream(_Capsule(_core.arrow_stream(self._read_request(), None)))
        wanted = self._pushdown.columns
        schema = _labels.arrow_schema(pyarrow, reader.schema, wanted)
        batches = _labels.arrow_batches(pyarrow, reader, schema, wanted, self._label_table())
        return pyarrow.RecordBatchReader.from_batches(schema, batches).__arrow_c_stream__(requested_schema)

    def __arrow_c_schema__(self) -> object:
        """The Arrow schema of the stream (a struct of the selected columns),
        without reading anything."""
        core = _labels.core_columns(self._pushdown.columns)
        capsule = _core.arrow_schema(_pushdown.column_places(core))
        if core == self._pushdown.columns:
            return capsule
        pyarrow = import_extra("pyarrow", "a scan's name, unit and description columns in Arrow", "arrow")
        schema = pyarrow.schema(_Capsule(schema=capsule))
        return _labels.arrow_schema(pyarrow, schema, self._pushdown.columns).__arrow_c_schema__()

    @property
    def columns(self) -> List[str]:
        """The names of the columns this scan gives, in order."""
        return list(self._pushdown.columns)

    def select(self, *columns: str) -> "Scan":
        """A Scan of only these columns, in this order (names of
        :attr:`columns`, or the name columns ``class_name`` and
        ``subtype_name``, or with a catalog its ``name``, ``unit`` and
        ``description``): only they are copied and handed on."""
        have = self._pushdown.columns
        more = _pushdown.NAME_COLUMNS + (_labels.LABEL_COLUMNS if self._catalog is not None else ())
        if self._catalog is None and any(name in _labels.LABEL_COLUMNS for name in columns):
            raise ValueError("the columns name, unit and description come from a catalog, and this scan has none "
                             "(zentrail-catalog.csv in the archive root, or catalog= of zentrail.scan)")
        chosen = _pushdown.checked_columns(columns, have + tuple(n for n in more if n not in have))
        return self._with(self._pushdown.replace(columns=chosen))

    def limit(self, n: int) -> "Scan":
        """A Scan of at most the first ``n`` rows (of those the conditions
        given before it keep); the read stops once it has them. Conditions
        given after it apply to these rows (see :meth:`where`)."""
        if not isinstance(n, int) or isinstance(n, bool):
            raise TypeError(f"n must be an int, not {type(n).__name__}")
        if not 0 <= n < 2 ** 63:
            raise ValueError(f"n must be at least 0, not {n!r}")
        return self._with(self._pushdown.limited(n))

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
        row_start = None if start is None else _time.bound_tuple(start, "start")
        row_end = None if end is None else _time.bound_tuple(end, "end")
        ids = None if signal_ids is None else _pushdown.small_ints(signal_ids, "signal_ids", _pushdown.ID_COUNT)
        kept = None if elements is None else _pushdown.small_ints(elements, "elements", _pushdown.ELEMENT_COUNT)
        classes = None if item_classes is None else _pushdown.small_ints(item_classes, "item_classes", 32)
        chosen = None if subtypes is None else _pushdown.small_ints(subtypes, "subtypes", 8)
        pushed = self._pushdown
        codes = self._codes
        if pushed.limit is None and codes is not None:
            # Before any limit, the codes themselves narrow: fewer ids are
            # decoded at all, and a code of no kept element is not read.
            import numpy

            if ids is not None:
                codes = codes[numpy.isin(codes >> 10, numpy.array(sorted(ids), dtype=numpy.int32))]
                ids = None
            if kept is not None:
                elements_now = kept if pushed.elements is None else kept & pushed.elements
                # Without element 0 no text row passes either, so a code of
                # another index can give nothing.
                if 0 not in elements_now:
                    codes = codes[numpy.isin(codes & 1023, numpy.array(sorted(elements_now), dtype=numpy.int32))]
        scan = self._with(pushed.narrowed(ids=ids, elements=kept, classes=classes, subtypes=chosen,
                                          start=row_start, end=row_end))
        if codes is not scan._codes:
            scan._codes_given = False
        scan._codes = codes
        return scan

    def _within(self, start: Optional[_time._BoundTuple], end: Optional[_time._BoundTuple]) -> "Scan":
        """A Scan whose rows lie within these bounds too (None: that side as it is)."""
        return self._with(self._pushdown.narrowed(start=start, end=end))

    def lazy(self) -> Any:
        """A ``polars.LazyFrame`` over this scan that pushes the query's
        columns, its filters on time, signal_id, element, item_class and
        subtype (comparisons, ``is_in``, ``is_between``, combined with ``&``),
        its row limit and batch size into the read; any other part of a filter
        is applied by polars after the read. The result always equals the
        same query on ``polars.DataFrame(scan)``. Needs polars with IO plugins
        (``pip install "zentrail[polars]"``)."""
        from zentrail._read import polars as _polars

        return _polars.lazy_frame(self)

    def _resized(self, batch_rows: int) -> "Scan":
        scan = self._with(self._pushdown)
        scan._batch_rows = _arguments.count(batch_rows, "batch_rows", _arguments.DEFAULT_BATCH_ROWS)
        return scan

    def _with(self, pushdown: "_pushdown.Pushdown") -> "Scan":
        scan = Scan.__new__(Scan)
        scan.__setstate__(self.__getstate__())
        scan._pushdown = pushdown
        return scan

    def align(self, every: Any, *, how: Optional[str] = "step", max_gap: Any = None,
              lookback: Any = "7d") -> "Aligned":
        """The scan's codes on the time grid ``S + k * every`` of its window,
        one float64 column per code: with ``how="step"`` the value in force
        at each instant, with ``how="linear"`` interpolated between the rows
        around it (``how=None``: as each signal's catalog entry says, step
        where it says nothing); NaN where there is none or where ``max_gap``
        is exceeded; the columns named by the catalog.
        The value in force at the start is looked for up to ``lookback``
        before it (None: every earlier file). Durations are timedeltas or
        texts such as ``"1min"``. A :class:`zentrail.Aligned`, read when
        consumed; see the page "Time series"."""
        from zentrail._series.aligned import Aligned

        return Aligned(self, every, how, max_gap, lookback)

    def overview(self, buckets: Optional[int] = None, *, every: Any = None, time_weighted: bool = False,
                 lookback: Any = "7d", max_gap: Any = None, errors: Optional[str] = None) -> Overview:
        """The scan summed up in ``buckets`` equal time buckets of its window
        (1000 unless given), or in buckets ``every`` long from its start,
        per signal id and element (count, mean, min, max, first, last and
        their instants), computed while the files are decoded; with
        ``time_weighted=True`` also the seconds a value was in force, its
        integral and time-weighted average per bucket. A
        :class:`zentrail.Overview`, read when consumed. ``errors`` as for
        :func:`zentrail.scan`; None: the scan's."""
        return Overview(self, buckets, every, time_weighted, lookback, max_gap,
                        self._errors if errors is None else _request.check_errors(errors))

    def __getstate__(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self._STATE)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        self._pushdown = _pushdown.Pushdown()
        self._codes_given = False
        self._errors = "raise"
        self._catalog = None
        for name, value in zip(self._STATE, state):
            setattr(self, name, value)
        self._skipped = []

    def __repr__(self) -> str:
        import os

        where = repr(os.fsdecode(self._where)) if isinstance(self._where, bytes) else \
            f"{len(self._where)} files" if isinstance(self._where, list) else repr(self._where)
        return f"<zentrail.Scan of {where} from {self._shown[0]} to {self._shown[1]}, " \
            f"{'every code' if self._codes is None else f'{len(self._codes)} codes'}>"


class _Capsule:
    """A capsule of the core's, handed to pyarrow through the protocol it reads."""

    __slots__ = ("_stream", "_schema")

    def __init__(self, stream: object = None, schema: object = None) -> None:
        self._stream = stream
        self._schema = schema

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        return self._stream

    def __arrow_c_schema__(self) -> object:
        return self._schema


class _WarnIfEmpty:
    """An iteration of a scan's batches that warns at its end when it gave
    none. Not a generator: a second consumer meets the core's iterator and
    its refusal, as it would without this."""

    __slots__ = ("_scan", "_batches", "_empty")

    def __init__(self, scan: Scan, batches: Iterator[_Columns]) -> None:
        self._scan = scan
        self._batches = batches
        self._empty = True

    def __iter__(self) -> "_WarnIfEmpty":
        return self

    def __next__(self) -> _Columns:
        try:
            batch = next(self._batches)
        except StopIteration:
            if self._empty:
                self._empty = False  # once
                _warn_no_rows(self._scan, 2)
            raise
        self._empty = False
        return batch


def _warn_no_rows(scan: Scan, stacklevel: int) -> None:
    """A UserWarning that `scan`'s codes gave no row, naming up to five of
    them and, for a code that looks like a bare signal id (below 1024) of a
    signal the files hold, the codes of that signal's values."""
    import warnings

    codes = [int(c) for c in scan._codes]
    named = ", ".join(str(c) for c in codes[:5]) + (f" and {len(codes) - 5} more" if len(codes) > 5 else "")
    message = f"zentrail.scan: no row for the codes {named} between {scan._shown[0]} and {scan._shown[1]}"
    bare = [c for c in codes if c < 1024]
    if bare:
        # Damaged files were told of by the read itself: here they pass silently.
        inventory = _core.inventory(_request.Request(scan._where, scan._listed, scan._start, scan._end,
                                                     threads=scan._threads,
                                                     errors="raise" if scan._errors == "raise" else "skip"), False)
        import numpy

        ids = numpy.frombuffer(inventory["signal_id"], dtype=numpy.uint16)
        elements = numpy.frombuffer(inventory["elements"], dtype=numpy.int32)
        counts: Dict[int, int] = {}
        for ident, count in zip(ids.tolist(), elements.tolist()):
            counts[ident] = max(counts.get(ident, 0), count)
        hints = [f"{c} would be {c * 1024}" + (f"..{c * 1024 + counts[c] - 1}" if counts[c] > 1 else "")
                 for c in bare if counts.get(c, 0) > 0][:5]
        if hints:
            message += ("; a code is signal id * 1024 + element index, and as signal ids of these files "
                        "the codes " + ", ".join(hints))
    warnings.warn(message, UserWarning, stacklevel=stacklevel + 1)


def make_scan(where: Union[bytes, List[bytes]], listed: bool, dt_start: Any, dt_end: Any,
              signals: Optional[Iterable[Any]],
              threads: Optional[int], batch_rows: Optional[int], progress: _Progress, errors: str = "raise",
              ids: Optional[Iterable[Any]] = None, catalog: Any = None) -> Scan:
    from zentrail._names import catalog as _catalog

    start, end = _time.window(dt_start, dt_end)
    names = _catalog.resolve(catalog, None if listed else where)
    # Ids alone are a condition on the rows, not 1024 codes each: a grid or
    # an overview then has a column for each element that has values.
    codes = _arguments.codes_array(signals, names, ids if signals is not None else None)
    scan = Scan(where, listed, start, end, (str(dt_start), str(dt_end)), codes,
                None if threads is None else _arguments.count(threads, "threads", 1),
                _arguments.count(batch_rows, "batch_rows", _arguments.DEFAULT_BATCH_ROWS),
                _arguments.check_progress(progress), _request.check_errors(errors), names)
    if signals is None and ids is not None:
        scan = scan.where(signal_ids=_arguments.id_list(ids, names))
    return scan
