"""The zentrail data source: its options, schema, partitions and reads, and
the filters it takes over from Spark."""

from __future__ import annotations

import json
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence

import pyarrow  # type: ignore[import-untyped]
from pyspark.sql.datasource import DataSource, DataSourceReader, InputPartition
from pyspark.sql.types import DoubleType, IntegerType, ShortType, StructField, StructType, TimestampNTZType

import zentrail

from zentrail._base import arguments as _arguments, time as _time

# Spark has no unsigned integers and keeps times to the microsecond: each
# column takes the narrowest Spark type that holds all of its values.
SCHEMA = StructType([
    StructField("time", TimestampNTZType(), nullable=False),
    StructField("signal_id", IntegerType(), nullable=False),
    StructField("element", IntegerType(), nullable=False),
    StructField("value", DoubleType(), nullable=True),
    StructField("item_class", ShortType(), nullable=False),
    StructField("subtype", ShortType(), nullable=False),
])
ARROW_SCHEMA = pyarrow.schema([
    pyarrow.field("time", pyarrow.timestamp("us"), nullable=False),
    pyarrow.field("signal_id", pyarrow.int32(), nullable=False),
    pyarrow.field("element", pyarrow.int32(), nullable=False),
    pyarrow.field("value", pyarrow.float64()),
    pyarrow.field("item_class", pyarrow.int16(), nullable=False),
    pyarrow.field("subtype", pyarrow.int16(), nullable=False),
])
PUSHDOWN_CONF = "spark.sql.python.filterPushdown.enabled"


def register(spark: Any) -> None:
    """Registers the data source "zentrail" with the session `spark`, and,
    where the installed Spark hands filters to Python sources (4.1 and
    later), turns that on: filters on ``signal_id`` and ``time`` then narrow
    what is read (Spark still applies them to the rows)."""
    spark.dataSource.register(ArchiveDataSource)
    if _filters_supported():
        spark.conf.set(PUSHDOWN_CONF, "true")


class ArchiveDataSource(DataSource):
    """``spark.read.format("zentrail")`` with the options ``root``, ``start``
    and ``end`` (bounds as zentrail.scan takes them as text), ``signals`` (as
    the zentrail command writes them: "7", "7:0-3,12"; every signal if
    absent) and ``storage_options`` (JSON, for a URL root). The rows of
    ``zentrail.scan(root, start, end, signals)``, times truncated to the
    microsecond (Spark's precision)."""

    @classmethod
    def name(cls) -> str:
        return "zentrail"

    def schema(self) -> StructType:
        return SCHEMA

    def reader(self, schema: StructType) -> DataSourceReader:
        options = _Options.of(self.options)
        return _FilteringReader(options) if _filters_supported() else _ArchiveReader(options)


class _Options:
    """The checked options of one load."""

    def __init__(self, root: str, start: str, end: str, codes: Any, storage_options: Optional[Dict[str, Any]]):
        self.root = root
        self.start = start
        self.end = end
        self.codes = codes
        self.storage_options = storage_options

    @classmethod
    def of(cls, options: Any) -> "_Options":
        missing = [name for name in ("root", "start", "end") if name not in options]
        if missing:
            raise ValueError(f"the zentrail data source needs the option{'s' * (len(missing) > 1)} "
                             f"{', '.join(missing)} (.option(\"root\", ...))")
        start, end = options["start"], options["end"]
        _time.window(start, end, ("option start", "option end"))
        codes = _signal_codes(options["signals"]) if "signals" in options else None
        storage = json.loads(options["storage_options"]) if "storage_options" in options else None
        return cls(options["root"], start, end, codes, storage)


def _signal_codes(text: str) -> Any:
    from ..cli.arguments import UsageError, parse_signals

    try:
        return _arguments.codes_array(parse_signals(text))
    except UsageError as error:
        raise ValueError(f"option signals: {str(error).replace('--signals: ', '')}") from None


class _ArchiveReader(DataSourceReader):
    """One partition per archive file, in scan's order."""

    def __init__(self, options: _Options) -> None:
        self.options = options

    def _holds_nothing(self) -> bool:
        """Filters that leave no code or no time (Spark's own, handed over)."""
        options = self.options
        if options.codes is not None and not len(options.codes):
            return True
        start, end = _time.bound_tuple(options.start, "start"), _time.bound_tuple(options.end, "end")
        return _time.last_ns(end) < _time.first_ns(start)

    def partitions(self) -> Sequence[InputPartition]:
        if self._holds_nothing():
            return []
        options = self.options
        paths = zentrail.find_files(options.root, options.start, options.end, storage_options=options.storage_options)
        return [InputPartition(path) for path in paths]

    def read(self, partition: InputPartition) -> Iterator[pyarrow.RecordBatch]:
        options = self.options
        scan = zentrail.scan_files([partition.value], options.start, options.end, options.codes, threads=1,
                                   storage_options=options.storage_options)
        for batch in pyarrow.RecordBatchReader.from_stream(scan):
            # The times to Spark's microseconds; the integers widened losslessly.
            yield batch.cast(ARROW_SCHEMA, safe=False)


class _FilteringReader(_ArchiveReader):
    """The reader where Spark hands filters over: equalities on signal_id
    narrow the codes, comparisons on time the window (and with it the files).
    Both are handed back too, since Spark compares at microseconds while a
    bound is exact to the nanosecond."""

    def pushFilters(self, filters: List[Any]) -> Iterable[Any]:
        from pyspark.sql.datasource import EqualTo, GreaterThan, GreaterThanOrEqual, In, LessThan, LessThanOrEqual

        options = self.options
        for condition in filters:
            column = condition.attribute
            if column == ("signal_id",) and isinstance(condition, (EqualTo, In)):
                ids = [condition.value] if isinstance(condition, EqualTo) else list(condition.value)
                options.codes = _codes_of_ids(options.codes, ids)
            elif column == ("time",) and isinstance(condition, (GreaterThan, GreaterThanOrEqual)):
                options.start = _later(options.start, condition.value)
            elif column == ("time",) and isinstance(condition, (LessThan, LessThanOrEqual)):
                options.end = _earlier(options.end, condition.value)
            yield condition


def _codes_of_ids(codes: Any, ids: List[Any]) -> Any:
    """The codes of `codes` (None: every code) whose signal id is one of `ids`."""
    import numpy

    wanted = numpy.array(sorted({int(i) for i in ids if isinstance(i, int) and 0 <= i <= 65535}), dtype=numpy.int64)
    if codes is None:
        return _arguments.codes_array((wanted[:, None] * 1024 + numpy.arange(1024)).ravel())
    return codes[numpy.isin(codes // 1024, wanted)]


def _later(start: str, moment: Any) -> str:
    """The later of a start bound and a moment (a datetime), as a bound text."""
    ns = _time.first_ns(_time.bound_tuple(moment, "time filter"))
    return _time.instant_text(ns) if ns > _time.first_ns(_time.bound_tuple(start, "option start")) else start


def _earlier(end: str, moment: Any) -> str:
    """The earlier of an end bound and a moment, as a bound text: the end
    stays the whole microsecond of the moment, since Spark's times are."""
    last = _time.first_ns(_time.bound_tuple(moment, "time filter")) + 999
    if last >= _time.last_ns(_time.bound_tuple(end, "option end")):
        return end
    return _time.instant_text(last)


def _filters_supported() -> bool:
    try:
        from pyspark.sql.datasource import Filter  # noqa: F401  (Spark 4.1 and later)
    except ImportError:
        return False
    return True
