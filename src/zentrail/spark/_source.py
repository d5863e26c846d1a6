"""The zentrail data source: its options, schema, partitions and reads, and
the filters it takes over from Spark.

Spark and pyarrow are imported on first use, not with the module, so that
the module imports (and type checks) where they are not installed. The
methods live in plain classes here; the classes Spark takes, subclasses of
its own, are made from them on first use by ``source_classes()`` and are
found under their names in this module, so that a pickle names them by
module and name as any class, and an executor makes them again when it
unpickles one.
"""

from __future__ import annotations

import datetime
import json
import re
import threading

import zentrail
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterable, Iterator, List, MutableMapping, Optional, Tuple

PUSHDOWN_CONF = "spark.sql.python.filterPushdown.enabled"
# The options that name the arguments zentrail.scan's messages name.
OPTION_OF_ARGUMENT = {"dt_start": "option start", "dt_end": "option end"}
_EPOCH = datetime.datetime(1970, 1, 1)
# The columns a load can choose (option columns): scan's, and the catalog's texts.
CORE_COLUMNS = ("time", "signal_id", "element", "value", "item_class", "subtype")
LABELS = ("name", "unit", "description")
# The bounds of a stream's window where none is given: every instant.
_OPEN = ("0001-01-01", "9999-12-31")
_MADE: Dict[str, Any] = {}
_MAKING = threading.Lock()


def register(spark: Any) -> None:
    """Registers the data source "zentrail" with the session `spark`, and,
    where the installed Spark hands filters to Python sources (4.1 and
    later), turns that on: filters on ``signal_id`` and ``time`` then narrow
    what is read (Spark still applies them to the rows). ImportError naming
    the extra where pyspark or pyarrow is missing."""
    source = source_classes()["ArchiveDataSource"]  # the missing extra named before anything else fails
    spark.dataSource.register(source)
    if filters_supported():
        spark.conf.set(PUSHDOWN_CONF, "true")


def source_classes() -> Dict[str, Any]:
    """The data source and reader classes, subclasses of Spark's, and the
    schemas of the rows, made once per process."""
    with _MAKING:
        if not _MADE:
            _MADE.update(_made())
    return _MADE


def __getattr__(name: str) -> Any:
    if name in ("ArchiveDataSource", "ArchiveReader", "FilteringReader", "ArchiveStreamReader"):
        return source_classes()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _made() -> Dict[str, Any]:
    # Spark's bases are unknown to a type checker where Spark is not installed.
    datasource: Any = import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
    types = import_extra("pyspark.sql.types", "zentrail.spark", "spark")
    pyarrow = import_extra("pyarrow", "zentrail.spark", "spark")

    def subclass(name: str, bases: Tuple[type, ...]) -> type:
        # Made by a call, not a class statement: no class exists only
        # inside this function, and each is found in this module by its name.
        return type(name, bases, {"__module__": __name__, "__doc__": bases[0].__doc__})

    streaming = import_extra("pyspark.sql.streaming.datasource", "zentrail.spark", "spark")
    source = subclass("ArchiveDataSource", (SourceMethods, datasource.DataSource))
    reader = subclass("ArchiveReader", (ReaderMethods, datasource.DataSourceReader))
    filtering = subclass("FilteringReader", (FilteringMethods, reader))
    stream = subclass("ArchiveStreamReader", (StreamMethods, datasource.DataSourceStreamReader,
                                              streaming.SupportsTriggerAvailableNow))
    # Spark has no unsigned integers and keeps times to the microsecond: each
    # column takes the narrowest Spark type that holds all of its values.
    # Read in a zone, times are instants: Spark's TIMESTAMP (kept as UTC,
    # shown in the session's zone), from Arrow's timestamps with a zone.
    # (Spark's type, Arrow's, whether it holds nulls) of each column.
    columns = {
        "time": (types.TimestampNTZType(), pyarrow.timestamp("us"), False),
        "zoned time": (types.TimestampType(), pyarrow.timestamp("us", tz="UTC"), False),
        "signal_id": (types.IntegerType(), pyarrow.int32(), False),
        "element": (types.IntegerType(), pyarrow.int32(), False),
        "value": (types.DoubleType(), pyarrow.float64(), True),
        "item_class": (types.ShortType(), pyarrow.int16(), False),
        "subtype": (types.ShortType(), pyarrow.int16(), False),
    }
    # The catalog's texts, null where it has no entry for the row's code.
    columns.update({name: (types.StringType(), pyarrow.string(), True) for name in LABELS})
    return {"ArchiveDataSource": source, "ArchiveReader": reader, "FilteringReader": filtering,
            "ArchiveStreamReader": stream, "columns": columns}


