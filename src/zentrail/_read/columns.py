"""The columnar consumers of a plan: batches of NumPy arrays, whole NumPy
columns, a pandas DataFrame and the Arrow stream, each with the name columns
made here from the codes the core reads in their place (class and subtype
names, and the catalog's name, unit and description)."""

from __future__ import annotations

from zentrail import _core
from zentrail._base import classes as _classes
from zentrail._base.extras import import_extra
from zentrail._names import labels as _labels
from zentrail._read import pushdown as _pushdown
from zentrail._read.capsule import Capsule
from zentrail._read.request import report_clock

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, Optional

    from zentrail._read.plan import ReadPlan
    from zentrail._read.request import Request

    _Columns = Dict[str, Any]


def core_request(plan: ReadPlan, numpy: bool = False) -> Request:
    """The request of the plan's rows with the columns the core makes: for a
    NumPy consumer, the codes of any name column in its place."""
    wanted = plan.pushdown.columns
    core = _labels.core_columns(wanted)
    codes = _pushdown.code_columns(core) if numpy else None
    return plan.request(numpy, columns=None if (codes or core) == wanted else (codes or core))


def batches(plan: ReadPlan, request: Request) -> Iterator[_Columns]:
    """Batches of the read in read order (see Scan.__iter__)."""
    found: Iterator[_Columns] = _core.iterate(request)
    if _named(plan):
        found = (_with_names(plan, batch) for batch in found)
    if may_warn(plan) or may_find_nothing(plan) or plan.zone is not None:
        return _WarnIfEmpty(plan, request, found)
    return found


def numpy_columns(plan: ReadPlan, request: Request, pandas: Any = None) -> _Columns:
    """The whole read as NumPy columns (name columns as pandas categoricals
    when ``pandas`` is given)."""
    columns = _core.to_numpy(request)
    report_clock(request)
    if not any(len(column) for column in columns.values()):
        warn_if_empty(plan)
    return _with_names(plan, columns, pandas) if _named(plan) else columns


def pandas_frame(plan: ReadPlan, request: Request, names: bool) -> Any:
    """The whole read as a pandas DataFrame (see Scan.to_pandas)."""
    pandas = import_extra("pandas", "Scan.to_pandas()", "pandas")
    columns = numpy_columns(plan, request, pandas)
    if names:
        columns["class_name"] = _classes.class_name_column(pandas, columns["item_class"])
        columns["subtype_name"] = _classes.subtype_name_column(pandas, columns["item_class"], columns["subtype"])
        if plan.catalog is not None and "signal_id" in columns and "element" in columns:
            labels = _labels.Labels(plan.catalog, plan.codes, ("name", "unit"))
            found = labels.indices_of(columns["signal_id"], columns["element"], ("name", "unit"))
            for field in ("name", "unit"):
                columns[field] = labels.pandas_column(pandas, field, found[field])
    if plan.zone is not None and "time" in columns:
        columns["time"] = instants_in_pandas(pandas, columns["time"], plan.zone)
    return pandas.DataFrame(columns, copy=False)


def arrow_stream(plan: ReadPlan, request: Request, requested_schema: Optional[object]) -> object:
    """The Arrow C stream of the read (see Scan.__arrow_c_stream__)."""
    wanted = plan.pushdown.columns
    if not _labels.has_labels(wanted):
        return _core.arrow_stream(request, requested_schema)
    pyarrow = import_extra("pyarrow", "a scan's name, unit and description columns in Arrow", "arrow")
    reader = pyarrow.RecordBatchReader.from_stream(Capsule(_core.arrow_stream(request, None)))
    schema = _labels.arrow_schema(pyarrow, reader.schema, wanted)
    found = _labels.arrow_batches(pyarrow, reader, schema, wanted, _labels.Labels(plan.catalog, plan.codes))
    return pyarrow.RecordBatchReader.from_batches(schema, found).__arrow_c_stream__(requested_schema)


def arrow_schema(plan: ReadPlan) -> object:
    """The Arrow schema of the stream, without reading anything."""
    wanted = plan.pushdown.columns
    core = _labels.core_columns(wanted)
    capsule = _core.arrow_schema(_pushdown.column_places(core), plan.zone.name if plan.zone is not None else "")
    if core == wanted:
        return capsule
    pyarrow = import_extra("pyarrow", "a scan's name, unit and description columns in Arrow", "arrow")
    schema = pyarrow.schema(Capsule(schema=capsule))
    return _labels.arrow_schema(pyarrow, schema, wanted).__arrow_c_schema__()


