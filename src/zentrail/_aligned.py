"""zentrail.Aligned: a scan's codes on a common time grid, made in the engine."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple

from . import _core, _series, _time
from ._result import Result

HOWS = ("step", "linear")


class Aligned(Result):
    """The values of a :class:`zentrail.Scan`'s codes on the grid
    ``S + k * every`` (k = 0, 1, ... while within the window), made by
    :meth:`zentrail.Scan.align`; see the page "Time series".

    Columns: ``time`` (datetime64[ns], the grid), then one float64 column
    per code, named ``"<signal_id>:<element>"``, in ascending code order:
    every code the scan was given, or with ``signals=None`` every code with
    a value row among the rows considered.

    ``how="step"``: the value of the last row at or before each instant (of
    several at one instant, the last in read order); ``how="linear"``: a row
    at the instant itself, else the value interpolated between the rows
    around it. NaN where there is none, or where ``max_gap`` is exceeded.
    The value in force at the window's start is looked for up to
    ``lookback`` before it (None: in every earlier file), without decoding
    the whole lookback.

    Computed in the engine on the scan's threads and streamed grid row by
    grid row: the Arrow stream hands over its first batch before the read is
    done, in memory bounded by the batches (rows out of time order in their
    file, or of another day than their file's, are held until settled).
    Like a Scan it reads nothing until consumed and reads afresh each time.
    """

    __slots__ = ("_scan", "_every", "_how", "_max_gap", "_lookback", "_considered")

    def __init__(self, scan: Any, every: Any, how: str, max_gap: Any, lookback: Any) -> None:
        """Made by Scan.align, whose arguments are checked here."""
        every_ns = _time.duration_ns(every, "every")
        if how not in HOWS:
            raise ValueError(f"how must be 'step' or 'linear', not {how!r}")
        gap, back = _series.durations(max_gap, lookback)
        _series.window(scan)
        # The series reads stop at a damaged file whatever the scan's errors
        # mode: a grid must not carry values on across a file it passed over.
        self._set_errors("raise")
        self._scan = scan
        self._every = every_ns
        self._how = how
        self._max_gap = gap
        self._lookback = back
        # (first, last) instants of the rows considered, None on a side
        # without limit, when a part of a larger grid looks where the whole
        # grid looks (zentrail.dask.align_archive); else from the lookback.
        self._considered: Optional[Tuple[Optional[int], Optional[int]]] = None

    def _plan(self) -> Tuple[Any, Tuple[int, int, int, bool, int, int, int]]:
        start, end = _series.window(self._scan)
        back = self._lookback
        first = None if back is None else start - back
        last = end if self._how == "step" else (None if back is None else end + back)
        if self._considered is not None:
            first, last = self._considered
        request = _series.widened_request(self._scan, first, last)
        series = (start, end, self._every, self._how == "linear", -1 if self._max_gap is None else self._max_gap,
                  _series.NO_FIRST if first is None else first, _series.NO_LAST if last is None else last)
        return request, series

    @property
    def every(self) -> int:
        """The grid's step in nanoseconds."""
        return self._every

    def _read(self) -> Dict[str, Any]:
        import numpy

        names, times, values = _core.align(*self._plan())
        columns = {"time": numpy.frombuffer(times, dtype="datetime64[ns]")}
        for name, column in zip(names, values):
            columns[name] = numpy.frombuffer(column, dtype=numpy.float64)
        return columns

    def for_each_batch(self, call: Callable[[Dict[str, Any]], Any]) -> None:
        """Calls ``call`` with each batch of at most the scan's ``batch_rows``
        grid rows, a dict of NumPy columns, as soon as it is settled: a whole
        grid of any length in bounded memory, without Arrow."""
        import numpy

        def hand_on(names: List[str], times: Any, values: List[Any]) -> None:
            batch = {"time": numpy.frombuffer(times, dtype="datetime64[ns]")}
            for name, column in zip(names, values):
                batch[name] = numpy.frombuffer(column, dtype=numpy.float64)
            call(batch)

        _core.align(*self._plan(), hand_on)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream (``pyarrow.table(aligned)``,
        ``polars.DataFrame(aligned)``, DuckDB): batches of grid rows, the
        first handed over before the read is done. ``requested_schema`` is
        ignored (the columns have one form)."""
        request, series = self._plan()
        return _core.align_stream(request, series)

    def __repr__(self) -> str:
        return f"<zentrail.Aligned every {_time.duration_text(self._every)} ({self._how}) of {self._scan!r}>"
