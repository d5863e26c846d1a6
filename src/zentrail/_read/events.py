"""zentrail.events: the alarm and system records of an archive, one row each."""

from __future__ import annotations


from zentrail._base import arguments as _arguments, time as _time, classes as _names
from zentrail import _core
from zentrail._elsewhere import remote as _remote
from zentrail._read import request as _request
from zentrail._read.inventory import columns_from_core
from zentrail._read.result import Coded, Result

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


def _coded(keys: Any, size: int, name_of: Callable[[int], str]) -> Coded:
    """A name column from each row's key (0 to `size` - 1): the names of the
    keys present, each made once, sorted, and each row's index among them;
    found by marking the keys present rather than sorting the rows."""
    import numpy

    seen = numpy.zeros(size, dtype=bool)
    seen[keys] = True
    present = numpy.flatnonzero(seen)
    labels = [name_of(int(key)) for key in present]
    names = sorted(set(labels))
    position = {name: i for i, name in enumerate(names)}
    rank = numpy.zeros(size, dtype=numpy.int32)
    rank[present] = [position[label] for label in labels]
    return Coded(rank[keys], tuple(names))


def _name_columns(columns: _Columns) -> Dict[str, Coded]:
    import numpy

    classes = columns["item_class"].astype(numpy.uint16)
    kinds = classes * 8 + columns["subtype"]
    return {"class_name": _coded(classes, 32, lambda c: _names.CLASS_NAMES[c]),
            "subtype_name": _coded(kinds, 256, lambda k: _names.subtype_names()[k]),
            "detail": _coded(kinds * 256 + columns["param"], 65536,
                             lambda k: _names.record_names(k // 2048, (k // 256) % 8, k % 256)[2])}


def _codes(raw: Dict[str, Any]) -> _Columns:
    """The columns of a core read; the texts (decoded once each) put back
    in their rows, None where a row has none."""
    import numpy

    columns = columns_from_core(raw, _DTYPES)
    table = numpy.empty(len(raw["texts"]) + 1, dtype=object)
    table[:-1] = raw["texts"]  # and None last, where the code -1 points
    columns["text"] = table[numpy.frombuffer(raw["text_code"], dtype=numpy.int32)]
    del columns["text_code"], columns["texts"]
    return columns


def _finish(raw: Dict[str, Any], coded: bool = False) -> _Columns:
    """The columns in order, the names as str objects, or as Coded when
    `coded` (a table or an Arrow stream is made of the codes)."""
    columns = _codes(raw)
    for name, column in _name_columns(columns).items():
        columns[name] = column if coded else column.objects()
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

    def _read(self, coded: bool = False) -> _Columns:
        """Every row as one dict of NumPy arrays by column name (the names
        as Coded when `coded`)."""
        request = self._request()
        found = _finish(_core.events(request, self._ids, self._system), coded)
        _request.report_clock(request)
        return found

    def _coded_read(self) -> _Columns:
        return self._read(coded=True)

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
