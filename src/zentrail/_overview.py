"""zentrail.Overview: a scan summed up in equal time buckets, in the engine."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional, Tuple

from . import _arguments, _core
from ._result import Result

# More buckets than any screen or table needs; a bucket index fits the
# engine's cell key.
MAX_BUCKETS = 1 << 30

# The columns in their order, with their NumPy types.
OVERVIEW_COLUMNS: Tuple[Tuple[str, str], ...] = (
    ("signal_id", "uint16"), ("element", "uint16"), ("bucket", "datetime64[ns]"), ("count", "int64"),
    ("mean", "float64"), ("min", "float64"), ("min_time", "datetime64[ns]"), ("max", "float64"),
    ("max_time", "datetime64[ns]"), ("first", "float64"), ("first_time", "datetime64[ns]"), ("last", "float64"),
    ("last_time", "datetime64[ns]"),
)


class Overview(Result):
    """The values of a :class:`zentrail.Scan` summed up per (``signal_id``,
    ``element``) in ``buckets`` equal time buckets of the scan's window, made
    by :meth:`zentrail.Scan.overview`.

    The buckets split the scan's window (``dt_start`` to the end of
    ``dt_end``'s precision) into lengths of ``ceil(window / buckets)``
    nanoseconds, the first starting at ``dt_start``: every bucket is equally
    long, and when the window does not divide evenly the last ones may lie
    partly or wholly past its end (and so hold nothing). The window is the
    scan's as given: a window far wider than the data (a century, for an
    archive of a year) spends most buckets on time with no data; narrow the
    scan to the data's span first (``zentrail.inventory`` gives each signal's
    first and last instants).

    One row per (``signal_id``, ``element``, ``bucket``) with at least one
    numeric value, sorted by those three; text rows and NaN values count
    nowhere. The columns: ``signal_id`` and ``element`` (uint16), ``bucket``
    (the bucket's start, datetime64[ns]), ``count`` (int64), ``mean``,
    ``min``, ``max``, ``first``, ``last`` (float64) and ``min_time``,
    ``max_time``, ``first_time``, ``last_time`` (datetime64[ns]). ``first``
    and ``last`` are the bucket's first and last values in read order (files
    in scan order, records in file order, as ``to_numpy()`` gives them);
    ``min_time`` and ``max_time`` are the instants of the first value in read
    order equal to the extreme: a min/max envelope drawn from these columns
    is exact.

    It is computed while the files are decoded, on the scan's threads, without
    keeping rows: memory grows with the rows of the result, not with the
    read. Like a Scan it reads nothing until consumed and reads afresh every
    time; failures raise what the scan would raise.
    """

    __slots__ = ("_scan", "_buckets")

    def __init__(self, scan: Any, buckets: int) -> None:
        """Made by Scan.overview."""
        buckets = _arguments.count(buckets, "buckets", 1000)
        if buckets > MAX_BUCKETS:
            raise ValueError(f"buckets must lie in 1 to {MAX_BUCKETS}, not {buckets}")
        self._scan = scan
        self._buckets = buckets

    @property
    def buckets(self) -> int:
        """The number of buckets the window is split into."""
        return self._buckets

    def _read(self) -> Dict[str, Any]:
        import numpy

        raw = _core.overview(self._scan._request(), self._buckets, False)
        return {name: numpy.frombuffer(raw[name], dtype=dtype) for name, dtype in OVERVIEW_COLUMNS}

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream: ``pyarrow.table(overview)``,
        ``polars.DataFrame(overview)`` and DuckDB read it. The read happens in
        this call, and the stream hands on the engine's columns as they are;
        ``requested_schema`` is ignored (the columns have one form)."""
        return _core.overview(self._scan._request(), self._buckets, True)

    def __repr__(self) -> str:
        return f"<zentrail.Overview in {self._buckets} buckets of {self._scan!r}>"
