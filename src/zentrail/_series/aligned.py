"""zentrail.Aligned: a scan's codes on a common time grid, made in the engine."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

    _Looks = Tuple[Optional[int], Optional[int]]

from zentrail import _core
from zentrail._names import labels as _labels
from zentrail._series import window as _series
from zentrail._base import time as _time
from zentrail._read.capsule import Capsule
from zentrail._series import lost as _lost
from zentrail._read.result import Result, arrow_columns

HOWS = ("step", "linear")


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
    where the catalog has no entry; its Arrow field carries the entry's
    ``unit`` and ``description`` as metadata, and ``to_pandas()`` keeps them
    in ``DataFrame.attrs["units"]`` and ``attrs["descriptions"]`` (by
    column name).

    ``how="step"``: the value of the last row at or before each instant (of
    several at one instant, the last in read order); ``how="linear"``: a row
    at the instant itself, else the value interpolated between the rows
    around it; ``how=None``: each code as its catalog entry's
    ``interpolation`` says (step where it says nothing; with both kinds
    among the codes the grid is read whole, once per kind, then handed on). NaN where there is none, or where ``max_gap`` is exceeded.
    The value in force at the window's start is looked for up to
    ``lookback`` before it (None: in every earlier file), without decoding
    the whole lookback.

    With the scan's ``errors="warn"`` or ``"skip"`` a damaged file is passed
    over, and no value is carried across the time its rows may have held
    (see the page "Time series", "Damaged files").

    Computed in the engine on the scan's threads and streamed grid row by
    grid row: the Arrow stream hands over its first batch before the read is
    done, in memory bounded by the batches (rows out of time order in their
    file, or of another day than their file's, are held until settled).
    Like a Scan it reads nothing until consumed and reads afresh each time.
    """

    __slots__ = ("_plan", "_every", "_how", "_max_gap", "_lookback", "_considered")

    def __init__(self, plan: ReadPlan, every: Any, how: Optional[str] = "step", max_gap: Any = None,
                 lookback: Any = "7d", *, considered: Optional[Tuple[Optional[int], Optional[int]]] = None) -> None:
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

    def part(self, first: int, last: int, considered: Optional[Tuple[Optional[int], Optional[int]]] = None) -> "Aligned":
        """The grid's instants from ``first`` to ``last`` (ns since
        1970-01-01, both instants of this grid) as a grid of their own that
        reads its rows where this whole grid reads them (``considered``:
        where that is, when this grid is itself a part), so that its rows
        equal this grid's rows there."""
        import numpy

        start, end = _series.window(self._plan)
        looks = considered or self._considered or _series.considered(start, end, self._how, self._lookback)
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
        return [self.part(first, last) for first, last in _series.day_parts(start, end, self._every)]

    def _read_args(self, plan: Optional[ReadPlan] = None, how: Optional[str] = None,
                   considered: Optional[_Looks] = None) -> Tuple[Any, Any]:
        """The core's request and grid of one read of the grid (of `plan`,
        the grid's own by default, and `how`; `considered`: where its rows
        lie, when not where the grid's own look back puts them)."""
        plan = _series.whole_signals_narrowed(self._plan) if plan is None else plan
        how = how or self._how or "step"
        start, end = _series.window(plan)
        back = self._lookback
        first = None if back is None else start - back
        last = end if how == "step" else (None if back is None else end + back)
        considered = considered or self._considered
        if considered is not None:
            first, last = considered
        request = _series.widened_request(plan, first, last)
        grid = _series.SeriesGrid(start, end, self._every, how == "linear", self._max_gap, first, last)
        return request, grid

    def _kinds(self, plan: Optional[ReadPlan] = None, considered: Optional[_Looks] = None) -> Optional[Dict[str, Any]]:
        """With how=None: the plan of each interpolation kind, or None when
        one kind serves every code (read as such, streamed)."""
        import numpy

        if self._how is not None:
            return None
        plan = _series.whole_signals_narrowed(self._plan if plan is None else plan)
        catalog = plan.catalog
        if catalog is None:
            return None
        codes = plan.codes
        if codes is None:
            # The codes are those with values: found by a step read first.
            names, _, _ = _core.align(*self._read_args(plan, "step", considered))
            codes = numpy.array([_code_of(name) for name in names], dtype=numpy.int32)
        linear = numpy.array([_interpolation(catalog, int(code)) == "linear" for code in codes], dtype=bool)
        if not linear.any():
            return None
        if linear.all():
            return {"linear": plan}
        return {how: plan.with_codes(chosen) for how, chosen in (("step", codes[~linear]), ("linear", codes[linear]))}

    @property
    def every(self) -> int:
        """The grid's step in nanoseconds."""
        return self._every

    def _read(self) -> Dict[str, Any]:
        return self._named(*self._engine_columns())

    def _engine_columns(self, plan: Optional[ReadPlan] = None,
                        considered: Optional[_Looks] = None) -> Tuple[List[str], Any, List[Any]]:
        """The grid (of `plan` and `considered`, the grid's own by default)
        as the engine names it: (names "<id>:<element>", times, value
        columns), the columns in code order."""
        if plan is None:
            segments = self._segments()
            if segments is not None:
                return self._joined(segments)
        try:
            kinds = self._kinds(plan, considered)
            if kinds is None:
                return _core.align(*self._read_args(_series.whole_signals_narrowed(plan) if plan else None,
                                                    None, considered))  # type: ignore[no-any-return]
            parts = [_core.align(*self._read_args(part, how, considered)) for how, part in kinds.items()]
        except (OSError, ValueError) as error:
            raise _told_where(error, plan or self._plan) from None
        names = [name for part in parts for name in part[0]]
        values = [column for part in parts for column in part[2]]
        order = sorted(range(len(names)), key=lambda k: _code_of(names[k]))
        return [names[k] for k in order], parts[0][1], [values[k] for k in order]

    def _joined(self, segments: List[Tuple[ReadPlan, _Looks]]) -> Tuple[List[str], Any, List[Any]]:
        start, end = _series.window(self._plan)
        codes = _series.whole_signals_narrowed(self._plan).codes
        given = [] if codes is None else [f"{code >> 10}:{code & 1023}" for code in codes.tolist()]
        return _joined(start, end, self._every, [([name for name in given], b"", [])] +
                       [self._engine_columns(*segment) for segment in segments])

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
        looks = self._considered or _series.considered(start, end, self._how, self._lookback)
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
            grid_first = start + -(-(first - start) // self._every) * self._every
            grid_last = start + (last - start) // self._every * self._every
            if grid_first > grid_last:
                continue
            oldest = looks[0] if floor is None else floor
            newest = looks[1] if ceiling is None else ceiling if looks[1] is None else min(looks[1], ceiling)
            out.append((clean.replace(start=_time.instant_bound(grid_first), end=_time.instant_bound(grid_last)),
                        (oldest, newest)))
        return out

    def _told(self, damaged: List[Any]) -> None:
        self._skipped = list(damaged)
        if self._errors != "warn":
            return
        import warnings

        from zentrail._read.request import outside_the_package

        for skipped in damaged:
            place = "" if skipped.offset is None else f" at byte {skipped.offset}"
            warnings.warn(f"archive file {skipped.path!r}: {skipped.message}{place}; the grid passed over it, and "
                          f"carries no value across the time its rows may have held",
                          UserWarning, stacklevel=outside_the_package())

    def _named(self, names: List[str], times: Any, values: List[Any]) -> Dict[str, Any]:
        import numpy

        columns = {"time": numpy.frombuffer(times, dtype="datetime64[ns]")}
        for name, column in zip(self._column_names(names), values):
            columns[name] = numpy.frombuffer(column, dtype=numpy.float64)
        return columns

    def _column_names(self, names: List[str]) -> List[str]:
        catalog = self._plan.catalog
        if catalog is None:
            return names
        return _labels.column_names(catalog, [_code_of(name) for name in names])

    def _metadata(self, names: List[str]) -> Dict[str, Dict[bytes, bytes]]:
        """The Arrow field metadata of each code column, by engine name."""
        catalog = self._plan.catalog
        return {name: _labels.field_metadata(None if catalog is None else catalog.entry(_code_of(name)))
                for name in names}

    def to_pandas(self) -> Any:
        """The grid as a pandas DataFrame (``time`` and a column per code);
        the catalog's units and descriptions, by column name, in
        ``attrs["units"]`` and ``attrs["descriptions"]``."""
        frame = Result.to_pandas(self)
        catalog = self._plan.catalog
        if catalog is not None:
            units, descriptions = {}, {}
            for name in frame.columns[1:]:
                entry = _entry_of_column(catalog, name)
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
        kinds = None if segments is not None else self._kinds()
        if segments is not None or (kinds is not None and len(kinds) > 1):
            # Read whole, then handed on: a grid of several reads (kinds of
            # interpolation, or segments between what damaged files lost).
            whole = self._named(*self._joined(segments)) if segments is not None else self._read()
            size = self._plan.batch_rows
            for first in range(0, max(len(whole["time"]), 1), size):
                call({name: column[first:first + size] for name, column in whole.items()})
            return
        plan, how = (None, None) if kinds is None else next((p, h) for h, p in kinds.items())
        shown: List[str] = []

        def hand_on(names: List[str], times: Any, values: List[Any]) -> None:
            if len(shown) != len(names):
                shown[:] = self._column_names(names)
            batch = {"time": numpy.frombuffer(times, dtype="datetime64[ns]")}
            for name, column in zip(shown, values):
                batch[name] = numpy.frombuffer(column, dtype=numpy.float64)
            call(batch)

        _core.align(*self._read_args(plan, how), hand_on)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream (``pyarrow.table(aligned)``,
        ``polars.DataFrame(aligned)``, DuckDB): batches of grid rows, the
        first handed over before the read is done. ``requested_schema`` is
        ignored (the columns have one form). With a catalog the columns are
        renamed and given their metadata by pyarrow (without it, the grid
        is read whole first, then handed on without the metadata)."""
        segments = self._segments()
        kinds = None if segments is not None else self._kinds()
        if segments is not None:
            whole = self._named(*self._joined(segments))
        elif self._plan.catalog is None:
            return _core.align_stream(*self._read_args())
        try:
            from zentrail._base.extras import import_extra

            pyarrow = import_extra("pyarrow", "names of an aligned grid", "arrow")
        except ImportError:
            pyarrow = None
        if segments is not None or pyarrow is None or (kinds is not None and len(kinds) > 1):
            if segments is None:
                whole = self._read()
            if pyarrow is not None:
                table = pyarrow.table(whole)
                catalog = self._plan.catalog
                schema = pyarrow.schema([
                    field.with_metadata(None if catalog is None else
                                        _labels.field_metadata(_entry_of_column(catalog, field.name)) or None)
                    for field in table.schema])
                return table.cast(schema).__arrow_c_stream__(requested_schema)
            return _core.table_stream(arrow_columns(whole, ()))
        plan, how = (None, None) if kinds is None else next((p, h) for h, p in kinds.items())
        reader = pyarrow.RecordBatchReader.from_stream(Capsule(_core.align_stream(*self._read_args(plan, how))))
        engine = reader.schema.names
        metadata = self._metadata(engine[1:])
        shown = ["time"] + self._column_names(engine[1:])
        schema = pyarrow.schema([reader.schema.field(0)] + [
            reader.schema.field(k).with_name(shown[k]).with_metadata(metadata[engine[k]] or None)
            for k in range(1, len(engine))])
        batches = (pyarrow.RecordBatch.from_arrays(batch.columns, schema=schema) for batch in reader)
        return pyarrow.RecordBatchReader.from_batches(schema, batches).__arrow_c_stream__(requested_schema)

    def __repr__(self) -> str:
        return f"<zentrail.Aligned every {_time.duration_text(self._every)} ({self._how}) of {self._plan.describe()}>"


def _code_of(name: str) -> int:
    """The code of an engine column name "<signal_id>:<element>"."""
    ident, _, element = name.partition(":")
    return int(ident) * 1024 + int(element)


def _interpolation(catalog: Any, code: int) -> Optional[str]:
    entry = catalog.entry(code)
    return None if entry is None else entry.interpolation


def _entry_of_column(catalog: Any, name: str) -> Any:
    """The entry of a column named by it: "<name>", or "<name>[<element>]"
    for one element of a whole-signal entry; None for any other."""
    if name in catalog:
        return catalog[name]
    base, bracket, _ = name.rpartition("[")
    return catalog[base] if bracket and base in catalog else None


def _joined(start: int, end: int, every: int,
            parts: List[Tuple[List[str], Any, List[Any]]]) -> Tuple[List[str], Any, List[Any]]:
    """The grid of [start, end] from the engine columns of its segments:
    NaN at every instant no segment holds, columns in code order."""
    import numpy

    times = numpy.arange(start, end + 1, every, dtype=numpy.int64)
    names = sorted({name for part in parts for name in part[0]}, key=_code_of)
    columns = {name: numpy.full(len(times), numpy.nan) for name in names}
    for part_names, part_times, part_values in parts:
        at = (numpy.frombuffer(part_times, dtype=numpy.int64) - start) // every  # the given codes' part: none
        for name, column in zip(part_names, part_values):
            columns[name][at] = numpy.frombuffer(column, dtype=numpy.float64)
    return names, times.view("datetime64[ns]"), [columns[name] for name in names]


def _told_where(error: BaseException, plan: ReadPlan) -> BaseException:
    """`error`, of a file the grid read only for the value in force at its
    start (or for the rows after its end), saying so in its message."""
    start, end = _series.window(plan)
    text = str(error) + " " + " ".join(getattr(error, "__notes__", []))
    import os

    from zentrail._base import discovery as _discovery

    day = None
    for word in text.replace("'", " ").replace('"', " ").split():
        found = _discovery.path_day(os.path.basename(word.rstrip(",:;")))
        if found is not None:
            day = found
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