def schemas(plan: zentrail.ReadPlan) -> Tuple[Any, Any]:
    """The Spark schema and the Arrow schema of the rows of `plan`."""
    types = import_extra("pyspark.sql.types", "zentrail.spark", "spark")
    pyarrow = import_extra("pyarrow", "zentrail.spark", "spark")
    kinds = source_classes()["columns"]
    names = plan.pushdown.columns
    chosen = [(name, kinds["zoned time" if name == "time" and plan.zone is not None else name]) for name in names]
    return (types.StructType([types.StructField(name, kind[0], nullable=kind[2]) for name, kind in chosen]),
            pyarrow.schema([pyarrow.field(name, kind[1], nullable=kind[2]) for name, kind in chosen]))


class SourceMethods:
    """``spark.read.format("zentrail")`` with the options ``root``, ``start``
    and ``end`` (bounds as zentrail.scan takes them as text), ``signals`` (as
    zentrail.parse_signals reads them: "7", "7:0-3,12", names and patterns
    of the catalog such as "TI-*"; every signal if absent), ``catalog`` (the
    path of a catalog file, when not the root's) and ``storage_options``
    (JSON, for a URL root), ``tz`` (the archive's zone, as zentrail.scan's
    tz=; "none" reads wall times even where the root names a zone),
    ``errors`` (as zentrail.scan's: what a damaged file does), ``columns``
    (some of scan's, in their order, and the catalog's ``name``, ``unit`` and
    ``description``: "time,name,value,unit"). The rows of
    ``zentrail.scan(root, start, end, signals)``, times truncated to the
    microsecond (Spark's precision): in a zone ``time`` is a TIMESTAMP (an
    instant), else a TIMESTAMP_NTZ (the wall time as written).

    ``spark.readStream.format("zentrail")`` follows the archive as it grows
    (see StreamMethods): the same options, ``start`` and ``end`` optional."""

    options: MutableMapping[str, str]  # set by Spark's DataSource

    @classmethod
    def name(cls) -> str:
        return "zentrail"

    def schema(self) -> Any:
        # A stream needs no window: the schema is asked of either kind of read.
        return schemas(plan_of_options(self.options, stream=True))[0]

    def reader(self, schema: Any) -> Any:
        kind = "FilteringReader" if filters_supported() else "ArchiveReader"
        return source_classes()[kind](plan_of_options(self.options))

    def streamReader(self, schema: Any) -> Any:
        return source_classes()["ArchiveStreamReader"](plan_of_options(self.options, stream=True),
                                                       "start" in self.options)


def plan_of_options(options: Any, stream: bool = False) -> zentrail.ReadPlan:
    """The plan of one load's options (read with one thread: Spark runs a
    task per core), or ValueError naming the option. A stream's window is
    open where ``start`` or ``end`` is not given."""
    missing = [name for name in (("root",) if stream else ("root", "start", "end")) if name not in options]
    if missing:
        raise ValueError(f"the zentrail data source needs the option{'s' * (len(missing) > 1)} "
                         f"{', '.join(missing)} (.option(\"root\", ...))")
    signals = None
    if "signals" in options:
        try:
            signals = zentrail.parse_signals(options["signals"])
        except ValueError as error:
            raise ValueError(f"option signals: {error}") from None
    columns = _column_list(options["columns"]) if "columns" in options else None
    storage = json.loads(options["storage_options"]) if "storage_options" in options else None
    catalog = options["catalog"] if "catalog" in options else None
    tz: Any = options["tz"] if "tz" in options else None
    if isinstance(tz, str) and tz.strip().lower() == "none":
        tz = False
    errors = options["errors"] if "errors" in options else "raise"
    start = options["start"] if "start" in options else _OPEN[0]
    end = options["end"] if "end" in options else _OPEN[1]
    try:
        scan = zentrail.scan(options["root"], start, end, signals, catalog=catalog, threads=1,
                             storage_options=storage, tz=tz, errors=errors)
    except ValueError as error:
        named = re.sub(r"\b(dt_start|dt_end)\b", lambda found: OPTION_OF_ARGUMENT[found.group(1)], str(error))
        raise ValueError(named) from None
    plan = scan.plan
    if columns is not None:
        try:
            plan = plan.select(*columns)
        except ValueError as error:
            raise ValueError(f"option columns: {error}") from None
    # The catalog has named the signals; the columns are scan's own, which
    # need it no more, so it does not travel with every partition.
    return plan if plan.needs_catalog else plan.replace(catalog=None)


def _column_list(text: str) -> List[str]:
    names = [name.strip() for name in text.split(",")]
    for name in names:
        if name not in CORE_COLUMNS + LABELS:
            raise ValueError(f"option columns: {name!r} is not one of {', '.join(CORE_COLUMNS + LABELS)}")
    return names


