"""Scan.lazy(): a polars LazyFrame whose query reaches into the read.

polars hands an IO source the columns the query needs, its filter as an
expression, a row count and a batch size. The parts of the filter that the
engine can apply (conditions on time, signal_id, element, item_class and
subtype joined by ``&``, and on the catalog's name, unit and description,
which keep the signals of the entries they keep) narrow the read; the whole filter is then applied to
every batch again, so whatever could not be pushed (and anything pushed only
in part) still holds exactly: the result is the same query on
``polars.DataFrame(scan)``.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple

from zentrail._read import columns as _columns, pushdown as _pushdown
from zentrail._base import time as _time
from zentrail._base.extras import import_extra, install_hint

if TYPE_CHECKING:
    from zentrail._read.plan import ReadPlan

# The first polars with polars.io.plugins.register_io_source.
NEEDED_POLARS = "1.12"

# Each column a condition on which the engine can take, with the values its
# rows can hold: a single-column condition is tried on every one of them.
_PROBED_DOMAINS = {"signal_id": 1 << 16, "element": 1024, "item_class": 32, "subtype": 8}
_TIME_OPERATORS = ("ge", "gt", "le", "lt", "eq")


def lazy_frame(plan: "ReadPlan") -> Any:
    pl = import_extra("polars", "Scan.lazy()", "polars")
    try:
        # Imported by name, as polars itself is: a type checker of a plain
        # install, without polars, meets no import it cannot follow.
        register_io_source = importlib.import_module("polars.io.plugins").register_io_source
    except ImportError:
        raise ImportError(f"Scan.lazy() needs polars {NEEDED_POLARS} or newer (its IO plugin interface, "
                          f"polars.io.plugins.register_io_source); this is polars {pl.__version__}: "
                          f"{install_hint('polars')}") from None
    schema = polars_schema(pl, list(plan.pushdown.columns), plan.zone)

    def source(with_columns: Optional[List[str]], predicate: Any, n_rows: Optional[int],
               batch_size: Optional[int]) -> Iterator[Any]:
        return _batches(pl, plan, with_columns, predicate, n_rows, batch_size)

    return register_io_source(source, schema=schema)


def polars_schema(pl: Any, columns: List[str], zone: Any = None) -> Dict[str, Any]:
    """The polars types of a scan's columns; ``time`` of instants shown in
    `zone` when the scan reads in one."""
    types = {"time": pl.Datetime("ns", None if zone is None else zone.name), "signal_id": pl.UInt16, "element": pl.UInt16, "value": pl.Float64,
             "item_class": pl.UInt8, "subtype": pl.UInt8, "class_name": pl.Categorical,
             "subtype_name": pl.Categorical, "name": pl.Categorical, "unit": pl.Categorical,
             "description": pl.Categorical}
    return {name: types[name] for name in columns}


def _batches(pl: Any, plan: "ReadPlan", with_columns: Optional[List[str]], predicate: Any, n_rows: Optional[int],
             batch_size: Optional[int]) -> Iterator[Any]:
    wanted = list(with_columns) if with_columns is not None else list(plan.pushdown.columns)
    needed = list(wanted)
    if predicate is not None:
        for name in predicate.meta.root_names():
            if name not in needed:
                needed.append(name)
    if n_rows is not None:
        # The first n_rows of the source, and the filter after them: the
        # conditions pushed after the limit apply to those rows alone.
        plan = plan.limit(n_rows)
    if predicate is not None:
        plan = push_predicate(pl, plan, predicate)
    if not needed:
        # A query that only counts rows: the narrowest column carries them.
        needed = ["subtype"]
    plan = plan.select(*needed)
    if batch_size is not None and batch_size > 0:
        plan = plan.resized(batch_size)
    schema = polars_schema(pl, needed)  # naive: the zone is given to the time column after
    for batch in _columns.batches(plan, _columns.core_request(plan, numpy=True)):
        # The catalog's columns come as str objects and None, which polars
        # takes from a list (it casts no object array).
        frame = pl.DataFrame({name: column.tolist() if column.dtype == object else column
                              for name, column in batch.items()}, schema=schema)
        if plan.zone is not None and "time" in frame.columns:
            # NumPy holds the instants as UTC: polars shows them in the zone.
            frame = frame.with_columns(pl.col("time").dt.replace_time_zone("UTC").dt.convert_time_zone(plan.zone.name))
        if predicate is not None:
            frame = frame.filter(predicate)
        if frame.height:
            yield frame.select(wanted)


def push_predicate(pl: Any, plan: "ReadPlan", predicate: Any) -> "ReadPlan":
    """The plan narrowed by the conditions of `predicate` the engine can take.
    Each narrowing keeps at least every row the condition keeps."""
    for condition in conjuncts(pl, predicate):
        try:
            plan = _push_condition(pl, plan, condition)
        except Exception:  # a form this code does not know: polars applies it
            continue
    return plan


def conjuncts(pl: Any, predicate: Any) -> List[Any]:
    """The conditions that `predicate` joins by ``&``, as written."""
    out, todo = [], [predicate]
    while todo:
        expr = todo.pop()
        inputs = _inputs(expr)
        if len(inputs) == 2 and any(expr.meta.eq(a & b) for a, b in (inputs, inputs[::-1])):
            todo.extend(inputs)
        else:
            out.append(expr)
    return out


def _inputs(expr: Any) -> List[Any]:
    try:
        return list(expr.meta.pop())
    except Exception:
        return []


def _push_condition(pl: Any, plan: "ReadPlan", condition: Any) -> "ReadPlan":
    roots = condition.meta.root_names()
    if len(set(roots)) != 1:
        return plan
    column = roots[0]
    if column in _PROBED_DOMAINS:
        # Any elementwise condition on one column: its rows are those whose
        # value it keeps, so it is tried on every value the column can hold.
        if not getattr(condition.meta, "is_row_separable", lambda: False)():
            return plan
        domain = pl.DataFrame({column: pl.arange(0, _PROBED_DOMAINS[column], eager=True)}).with_columns(
            pl.col(column).cast(polars_schema(pl, [column])[column]))
        kept = domain.filter(condition)[column].to_list()
        return plan.where(**{_WHERE_NAMES[column]: kept})
    if column in _LABEL_COLUMNS and plan.catalog is not None:
        return _push_label_condition(pl, plan, column, condition)
    if column == "time":
        found = _time_comparison(pl, condition, plan.zone is not None)
        if found is None:
            return plan
        op, ns = found
        if op == "in":
            ns_first, ns = ns
            return plan.within(_time.instant_bound(ns_first), _time.instant_bound(ns))
        start = end = None
        if op in ("ge", "gt", "eq"):
            start = _time.instant_bound(ns + (op == "gt"))
            if start is None:
                return plan
        if op in ("le", "lt", "eq"):
            end = _time.instant_bound(ns - (op == "lt"))
            if end is None:
                return plan
        return plan.within(start, end)
    return plan


def _push_label_condition(pl: Any, plan: "ReadPlan", column: str, condition: Any) -> "ReadPlan":
    """A condition on the catalog's name, unit or description kept to the
    signals of the entries whose text it keeps, tried on every entry's text
    and on null (a code with no entry): when null passes, every code may."""
    if not getattr(condition.meta, "is_row_separable", lambda: False)():
        return plan
    catalog = plan.catalog
    texts = catalog.column(column) + [None]
    rows = pl.DataFrame({column: texts}, schema={column: pl.Categorical}).with_row_index("row")
    kept = rows.filter(condition)["row"].to_list()
    if len(texts) - 1 in kept:
        return plan
    ids = catalog.column("signal_id")
    return plan.where(signal_ids=sorted({int(ids[r]) for r in kept}))


_LABEL_COLUMNS = ("name", "unit", "description")
_WHERE_NAMES = {"signal_id": "signal_ids", "element": "elements", "item_class": "item_classes",
                "subtype": "subtypes"}


def _time_comparison(pl: Any, condition: Any, zoned: bool = False) -> Optional[Tuple[str, Any]]:
    """(operator, ns) when `condition` is ``col("time") <op> literal`` (or the
    literal first) with a naive date or datetime literal (of a scan in a
    zone: a datetime literal with a zone, whose ns are its instant's);
    ("in", (first ns, last ns)) for ``col("time").is_in(literal)``."""

    def comparable(dtype: Any) -> bool:
        if dtype == pl.Date:
            return not zoned
        return dtype == pl.Datetime and (getattr(dtype, "time_zone", None) is not None) == zoned

    inputs = _inputs(condition)
    if len(inputs) != 2:
        return None
    for column, literal in (inputs, inputs[::-1]):
        if column.meta.is_column() and column.meta.output_name() == "time" and \
                condition.meta.eq(column.is_in(literal)):
            values = pl.select(literal).to_series().explode()
            if not comparable(values.dtype):
                return None
            ns = values.cast(pl.Datetime("ns")).cast(pl.Int64).drop_nulls()
            if ns.len() == 0:
                return None
            return "in", (int(ns.min()), int(ns.max()))
    flipped = {"ge": "le", "gt": "lt", "le": "ge", "lt": "gt", "eq": "eq"}
    for column, literal, swapped in ((inputs[1], inputs[0], False), (inputs[0], inputs[1], True)):
        if not (column.meta.is_column() and column.meta.output_name() == "time" and literal.meta.is_literal()):
            continue
        for op in _TIME_OPERATORS:
            made = getattr(column, op)(literal) if not swapped else getattr(literal, op)(column)
            if not condition.meta.eq(made):
                continue
            value = pl.select(literal)
            dtype = value.dtypes[0]
            if not comparable(dtype):
                return None
            ns = value.select(pl.all().cast(pl.Datetime("ns")).cast(pl.Int64)).item()
            if ns is None:
                return None
            return (flipped[op] if swapped else op), int(ns)
    return None
