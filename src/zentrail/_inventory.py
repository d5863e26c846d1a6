"""zentrail.inventory: what an archive holds, from record heads alone."""

from __future__ import annotations


from . import _arguments, _time, _core, _names, _request
from ._result import Result

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple, Union

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
    ``to_pandas(names=True)`` adds the catalog's ``name`` and ``unit`` of
    each signal (those of its elements' entries, joined by ", ", for a
    group); :meth:`unmatched` lists the
    codes the catalog and the archive do not share.
    """

    __slots__ = ("_columns", "_catalog")
    _CLASS_NAME = True

    def __init__(self, columns: _Columns, errors: str = "raise", catalog: Any = None) -> None:
        """Made by zentrail.inventory."""
        self._columns = columns
        self._set_errors(errors)
        self._catalog = catalog

    @property
    def catalog(self) -> Any:
        """The :class:`zentrail.Catalog` of the archive's names, or None."""
        return getattr(self, "_catalog", None)

    def to_pandas(self, *, names: bool = False) -> Any:
        """The rows as a pandas DataFrame, ``class_name`` categorical; with
        ``names=True`` and a catalog, ``name`` and ``unit`` after it."""
        frame = Result.to_pandas(self)
        if names and self.catalog is not None:
            labels = signal_labels(self.catalog, self._columns["signal_id"], self._columns["elements"])
            at = list(frame.columns).index("class_name") + 1
            frame.insert(at, "name", labels["name"])
            frame.insert(at + 1, "unit", labels["unit"])
        return frame

    def unmatched(self) -> _Columns:
        """What the archive and its catalog do not share, as columns
        ``side``, ``signal_id``, ``element``, ``name``: a code the files hold
        (``element`` -1 for a signal without rows, such as AlBool) that no
        entry names (side ``"archive"``), and an entry whose code the files
        never hold (side ``"catalog"``; ``element`` -1 for a whole-signal
        entry). ValueError when there is no catalog."""
        if self.catalog is None:
            raise ValueError("no catalog to match the archive against (zentrail-catalog.csv in the root, or "
                             "catalog= of zentrail.inventory)")
        return unmatched(self.catalog, self._columns["signal_id"], self._columns["elements"])

    def __len__(self) -> int:
        return len(self._columns["signal_id"])

    def _read(self) -> _Columns:
        return dict(self._columns)

    def __repr__(self) -> str:
        return f"<zentrail.Inventory of {len(self)} rows>"


def signal_labels(catalog: Any, ids: Any, elements: Any) -> Dict[str, List[Optional[str]]]:
    """The ``name`` and ``unit`` of each signal (an inventory row): its
    whole-signal entry's, else those of its elements' entries, joined by
    ", " (distinct units once); None where no entry names it."""
    names: List[Optional[str]] = []
    units: List[Optional[str]] = []
    for ident, count in zip(ids.tolist(), elements.tolist()):
        found = [catalog.entry(ident * 1024 + element) for element in range(max(count, 1))]
        entries = [entry for entry in found if entry is not None]
        distinct = list({entry.name: entry for entry in entries}.values())
        names.append(", ".join(entry.name for entry in distinct) or None)
        units.append(", ".join(dict.fromkeys(entry.unit for entry in distinct if entry.unit)) or None)
    return {"name": names, "unit": units}


def unmatched(catalog: Any, ids: Any, elements: Any) -> _Columns:
    """The codes the archive holds that no entry names, and the entries
    whose codes the archive never holds (see Inventory.unmatched)."""
    import numpy

    most = numpy.full(65536, -1, dtype=numpy.int64)
    numpy.maximum.at(most, ids.astype(numpy.int64), elements.astype(numpy.int64))
    rows: List[Tuple[str, int, int, Optional[str]]] = []
    named_ids = catalog.signal_ids()
    for ident in numpy.flatnonzero(most >= 0).tolist():
        if ident == 0:  # System records: no signal to name
            continue
        count = int(most[ident])
        if count == 0:
            if ident not in named_ids:
                rows.append(("archive", ident, -1, None))
            continue
        for element in range(count):
            if catalog.entry(ident * 1024 + element) is None:
                rows.append(("archive", ident, element, None))
    for entry in catalog:
        count = int(most[entry.signal_id])
        held = count >= 0 and (entry.element is None or entry.element < max(count, 1))
        if not held:
            rows.append(("catalog", entry.signal_id, -1 if entry.element is None else entry.element, entry.name))
    return {"side": numpy.array([r[0] for r in rows], dtype=object),
            "signal_id": numpy.array([r[1] for r in rows], dtype=numpy.uint16),
            "element": numpy.array([r[2] for r in rows], dtype=numpy.int32),
            "name": numpy.array([r[3] for r in rows], dtype=object)}


def inventory(root_dir: Any, dt_start: Any = None, dt_end: Any = None, *, by: Optional[str] = None,
              threads: Optional[int] = None, progress: _Progress = None, errors: str = "raise",
              catalog: Any = None) -> Inventory:
    from . import _catalog

    if by not in (None, "day"):
        raise ValueError(f"by must be None or \"day\", not {by!r}")
    start = None if dt_start is None else _time.bound_tuple(dt_start, "dt_start")
    end = None if dt_end is None else _time.bound_tuple(dt_end, "dt_end")
    if start is not None and end is not None:
        _time.check_order(start, end, dt_start, dt_end)
    request = _request.Request(_arguments.path_bytes(root_dir), False, start, end,
                               threads=None if threads is None else _arguments.count(threads, "threads", 1),
                               progress=_arguments.check_progress(progress), errors=_request.check_errors(errors))
    result = Inventory(columns_from_core(_core.inventory(request, by == "day"), _DTYPES), errors,
                       _catalog.resolve(catalog, request.where))
    result._reported(request)
    return result
