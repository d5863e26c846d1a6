"""zentrail.latest: each code's last value row. Each archive file gives a
part, per code its last value row in that file (the index's "in_force"
section, which a grid's values in force use too), not depending on what is
asked, so that it can be kept in the archive's index; the parts of all files
are then merged, the last by time, a tie to the later file. Where no index
keeps them, one read of every file gives the same rows: the engine's values
in force after every row there is.
"""

from __future__ import annotations

from zentrail._index import UNKEPT, in_force as _in_force, identity_of, per_folder, reading_of, store_of
from zentrail._read import columns as _read_columns, request as _request
from zentrail._read.result import Result
from zentrail._series import window as _series
from zentrail._series.at import frame_with_names

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

    from zentrail._read.plan import ReadPlan

    _Columns = Dict[str, Any]
    _Part = Optional[Dict[str, Any]]

SECTION = _in_force.SECTION
VERSION = _in_force.VERSION


class LatestPart:
    """The part of one whole file (see zentrail._index.per_file): per code,
    its last value row (the last by time, of several at one time the last in
    read order), as arrays ``code`` (int32), ``time`` (int64 ns) and
    ``value`` (float64), by code; text rows and NaN values give no value, as
    in a grid. The engine's, as the index keeps it; a damaged file read with
    errors "warn" or "skip" gives its rows before the damage, as a scan
    keeps them, and is noted in `skipped`."""

    def __init__(self) -> None:
        self.skipped: List[Any] = []

    def __call__(self, plan: ReadPlan) -> Dict[str, Any]:
        if plan.errors == "raise":
            return _in_force.last_rows(plan)
        chosen = plan.select("time", "signal_id", "element", "value")
        request = _read_columns.core_request(chosen, numpy=True)
        part = latest_of(_read_columns.numpy_columns(chosen, request))
        self.skipped.extend(_request.skipped_files(request))
        return part


def latest_of(rows: Dict[str, Any]) -> Dict[str, Any]:
    """Per code, the last value row of `rows` (a scan's columns, in read order)."""
    import numpy

    keep = ~numpy.isnan(rows["value"])
    time = rows["time"][keep].view(numpy.int64)
    code = rows["signal_id"][keep].astype(numpy.int32) * 1024 + rows["element"][keep]
    last = _last_of_each(code, time, numpy.arange(len(code)))
    return {"code": code[last], "time": time[last], "value": rows["value"][keep][last]}


def merged(parts: List[Tuple[str, _Part]]) -> Tuple[Any, Any, Any]:
    """(codes, times, values) of each code's last row over the files' parts
    (in read order): the latest time, a tie to the later file."""
    import numpy

    held = [(k, part) for k, (_, part) in enumerate(parts) if part is not None]
    code = numpy.concatenate([numpy.zeros(0, numpy.int32)] + [part["code"] for _, part in held])
    time = numpy.concatenate([numpy.zeros(0, numpy.int64)] + [part["time"] for _, part in held])
    value = numpy.concatenate([numpy.zeros(0)] + [part["value"] for _, part in held])
    file = numpy.concatenate([numpy.zeros(0, numpy.int64)] + [numpy.full(len(part["code"]), k) for k, part in held])
    last = _last_of_each(code, time, file)
    return code[last], time[last], value[last]


def _merged_part(parts: List[Tuple[str, _Part]]) -> Dict[str, Any]:
    """A run of files' parts as one part of the same kind."""
    code, time, value = merged(parts)
    return {"code": code, "time": time, "value": value}


def _last_of_each(code: Any, time: Any, then: Any) -> Any:
    """Indices of each code's last row: the latest `time`, of those the
    largest `then` (read order); ascending by code."""
    import numpy

    order = numpy.lexsort((then, time, code))
    ends = numpy.flatnonzero(numpy.diff(code[order])) if len(order) else numpy.zeros(0, numpy.int64)
    return order[numpy.append(ends, len(order) - 1)] if len(order) else order


def _parts_kept(plan: ReadPlan) -> bool:
    """Whether the plan's files may have their parts in the index: there is
    one, and it did not find the first file's part too large to keep. (Of a
    sparse archive, a row per code and file outweighs the files: no part is
    kept, and making them file by file costs more than one read of all.)"""
    store = store_of(plan, None)
    if store is None:
        return False
    files = plan.files()
    identity = identity_of(files[0]) if files else None
    kept = None if identity is None else store.load(identity, reading_of(plan), SECTION, VERSION)
    return kept is None or UNKEPT not in kept


