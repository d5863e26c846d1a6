"""zentrail.Aligned: a scan's codes on a common time grid, made in the engine."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

    _Looks = Tuple[Optional[int], Optional[int]]

from zentrail import _core
from zentrail._names import catalog as _catalog, columns as _columns, labels as _labels
from zentrail._series import window as _series
from zentrail._base import time as _time
from zentrail._index import in_force as _in_force
from zentrail._read.capsule import Capsule
from zentrail._series import lost as _lost
from zentrail._read.request import report_clock
from zentrail._read.result import Result, arrow_columns

HOWS = ("step", "linear")
# The most cells (grid rows times columns, the time column among them) a
# grid is held whole in (to_numpy, to_pandas, a table made whole): 2**28,
# 2 GiB of 8-byte values. A larger grid streams (for_each_batch, the Arrow
# stream), in memory bounded by its batches.
MAX_GRID_CELLS = 1 << 28


class Aligned(Result):
    """The values of a :class:`zentrail.Scan`'s codes on the grid
    ``S + k * every`` (k = 0, 1, ... while within the window), made by
    :meth:`zentrail.Scan.align`; see the page "Time series".

    Columns: ``time`` (datetime64[ns], the grid), then one float64 column
    per code, in ascending code order: every code the scan was given (of a
    signal selected whole, by ``ids=`` or a name for all its elements, each
    element the files hold), or with ``signals=None`` every code with a
    value row among the rows considered. A column is named by the scan's
    catalog (a whole-signal entry's name alone where its signal has one
    column, else ``"<name>[<element>]"``), or ``"<signal_id>:<element>"``
    where the catalog has no entry. Names are unique: a name the catalog
    gives to several columns, or that another column bears already (a
    code's name, ``time``), gets the code appended on each column it was
    given to, ``"<name> (<signal_id>:<element>)"``. A column's Arrow field
    carries the entry's ``unit`` and ``description`` as metadata, and
    ``to_pandas()`` keeps them in ``DataFrame.attrs["units"]`` and
    ``attrs["descriptions"]`` (by column name).

    ``how="step"``: the value of the last row at or before each instant (of
    several at one instant, the last in read order); ``how="linear"``: a row
    at the instant itself, else the value interpolated between the rows
    around it; ``how=None`` (the default): each code as its catalog entry's
    ``interpolation`` says, step where it says nothing or there is no
    catalog. NaN where there is none, or where ``max_gap`` is exceeded.
    The value in force at the window's start is looked for up to
    ``lookback`` before it (None: in every earlier file), without decoding
    the whole lookback.

    With the scan's ``errors="warn"`` or ``"skip"`` a damaged file is passed
    over, and no value is carried across the time its rows may have held
    (see the page "Time series", "Damaged files"); such a grid is read in
    segments and held whole.

    Computed in the engine on the scan's threads and streamed grid row by
    grid row: the Arrow stream hands over its first batch before the read is
    done, in memory bounded by the batches (rows out of time order in their
    file, or of another day than their file's, are held until settled).
    ``to_numpy()``, ``to_pandas()`` (and without pyarrow, with a catalog,
    the Arrow stream) hold the grid whole: a grid of more than
    ``MAX_GRID_CELLS`` cells (2**28: rows times columns, ``time`` among
    them) raises ValueError there, before its columns are read; stream it.
    Like a Scan it reads nothing until consumed and reads afresh each time.
    """

    __slots__ = ("_plan", "_every", "_how", "_max_gap", "_lookback", "_considered")
    _INSTANT_COLUMNS = ("time",)

    def _zone(self) -> Any:
        return self._plan.zone

    def __init__(self, plan: ReadPlan, every: Any, how: Optional[str] = None, max_gap: Any = None,
                 lookback: Any = _series.DEFAULT_LOOKBACK, *,
                 considered: Optional[Tuple[Optional[int], Optional[int]]] = None) -> None:
        """Made by Scan.align, whose arguments are checked here.
        ``considered``: (first, last) instants of the rows considered (None
        on a side without limit), when a part of a larger grid looks where
        the whole grid looks (see zentrail._series.parts); else they follow
        from the lookback."""
        every_ns = _time.duration_ns(every, "every")
        if how is not None and how not in HOWS:
            raise ValueError(f"how must be 'step' or 'linear', not {how!r}; None interpolates each signal as its "
                             f"catalog entry says")
        gap, back = _series.durations(max_gap, lookback)
        _series.window(plan)
        # With "warn" or "skip" a damaged file costs the grid the time its
        # rows may have held (zentrail._series.lost); the engine's own reads
        # always stop at one.
        self._set_errors(plan.errors)
        self._plan = plan
        self._every = every_ns
        self._how = how
        self._max_gap = gap
        self._lookback = back
        self._considered = considered

    @property
    def plan(self) -> ReadPlan:
        """The :class:`zentrail.ReadPlan` of the scan this grid is made of."""
        return self._plan

    @property
    def every(self) -> int:
        """The grid's step in nanoseconds."""
        return self._every

    @property
    def rows(self) -> int:
        """The grid's rows (instants), known before any read."""
        start, end = _series.window(self._plan)
        times = _series.grid_times(start, end, self._every, self._plan.zone)
        return (end - start) // self._every + 1 if times is None else len(times)

    def part(self, first: int, last: int, considered: Optional[Tuple[Optional[int], Optional[int]]] = None) -> "Aligned":
        """The grid's instants from ``first`` to ``last`` (ns since
        1970-01-01, both instants of this grid) as a grid of their own that
        reads its rows where this whole grid reads them (``considered``:
        where that is, when this grid is itself a part), so that its rows
        equal this grid's rows there."""
        import numpy

        start, end = _series.window(self._plan)
        looks = considered or self._considered or \
            _series.considered(start, end, self._reach(), self._lookback)
        plan = self._plan.replace(start=_time.instant_bound(first), end=_time.instant_bound(last),
                                  shown=(_time.instant_text(first), _time.instant_text(last)),
                                  pushdown=self._plan.pushdown.replace(row_start=None, row_end=None))
        return Aligned(plan, numpy.timedelta64(self._every, "ns"), self._how,
                       None if self._max_gap is None else numpy.timedelta64(self._max_gap, "ns"), None,
                       considered=looks)

    def by_day(self) -> List["Aligned"]:
        """The grid cut at midnights: a grid per day holding grid instants,
        in order, each reading only the files its rows need (plus the look
        back of the whole grid) and holding exactly this grid's rows of that
        day. A Dask partition or a lake's day file each."""
        start, end = _series.window(self._plan)
        return [self.part(first, last) for first, last in _series.day_parts(start, end, self._every, self._plan.zone)]

    def _reach(self) -> str:
        """How far after the window the rows considered reach: "step" (to
        its end) when every column steps, else "linear" (``lookback`` after
        it, where a column's next row may lie). Known before any read: with
        how=None, from the catalog's kinds of the codes given (all of a
        signal's elements: a superset of the columns), and "linear" when the
        codes are found by the read."""
        if self._how is not None:
            return self._how
        catalog = self._plan.catalog
        codes = self._plan.codes
        if catalog is None or (codes is not None and not _linear(catalog, codes).any()):
            return "step"
        return "linear"

    def _grid_read(self, plan: Optional[ReadPlan] = None,
                   considered: Optional[_Looks] = None) -> Tuple[ReadPlan, Any, Any]:
        """The plan read (its whole signals narrowed to the elements the
        files hold), its request over the rows considered, and the grid; of
        `plan` and `considered` (a segment's) when given, else the grid's own."""
        plan = _series.whole_signals_narrowed(self._plan if plan is None else plan)
        start, end = _series.window(plan)
        first = _series.before(start, self._lookback)
        last = end if self._reach() == "step" else _series.after(end, self._lookback)
        considered = considered or self._considered
        if considered is not None:
            first, last = considered
        # The files wholly before the start as the index sums them up, where it can.
        request = _in_force.series_request(plan.widened(first, last), first, start, copied=True, errors="raise")
        grid = _series.SeriesGrid(start, end, self._every, False, self._max_gap, first, last,
                                  times=_series.grid_times(start, end, self._every, plan.zone))
        if self._how is not None:
            grid.linear = self._how == "linear"
        elif plan.catalog is not None:
            import numpy

            codes = plan.codes
            if codes is None:  # the codes with rows, found by the passes before the rows
                codes = [_columns.code_of(name) for name in _core.align_columns(request, grid)]
            codes = numpy.asarray(codes, dtype=numpy.int64)
            linear = _linear(plan.catalog, codes)
            if len(codes) and linear.all():
                grid.linear = True
            elif linear.any():
                grid.linear_codes = codes[linear].astype(numpy.int32)
        return plan, request, grid

    def _check_cells(self, columns: int, found: bool = True) -> None:
        """ValueError when the grid with `columns` code columns (`found`:
        all of them, else those known so far) is too large to hold whole."""
        rows = self.rows
        cells = rows * (columns + 1)
        if cells > MAX_GRID_CELLS:
            size = f"{rows:,} rows of {columns + 1:,} columns (time among them), {cells:,} cells" if found else \
                f"{rows:,} rows, at least {cells:,} cells"
            raise ValueError(f"the grid of {self._plan.describe()} every {_time.duration_text(self._every)} has "
                             f"{size}: more than MAX_GRID_CELLS "
                             f"({MAX_GRID_CELLS:,}) to hold whole in to_numpy(), to_pandas() or a table. Stream "
                             f"it in bounded memory instead (for_each_batch(), or the Arrow stream: "
                             f"pyarrow.RecordBatchReader.from_stream(aligned)), or make it coarser or its window "
                             f"narrower")

    def _columns_whole(self, segments: Optional[List[Tuple[ReadPlan, _Looks]]] = None) -> Tuple[Dict[str, Any], List[int]]:
        """The grid's columns held whole, and the code of each code column
        (`segments`: those of a grid around damaged files, see _segments)."""
        import numpy

        self._check_cells(0, found=False)
        segments = self._segments() if segments is None else segments
        if segments is not None:
            plan = _series.whole_signals_narrowed(self._plan)
            names, times, values = self._joined(plan, segments)
        else:
            plan, request, grid = self._grid_read()
            if plan.codes is not None:
                self._check_cells(len(plan.codes))
            try:
                names, times, values = _core.align(request, grid, None, MAX_GRID_CELLS)
            except (OSError, ValueError) as error:
                raise _told_where(error, self._plan) from None
            report_clock(request)
            if times is None:  # the engine found more columns than fit
                self._check_cells(len(names))
        codes = [_columns.code_of(name) for name in names]
        columns = {"time": numpy.frombuffer(times, dtype="datetime64[ns]")}
        for name, column in zip(self._names(plan, names, codes), values):
            columns[name] = numpy.frombuffer(column, dtype=numpy.float64)
        return columns, codes

    def _read(self) -> Dict[str, Any]:
        return self._columns_whole()[0]

    def _joined(self, plan: ReadPlan, segments: List[Tuple[ReadPlan, _Looks]]) -> Tuple[List[str], Any, List[Any]]:
        """The engine columns of the grid from those of its segments: NaN at
        every instant no segment holds; a column for every code given."""
        start, end = _series.window(self._plan)
        given = [] if plan.codes is None else [_columns.code_name(int(code)) for code in plan.codes]
        parts: List[Tuple[List[str], Any, List[Any]]] = [(given, b"", [])]
        for segment, considered in segments:
            _, request, grid = self._grid_read(segment, considered)
            names, times, values = _core.align(request, grid, None, MAX_GRID_CELLS)
            if times is None:
                self._check_cells(len(names))
            parts.append((names, times, values))
        joined = _joined(self._instants(start, end), parts)
        self._check_cells(len(joined[0]))
        return joined

    def _segments(self) -> Optional[List[Tuple[ReadPlan, _Looks]]]:
        """With errors "warn" or "skip" and a damaged file among those the
        grid considers: the grid cut at the spans its damaged files lost
        (see zentrail._series.lost), as the plan of each segment's grid
        instants without the damaged files and where its rows lie; None
        otherwise. The files passed over become :attr:`skipped`; under
        "warn" each is told of once."""
        if self._errors == "raise":
            return None
        start, end = _series.window(self._plan)
        looks = self._considered or _series.considered(start, end, self._reach(), self._lookback)
        whole = self._plan.widened(*looks)
        damaged = _lost.damaged_files(whole)
        if not damaged:
            return None
        spans = _lost.merged([_lost.lost_span(whole, skipped) for skipped in damaged])
        self._told(damaged)
        clean = _lost.without(whole, [skipped.path for skipped in damaged]).replace(errors="raise")
        out = []
        for first, last, floor, ceiling in _lost.segments(start, end, spans):
            # The segment's grid instants: those of the whole grid within it.
            instants = self._instants(start, end)
            inside = instants[(instants >= first) & (instants <= last)]
            if not len(inside):
                continue
            grid_first, grid_last = int(inside[0]), int(inside[-1])
            oldest = looks[0] if floor is None else floor
            newest = looks[1] if ceiling is None else ceiling if looks[1] is None else min(looks[1], ceiling)
            out.append((clean.replace(start=_time.instant_bound(grid_first), end=_time.instant_bound(grid_last)),
                        (oldest, newest)))
        return out

    def _instants(self, start: int, end: int) -> Any:
        """The grid's instants within its window [start, end], as int64."""
        import numpy

        times = _series.grid_times(start, end, self._every, self._plan.zone)
        return numpy.arange(start, end + 1, self._every, dtype=numpy.int64) if times is None else times

    def _told(self, damaged: List[Any]) -> None:
        self._skipped = list(damaged)
        if self._errors == "warn":
            _lost.tell(damaged, "the grid passed over it, and carries")

    @staticmethod
    def _names(plan: ReadPlan, engine_names: List[str], codes: List[int]) -> List[str]:
        """The columns' names: the engine's (a code's own) or the catalog's."""
        return engine_names if plan.catalog is None else _columns.column_names(plan.catalog, codes)

    def to_pandas(self) -> Any:
        """The grid as a pandas DataFrame (``time`` and a column per code);
        the catalog's units and descriptions, by column name, in
        ``attrs["units"]`` and ``attrs["descriptions"]``."""
        from zentrail._base.extras import import_extra

        # A grid too large to hold is refused whether or not pandas is there.
        self._check_cells(0, found=False)
        pandas = import_extra("pandas", "Aligned.to_pandas()", "pandas")
        columns, codes = self._columns_whole()
        if self._plan.zone is not None:
            from zentrail._read.columns import instants_in_pandas

            columns["time"] = instants_in_pandas(pandas, columns["time"], self._plan.zone)
        frame = pandas.DataFrame(columns, copy=False)
        catalog = self._plan.catalog
        if catalog is not None:
            units, descriptions = {}, {}
            for name, code in zip(list(columns)[1:], codes):
                entry = catalog.entry(code)
                if entry is not None and entry.unit:
                    units[name] = entry.unit
                if entry is not None and entry.description:
                    descriptions[name] = entry.description
            frame.attrs["units"] = units
            frame.attrs["descriptions"] = descriptions
        return frame

    def for_each_batch(self, call: Callable[[Dict[str, Any]], Any]) -> None:
        """Calls ``call`` with each batch of at most the scan's ``batch_rows``
        grid rows, a dict of NumPy columns, as soon as it is settled: a whole
        grid of any length in bounded memory, without Arrow."""
        import numpy

        segments = self._segments()
        if segments is not None:
            whole = self._columns_whole(segments)[0]
            size = self._plan.batch_rows
            for first in range(0, max(len(whole["time"]), 1), size):
                call({name: column[first:first + size] for name, column in whole.items()})
            return
        plan, request, grid = self._grid_read()
        shown: List[List[str]] = []

        def hand_on(names: List[str], times: Any, values: List[Any]) -> None:
            if not shown:
                shown.append(self._names(plan, names, [_columns.code_of(name) for name in names]))
            batch = {"time": numpy.frombuffer(times, dtype="datetime64[ns]")}
            for name, column in zip(shown[0], values):
                batch[name] = numpy.frombuffer(column, dtype=numpy.float64)
            call(batch)

        try:
            _core.align(request, grid, hand_on)
        except (OSError, ValueError) as error:
            raise _told_where(error, self._plan) from None

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream (``pyarrow.table(aligned)``,
        ``polars.DataFrame(aligned)``, DuckDB): batches of grid rows, the
        first handed over before the read is done. ``requested_schema`` is
        ignored (the columns have one form). With a catalog the columns are
        renamed and given their metadata by pyarrow (without it, the grid
        is read whole first, within MAX_GRID_CELLS, then handed on without
        the metadata). A grid around damaged files is read whole first."""
        segments = self._segments()
        if segments is not None:
            whole, codes = self._columns_whole(segments)
            try:
                from zentrail._base.extras import import_extra

                pyarrow = import_extra("pyarrow", "names of an aligned grid", "arrow")
            except ImportError:
                return _core.table_stream(arrow_columns(whole, ()))
            catalog = self._plan.catalog
            table = pyarrow.table(whole)
            fields = [table.schema.field(0)] + [
                table.schema.field(k + 1).with_metadata(
                    None if catalog is None else _labels.field_metadata(catalog.entry(code)) or None)
                for k, code in enumerate(codes)]
            return table.cast(pyarrow.schema(fields)).__arrow_c_stream__(requested_schema)
        plan, request, grid = self._grid_read()
        catalog = plan.catalog
        if catalog is None:
            return _core.align_stream(request, grid)
        try:
            from zentrail._base.extras import import_extra

            pyarrow = import_extra("pyarrow", "names of an aligned grid", "arrow")
        except ImportError:
            return _core.table_stream(arrow_columns(self._read(), ()))
        reader = pyarrow.RecordBatchReader.from_stream(Capsule(_core.align_stream(request, grid)))
        engine = reader.schema.names[1:]
        codes = [_columns.code_of(name) for name in engine]
        shown = _columns.column_names(catalog, codes)
        schema = pyarrow.schema([reader.schema.field(0)] + [
            reader.schema.field(k + 1).with_name(shown[k]).with_metadata(
                _labels.field_metadata(catalog.entry(codes[k])) or None) for k in range(len(engine))])
        batches = (pyarrow.RecordBatch.from_arrays(batch.columns, schema=schema) for batch in reader)
        return pyarrow.RecordBatchReader.from_batches(schema, batches).__arrow_c_stream__(requested_schema)

    def __repr__(self) -> str:
        how = self._how or "as the catalog says"
        return f"<zentrail.Aligned every {_time.duration_text(self._every)} ({how}) of {self._plan.describe()}>"


def _linear(catalog: Any, codes: Any) -> Any:
    """Whether the catalog interpolates each code linearly (a bool array)."""
    return _catalog.kinds(catalog, codes)[1]


def _joined(times: Any, parts: List[Tuple[List[str], Any, List[Any]]]) -> Tuple[List[str], Any, List[Any]]:
    """The grid of the instants `times` from the engine columns of its
    segments: NaN at every instant no segment holds, columns in code order."""
    import numpy

    names = sorted({name for part in parts for name in part[0]}, key=_columns.code_of)
    columns = {name: numpy.full(len(times), numpy.nan) for name in names}
    for part_names, part_times, part_values in parts:
        at = numpy.searchsorted(times, numpy.frombuffer(part_times, dtype=numpy.int64))
        for name, column in zip(part_names, part_values):
            columns[name][at] = numpy.frombuffer(column, dtype=numpy.float64)
    return names, times.view("datetime64[ns]"), [columns[name] for name in names]


def _told_where(error: BaseException, plan: ReadPlan) -> BaseException:
    """`error`, of a file the grid read only for the value in force at its
    start (or for the rows after its end), saying so in its message."""
    import os

    from zentrail._base import discovery as _discovery

    start, end = _series.window(plan)
    text = str(error) + " " + " ".join(getattr(error, "__notes__", []))
    day = None
    for word in text.replace("'", " ").replace('"', " ").split():
        day = _discovery.path_day(os.path.basename(word.rstrip(",:;")))
        if day is not None:
            break
    if day is None:
        return error
    midnight = _time.first_ns(_time.bound_tuple(day, "day"))
    if midnight + _time.NS_PER_DAY <= start:
        why = f"read for the value in force at {_time.instant_text(start)}"
    elif midnight > end:
        why = f"read for the rows after the end at {_time.instant_text(end)}"
    else:
        return error
    if isinstance(error, OSError):
        told: BaseException = type(error)(error.errno, f"{error.strerror} ({why})", error.filename)
    else:
        told = type(error)(f"{error} ({why})")
    if hasattr(error, "__notes__"):
        told.__notes__ = list(error.__notes__)  # type: ignore[attr-defined]
    return told
