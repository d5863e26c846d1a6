"""zentrail.events: the alarm and system records of an archive, one row each."""

from __future__ import annotations


from zentrail._base import arguments as _arguments, time as _time, classes as _names
from zentrail import _core
from zentrail._elsewhere import remote as _remote
from zentrail._read import request as _request
from zentrail._read.inventory import columns_from_core
from zentrail._read.result import Result

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Tuple, Union

    _Columns = Dict[str, Any]
    _Progress = Union[None, bool, Callable[[int, int], Any]]

_DTYPES = {"time": "datetime64[ns]", "signal_id": "uint16", "item_class": "uint8", "subtype": "uint8",
           "param": "uint8", "value": "float64"}
_NAMES = ("class_name", "subtype_name", "detail")
ORDER = ("time", "signal_id", "item_class", "subtype", "param", "class_name", "subtype_name", "detail", "value",
         "text")


def _details(columns: _Columns) -> Any:
    """The detail of each row as a NumPy object array of str, from the
    distinct (class, subtype, param) of the rows."""
    import numpy

    key = (columns["item_class"].astype(numpy.uint32) * 8 + columns["subtype"]) * 256 + columns["param"]
    present, inverse = numpy.unique(key, return_inverse=True)
    table = numpy.empty(len(present), dtype=object)
    table[:] = [_names.record_names(int(k) // 2048, (int(k) // 256) % 8, int(k) % 256)[2] for k in present]
    return table[inverse.ravel()] if len(key) else numpy.empty(0, dtype=object)


def _codes(raw: Dict[str, Any]) -> _Columns:
    import numpy

    columns = columns_from_core(raw, _DTYPES)
    text = numpy.empty(len(columns["time"]), dtype=object)
    text[:] = columns["text"]
    columns["text"] = text
    return columns


def _finish(raw: Dict[str, Any]) -> _Columns:
    columns = _codes(raw)
    columns["class_name"] = _names.class_name_array(columns["item_class"], object)
    columns["subtype_name"] = _names.subtype_name_array(columns["item_class"], columns["subtype"], object)
    columns["detail"] = _details(columns)
    return {name: columns[name] for name in ORDER}


class Events(Result):
    """The alarm and system records of an archive, one row per record (not
    per element), in read order, made by :func:`zentrail.events`. It reads
    nothing until consumed, and reads afresh each time. Columns:

    - ``time``: datetime64[ns], the record's time (naive wall-clock time).
      Read in a zone, the instant: UTC in NumPy, the zone's in pandas and
      Arrow.
    - ``signal_id``: uint16, 0 for System records.
    - ``item_class``, ``subtype``, ``param``: uint8, the record's class (1 to
      12, 31, or 0 for System), subtype and second byte.
    - ``class_name``, ``subtype_name``, ``detail``: the three name fields
      exactly as the text writer (``zentrail-dump``) prints them for the
      record, for example "System", "Executive events", "BlockWarning"; str
      objects in ``to_numpy()``, categorical in ``to_pandas()``,
      dictionary-encoded in the Arrow stream.
    - ``value``: float64, the value read would give for the record (its
      accessor at position 0) for the boolean, integer and floating-point
      data types (AlAckn's too); NaN otherwise (System, AlBool, AlString).
    - ``text``: a string alarm's text decoded as UTF-8, invalid bytes
      replaced by U+FFFD; None for the other classes.

    Failures raise what :func:`zentrail.read` raises.
    """

    __slots__ = ("_root", "_start", "_end", "_ids", "_system", "_threads", "_progress", "_read_zone")
    _NAME_COLUMNS = _NAMES
    _INSTANT_COLUMNS = ("time",)

    def __init__(self, root: Any, start: Any, end: Any, ids: Optional[List[int]], system: bool,
                 threads: Optional[int], progress: _Progress, errors: str = "raise", zone: Any = None) -> None:
        """Made by zentrail.events."""
        self._set_errors(errors)
        self._root = root
        self._start = start
        self._end = end
        self._ids = ids
        self._system = system
        self._threads = threads
        self._progress = progress
        self._read_zone = zone

    def _request(self) -> _request.Request:
        return self._reported(_request.Request(self._root, False, self._start, self._end, threads=self._threads,
                                               progress=self._progress, errors=self._errors, zone=self._zone()))

    def _read(self) -> _Columns:
        """Every row as one dict of NumPy arrays by column name."""
        request = self._request()
        found = _finish(_core.events(request, self._ids, self._system))
        _request.report_clock(request)
        return found

    def __iter__(self) -> Iterator[_Columns]:
        """The rows in batches of a few files each (as many as the threads),
        as dicts like ``to_numpy()``; memory is bounded by those files'
        events. A failure raises when its batch is reached. ``progress`` is
        told the bytes of the whole iteration, as a scan's iteration tells
        them (``(0, 0)`` when no file lies in the window)."""
        request = self._request()
        for raw in _core.iterate_events(request, self._ids, self._system, max(1, request.threads)):
            yield _finish(raw)
        _request.report_clock(request)

    def __repr__(self) -> str:
        import os

        where = repr(os.fsdecode(self._root)) if isinstance(self._root, bytes) else repr(self._root)
        return f"<zentrail.Events of {where}>"


def codes_of(events: Events) -> _Columns:
    """The rows of ``events`` as ``to_numpy()`` gives them less the name
    columns (class_name, subtype_name, detail), which a reader that works on
    the codes would make only to drop: a fifth of the time of a read of a
    million alarms."""
    request = events._request()
    found = _codes(_core.events(request, events._ids, events._system))
    _request.report_clock(request)
    return found


def _listed(ids: Any) -> Any:
    return ids if isinstance(ids, (list, tuple, str, bytes)) else list(ids) if hasattr(ids, "__iter__") else ids


def events(root_dir: Any, dt_start: Any, dt_end: Any, ids: Optional[Iterable[Any]] = None, *, system: bool = True,
           threads: Optional[int] = None, progress: _Progress = None, errors: str = "raise",
           storage_options: Optional[Dict[str, Any]] = None, catalog: Any = None, tz: Any = None) -> Events:
    from zentrail._names import catalog as _catalog
    from zentrail._read.plan import archive_zone

    root = _remote.root_of(root_dir, storage_options)
    zone = archive_zone(tz, root)
    start, end = _time.window_in(zone, dt_start, dt_end)
    chosen: Optional[List[int]] = None
    if ids is not None:
        ids = _listed(ids)
        names = _catalog.resolve(catalog, root) if _catalog.has_names(ids) else None
        chosen = _arguments.id_list(ids, names)
    if not isinstance(system, bool):
        raise TypeError(f"system must be a bool, not {type(system).__name__}")
    return Events(root, start, end, chosen, system,
                  None if threads is None else _arguments.count(threads, "threads", 1),
                  _arguments.check_progress(progress), _request.check_errors(errors), zone)