def in_force_at_the_end(plan: ReadPlan) -> Tuple[Any, Any, Any]:
    """(codes, times, values) of each code's last value row in the plan's
    files, as merged() makes them of their parts, in one read (the engine's
    pass over the record heads decodes only each code's last candidates).
    Fails as a read does at a damaged file."""
    # Whole signals asked: the elements the files hold, not 1024 each.
    part = _in_force.last_rows(_series.whole_signals_narrowed(plan.widened(None, None)).replace(errors="raise"))
    return part["code"], part["time"], part["value"]


class Latest(Result):
    """Each code's last value row in the archive, made by
    :func:`zentrail.latest`; read when consumed, afresh each time. One row
    per code with a value row, ascending by code:

    - ``signal_id``, ``element``: uint16, the code (``id * 1024 + element``).
    - ``time``: datetime64[ns], the time of the code's last value row (the
      last by time; of several at that time, the last in read order, as a
      grid's step takes it). Read in a zone, an instant: UTC in NumPy, the
      zone's in pandas and Arrow.
    - ``value``: float64, its value. Text rows and NaN values are no value
      rows, as in :meth:`zentrail.Scan.align`.

    ``to_pandas(names=True)`` adds the catalog's ``name`` and ``unit`` after
    ``element``. Each file's last rows are kept in the archive's index
    (unless ``index=False``), so a warm answer reads no unchanged file
    again. With ``errors="warn"`` or ``"skip"`` a damaged file gives the rows
    it held before its damage, as a scan keeps them (``skipped`` lists
    it): a code's latest row may then be older than what the file held.
    """

    __slots__ = ("_plan",)
    _INSTANT_COLUMNS = ("time",)

    def __init__(self, plan: ReadPlan) -> None:
        """Made by zentrail.latest."""
        self._set_errors(plan.errors)
        self._plan = plan

    def _zone(self) -> Any:
        return self._plan.zone

    @property
    def plan(self) -> ReadPlan:
        """The :class:`zentrail.ReadPlan` of the codes asked (its window unused)."""
        return self._plan

    def _read(self) -> _Columns:
        import numpy

        if self._plan.errors == "raise" and not _parts_kept(self._plan):
            # No index that keeps the parts: one read of every file, the
            # engine keeping each code's last row as it goes.
            code, time, value = in_force_at_the_end(self._plan)
            any_file = len(code) > 0 or bool(self._plan.files())
        else:
            compute = LatestPart()
            # A part per folder, merged of its files' (kept while they are the same).
            runs = per_folder(self._plan, SECTION, compute, _merged_part, version=VERSION)
            self._skipped = compute.skipped
            code, time, value = merged([("", run) for run in runs])
            any_file = bool(runs)
        codes = self._plan.codes
        if codes is not None:
            chosen = numpy.isin(code, codes)
            code, time, value = code[chosen], time[chosen], value[chosen]
        ids = self._plan.pushdown.ids
        if ids is not None:
            kept = numpy.unpackbits(numpy.frombuffer(ids, dtype=numpy.uint8), bitorder="little").astype(bool)
            chosen = kept[code >> 10]
            code, time, value = code[chosen], time[chosen], value[chosen]
        if not len(code):
            _warn_nothing(self._plan, any_file)
        return {"signal_id": (code >> 10).astype(numpy.uint16), "element": (code & 1023).astype(numpy.uint16),
                "time": time.view("datetime64[ns]"), "value": value}

    def to_pandas(self, *, names: bool = False) -> Any:
        """The rows as a pandas DataFrame (``time`` in the zone read in, if
        any); with ``names=True`` and a catalog, the categorical columns
        ``name`` and ``unit`` after ``element``."""
        frame = Result.to_pandas(self)
        return frame_with_names(frame, self._plan.catalog) if names else frame

    def __repr__(self) -> str:
        return f"<zentrail.Latest of {self._plan.describe()}>"


def _warn_nothing(plan: ReadPlan, any_file: bool) -> None:
    import os
    import warnings

    from zentrail._read.request import outside_the_package

    if not any_file:
        root = os.fsdecode(plan.source) if isinstance(plan.source, bytes) else plan.source
        warnings.warn(f"zentrail.latest: no archive file (YYYY-MM-DD_*.vlx) under {root!r}, so no row", UserWarning,
                      stacklevel=outside_the_package())
        return
    asked = "any signal" if plan.codes is None else f"the {len(plan.codes)} codes asked"
    warnings.warn(f"zentrail.latest: no value row of {asked} in the archive, so no row", UserWarning,
                  stacklevel=outside_the_package())