def instants_in_pandas(pandas: Any, column: Any, zone: Any) -> Any:
    """A datetime64[ns] column of instants (UTC) as pandas shows them in `zone`."""
    return pandas.DatetimeIndex(column).tz_localize("UTC").tz_convert(zone.name)


def _with_names(plan: ReadPlan, columns: _Columns, pandas: Any = None) -> _Columns:
    wanted = plan.pushdown.columns
    core = _labels.core_columns(wanted)
    if _pushdown.code_columns(core) is not None:
        columns = _classes.name_arrays(columns, core, pandas)
    if _labels.has_labels(wanted):
        columns = _labels.add_columns(columns, wanted, _labels.Labels(plan.catalog, plan.codes), pandas)
    return columns


def _named(plan: ReadPlan) -> bool:
    """Whether the NumPy columns of the read are made into names here."""
    wanted = plan.pushdown.columns
    return _labels.has_labels(wanted) or _pushdown.code_columns(wanted) is not None


def may_warn(plan: ReadPlan) -> bool:
    """Whether an empty read would be a surprise worth a warning: codes
    were given, and nothing else narrows the rows."""
    return plan.codes_given and plan.pushdown.limit != 0 and not plan.pushdown.narrows_rows()


def may_find_nothing(plan: ReadPlan) -> bool:
    """Whether the read searches a root, which may hold no archive file."""
    return not plan.listed and plan.pushdown.limit != 0


def warn_if_empty(plan: ReadPlan) -> None:
    """The warning of a read that gave no row: a root that holds no archive
    file at all, or the caller's codes, when either is a surprise."""
    if may_find_nothing(plan) and not plan.widened(None, None).files():
        warn_no_files(plan)
    elif may_warn(plan):
        warn_no_rows(plan)


def warn_no_files(plan: ReadPlan) -> None:
    """A UserWarning, pointed at the caller, that the root searched holds no
    archive file, whatever the window: a mistyped or wrong folder."""
    import os
    import warnings

    from zentrail._read.request import outside_the_package

    root = os.fsdecode(plan.source) if isinstance(plan.source, bytes) else plan.source
    warnings.warn(f"zentrail.scan: no archive file (YYYY-MM-DD_*.vlx) under {root!r}, so no row", UserWarning,
                  stacklevel=outside_the_package())


class _WarnIfEmpty:
    """An iteration of a read's batches that warns at its end when it gave
    none. Not a generator: a second consumer meets the core's iterator and
    its refusal, as it would without this."""

    __slots__ = ("_plan", "_request", "_batches", "_empty")

    def __init__(self, plan: ReadPlan, request: Request, found: Iterator[_Columns]) -> None:
        self._plan = plan
        self._request = request
        self._batches = found
        self._empty = True

    def __iter__(self) -> "_WarnIfEmpty":
        return self

    def __next__(self) -> _Columns:
        try:
            batch = next(self._batches)
        except StopIteration:
            report_clock(self._request)
            if self._empty:
                self._empty = False  # once
                warn_if_empty(self._plan)
            raise
        self._empty = False
        return batch


def warn_no_rows(plan: ReadPlan) -> None:
    """A UserWarning, pointed at the caller, that the plan's codes gave no
    row, naming up to five of them and, for a code that looks like a bare
    signal id (below 1024) of a signal the files hold, the codes of that
    signal's values."""
    import warnings

    from zentrail._read.request import outside_the_package

    codes = [int(c) for c in plan.codes]
    named = ", ".join(str(c) for c in codes[:5]) + (f" and {len(codes) - 5} more" if len(codes) > 5 else "")
    message = f"zentrail.scan: no row for the codes {named} between {plan.shown[0]} and {plan.shown[1]}"
    bare = [c for c in codes if c < 1024]
    if bare:
        # Damaged files were told of by the read itself: here they pass silently.
        inventory = _core.inventory(plan.files_only().request(errors="raise" if plan.errors == "raise" else "skip"),
                                    False)
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
    warnings.warn(message, UserWarning, stacklevel=outside_the_package())
