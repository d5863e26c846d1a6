"""zentrail.inventory: what an archive holds, from record heads alone."""

from __future__ import annotations


from . import _arguments, _time, _core, _names, _remote, _request
from ._result import Result

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Optional, Union

    _Columns = Dict[str, Any]
    _Progress = Union[None, bool, Callable[[int, int], Any]]

_DTYPES = {"day": "datetime64[ns]", "signal_id": "uint16", "item_class": "uint8", "records": "int64",
           "elements": "int32", "first": "datetime64[ns]", "last": "datetime64[ns]", "files": "int32"}


def columns_from_core(raw: Dict[str, Any], dtypes: Dict[str, str]) -> _Columns:
    """The columns a core call lent as NumPy arrays (no copy)."""
    import numpy

    return {name: numpy.frombuffer(value, dtype=dtypes[name]) if name in dtypes else value
            for name, value in raw.items()}


class Inventory(Result):
    """What an archive holds, made by :func:`zentrail.inventory` (read when
    made; it holds the result). One row per ``(signal_id, item_class)`` (per
    ``(day, signal_id, item_class)`` with ``by="day"``), sorted by them:

    - ``day`` (``by="day"`` only, first): datetime64[ns], midnight of the
      date of the records' time.
    - ``signal_id``: uint16, the records' id; 0 for System records.
    - ``item_class``: uint8, 0 to 31; ``class_name`` beside it in
      ``to_pandas()`` (categorical) and the Arrow stream (dictionary):
      the class name as the text writer prints it ("GrWord", "AlByte",
      "System").
    - ``records``: int64, records of that id and class whose time lies in
      the window.
    - ``elements``: int32, the largest number of element indices that select
      a row of such a record: a group's or value alarm's element count, 1
      for a text row (string alarms, GrTime, GrError), 0 for records that
      give no row (AlBool, AlAckn, System). The codes ``id * 1024 + 0`` to
      ``id * 1024 + elements - 1`` are those that give rows in a scan.
    - ``first``, ``last``: datetime64[ns], the earliest and the latest time
      of such a record (the instants a scan gives).
    - ``files``: int32, the files holding such a record.

    ``to_numpy()`` keeps the codes alone (NumPy has no categories).
    """

    __slots__ = ("_columns",)
    _CLASS_NAME = True

    def __init__(self, columns: _Columns, errors: str = "raise") -> None:
        """Made by zentrail.inventory."""
        self._columns = columns
        self._set_errors(errors)

    def __len__(self) -> int:
        return len(self._columns["signal_id"])

    def _read(self) -> _Columns:
        return dict(self._columns)

    def __repr__(self) -> str:
        return f"<zentrail.Inventory of {len(self)} rows>"


def inventory(root_dir: Any, dt_start: Any = None, dt_end: Any = None, *, by: Optional[str] = None,
              threads: Optional[int] = None, progress: _Progress = None, errors: str = "raise",
              storage_options: Optional[Dict[str, Any]] = None) -> Inventory:
    if by not in (None, "day"):
        raise ValueError(f"by must be None or \"day\", not {by!r}")
    start = None if dt_start is None else _time.bound_tuple(dt_start, "dt_start")
    end = None if dt_end is None else _time.bound_tuple(dt_end, "dt_end")
    if start is not None and end is not None:
        _time.check_order(start, end, dt_start, dt_end)
    request = _request.Request(_remote.root_of(root_dir, storage_options), False, start, end,
                               threads=None if threads is None else _arguments.count(threads, "threads", 1),
                               progress=_arguments.check_progress(progress), errors=_request.check_errors(errors))
    result = Inventory(columns_from_core(_core.inventory(request, by == "day"), _DTYPES), errors)
    result._reported(request)
    return result