class ReaderMethods:
    """One partition per archive file, in scan's order, each the plan of
    that file read on an executor."""

    def __init__(self, plan: zentrail.ReadPlan) -> None:
        self.plan = plan

    def _holds_nothing(self) -> bool:
        """Filters that leave no code or no time (Spark's own, handed over)."""
        plan = self.plan
        return (plan.codes is not None and not len(plan.codes)) or plan.last_ns < plan.first_ns

    def partitions(self) -> List[Any]:
        if self._holds_nothing():
            return []
        datasource = import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
        return [datasource.InputPartition(self.plan.with_files([path])) for path in self.plan.files()]

    def read(self, partition: Any) -> Iterator[Any]:
        pyarrow = import_extra("pyarrow", "zentrail.spark", "spark")
        plan = partition.value
        arrow_schema = schemas(plan)[1]
        for batch in pyarrow.RecordBatchReader.from_stream(zentrail.Scan(plan)):
            # The times to Spark's microseconds; the integers widened
            # losslessly; the catalog's texts from their dictionaries.
            yield batch.cast(arrow_schema, safe=False)


class FilteringMethods(ReaderMethods):
    """The reader where Spark hands filters over: equalities on signal_id
    narrow the codes, comparisons on time the window (and with it the files).
    Both are handed back too, since Spark compares at microseconds while a
    bound is exact to the nanosecond."""

    def pushFilters(self, filters: List[Any]) -> Iterable[Any]:
        datasource = import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
        for condition in filters:
            column = condition.attribute
            if column == ("signal_id",) and isinstance(condition, (datasource.EqualTo, datasource.In)):
                ids = [condition.value] if isinstance(condition, datasource.EqualTo) else list(condition.value)
                self.plan = self.plan.where(signal_ids=[i for i in ids if isinstance(i, int) and 0 <= i <= 65535])
            elif column == ("time",):
                moment = _ns(condition.value, self.plan.zone is not None)
                if moment is None:
                    pass
                elif isinstance(condition, (datasource.GreaterThan, datasource.GreaterThanOrEqual)):
                    self.plan = self.plan.narrowed(first=moment)
                elif isinstance(condition, (datasource.LessThan, datasource.LessThanOrEqual)):
                    # The whole microsecond of the moment, since Spark's times are.
                    self.plan = self.plan.narrowed(last=moment + 999)
            yield condition


def _ns(moment: Any, zoned: bool = False) -> Optional[int]:
    """A naive datetime (a timestamp_ntz) as ns since 1970-01-01, or of a
    read in a zone an aware one (an instant); None for anything else, which
    narrows nothing."""
    if not isinstance(moment, datetime.datetime) or (moment.tzinfo is not None) != zoned:
        return None
    if zoned:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    return (moment - _EPOCH) // datetime.timedelta(microseconds=1) * 1000


def filters_supported() -> bool:
    """Whether the installed Spark hands filters to Python sources (4.1 and later)."""
    datasource = import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
    return hasattr(datasource, "Filter")


class StreamMethods:
    """The stream reader of one query. Its offsets are those of
    zentrail.ArchiveRanges (follow's cursors: where the archive was read up
    to, whole records only, with the ends of the files passed since the
    offset before), so that a batch is known from its two offsets and a
    query restarted from its checkpoint reads the same bytes again. One
    partition per file of a batch, its range read on an executor. Without
    the option ``start`` the stream begins with what is written from the
    query's first start on, as zentrail.follow does."""

    def __init__(self, plan: zentrail.ReadPlan, from_first: bool) -> None:
        self.found = zentrail.ArchiveRanges(plan)
        self.from_first = from_first

    def initialOffset(self) -> Dict[str, Any]:
        return self.found.initial(self.from_first)

    def latestOffset(self, start: Dict[str, Any], limit: Any = None) -> Dict[str, Any]:
        return self.found.latest(start)

    def prepareForTriggerAvailableNow(self) -> None:
        self.found.freeze()

    def partitions(self, start: Dict[str, Any], end: Dict[str, Any]) -> List[Any]:
        datasource = import_extra("pyspark.sql.datasource", "zentrail.spark", "spark")
        return [datasource.InputPartition(part) for part in self.found.ranges(start, end)]

    def read(self, partition: Any) -> Iterator[Any]:
        pyarrow = import_extra("pyarrow", "zentrail.spark", "spark")
        part = partition.value
        arrow_schema = schemas(part.plan)[1]
        times = pyarrow.timestamp("ns", tz=None if part.plan.zone is None else "UTC")
        for rows in part.rows():
            columns = [pyarrow.array(rows[name].view("int64"), type=times) if name == "time"
                       else pyarrow.array(rows[name], type=pyarrow.string() if name in LABELS else None)
                       for name in arrow_schema.names]
            # The times to Spark's microseconds; the integers widened losslessly.
            yield pyarrow.record_batch(columns, names=arrow_schema.names).cast(arrow_schema, safe=False)

    def commit(self, end: Dict[str, Any]) -> None:
        self.found.done(end)

    def stop(self) -> None:
        pass
