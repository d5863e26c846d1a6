"""zentrail.Scan: what a columnar read reads, and its consumers."""

from __future__ import annotations

from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union, final

from . import _arguments, _bounds, _core
from ._extras import import_extra
from ._overview import Overview

Columns = Dict[str, Any]
Progress = Union[None, bool, Callable[[int, int], Any]]


@final
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

    Failures (walk errors, files that cannot be opened or read, malformed
    records) raise what :func:`zentrail.read` raises, with the same messages
    and notes. Ctrl-C (and any signal handler that raises) stops a read
    within a few tens of milliseconds. A Scan pickles as what it describes.
    """

    __slots__ = ("_where", "_listed", "_start", "_end", "_shown", "_codes", "_threads", "_batch_rows", "_progress")

    def __init__(self, where: Union[bytes, List[bytes]], listed: bool, start: _bounds.BoundTuple,
                 end: _bounds.BoundTuple, shown: Tuple[str, str], codes: Any, threads: Optional[int], batch_rows: int,
                 progress: Progress) -> None:
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

    def _request(self) -> Tuple[Any, ...]:
        progress = self._progress
        if progress is True:
            progress = _arguments.ProgressBar()
        elif progress is False:
            progress = None
        # Resolved here, so that a pickled scan uses the CPUs of where it runs.
        threads = self._threads if self._threads is not None else _arguments.usable_cpu_count()
        return (self._where, self._listed, self._start, self._end, self._codes, threads, self._batch_rows, progress)

    def __iter__(self) -> Iterator[Columns]:
        """Batches of at most ``batch_rows`` rows in read order, as dicts of
        NumPy arrays (no copies); memory stays bounded however long the read.
        On a failure, every row before it is yielded first, then it raises.
        One iterator serves one consumer at a time."""
        return _core.iterate(*self._request())

    def to_numpy(self) -> Columns:
        """The whole read as one dict of NumPy columns (no partial result on failure)."""
        return _core.to_numpy(*self._request())

    def to_pandas(self, *, names: bool = False) -> Any:
        """The whole read as a pandas DataFrame with the columns of
        :meth:`to_numpy` (ImportError naming the extra when pandas is missing).
        With ``names=True`` two categorical columns follow them:
        ``class_name`` (the class as the text writer prints it, "GrWord") and
        ``subtype_name`` ("HiHi"; see :func:`zentrail.subtype_name`); the
        uint8 codes stay as they are."""
        pandas = import_extra("pandas", "Scan.to_pandas()", "pandas")
        columns = self.to_numpy()
        if names:
            from . import _names

            columns["class_name"] = _names.class_name_column(pandas, columns["item_class"])
            columns["subtype_name"] = _names.subtype_name_column(pandas, columns["item_class"], columns["subtype"])
        return pandas.DataFrame(columns, copy=False)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream: ``pyarrow.table(scan)``,
        ``polars.DataFrame(scan)`` and DuckDB read a scan through it. The read
        happens in this call, so failures raise here, as in read. The columns
        have one form, so ``requested_schema`` is not needed and is ignored."""
        return _core.arrow_stream(*self._request())

    def overview(self, buckets: int = 1000) -> Overview:
        """The scan summed up in ``buckets`` equal time buckets of its window,
        per signal id and element (count, mean, min, max, first, last and
        their instants), computed while the files are decoded: a
        :class:`zentrail.Overview`, read when consumed."""
        return Overview(self, buckets)

    def __getstate__(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        for name, value in zip(self.__slots__, state):
            setattr(self, name, value)

    def __repr__(self) -> str:
        import os

        where = repr(os.fsdecode(self._where)) if isinstance(self._where, bytes) else f"{len(self._where)} files"
        return f"<zentrail.Scan of {where} from {self._shown[0]} to {self._shown[1]}, " \
            f"{'every code' if self._codes is None else f'{len(self._codes)} codes'}>"


def make_scan(where: Union[bytes, List[bytes]], listed: bool, dt_start: Any, dt_end: Any,
              signals: Optional[Iterable[int]],
              threads: Optional[int], batch_rows: Optional[int], progress: Progress) -> Scan:
    start = _bounds.bound_tuple(dt_start, "dt_start")
    end = _bounds.bound_tuple(dt_end, "dt_end")
    codes = _arguments.codes_array(signals)
    return Scan(where, listed, start, end, (str(dt_start), str(dt_end)), codes,
                None if threads is None else _arguments.count(threads, "threads", 1),
                _arguments.count(batch_rows, "batch_rows", _arguments.DEFAULT_BATCH_ROWS),
                _arguments.check_progress(progress))
