"""zentrail.inventory: what an archive holds, from record heads alone."""

from __future__ import annotations


from zentrail._base import classes as _names
from zentrail._read import request as _request
from zentrail._read.result import Result

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, List, Optional, Tuple, Union

    _Columns = Dict[str, Any]
    _Progress = Union[None, bool, Callable[[int, int], Any]]

DTYPES = {"file": "int32", "day": "datetime64[ns]", "signal_id": "uint16", "item_class": "uint8", "records": "int64",
           "elements": "int32", "first": "datetime64[ns]", "last": "datetime64[ns]", "files": "int32"}


def columns_from_core(raw: Dict[str, Any], dtypes: Dict[str, str]) -> _Columns:
    """The columns a core call lent as NumPy arrays (no copy)."""
    import numpy

    return {name: numpy.frombuffer(value, dtype=dtypes[name]) if name in dtypes else value
            for name, value in raw.items()}


class Inventory(Result):
    """What an archive holds, made by :func:`zentrail.inventory` (read when
    made; it holds the result). One row per ``(signal_id, item_class)`` (per
    ``(day, signal_id, item_class)`` with ``by="day"``), sorted by them; with
    ``by="file"`` one row per ``(file, day, signal_id, item_class)``, the
    files in read order, each file's rows sorted by the rest:

    - ``file`` (``by="file"`` only, first): str, the file's path as
      :func:`zentrail.find_files` gives it (a URL for files elsewhere).
    - ``day`` (``by="day"`` and ``by="file"``): datetime64[ns], midnight of
      the date of the records' time, whichever day the file's name carries;
      read in a zone, the local day each instant falls on there, a naive
      date in every output (a 25-hour day holds 25 hours of records).
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
      of such a record (the instants a scan gives). Read in a zone, instants:
      UTC in NumPy, the zone's in pandas and Arrow.
    - ``files``: int32, the files holding such a record.

    ``to_numpy()`` keeps the codes alone (NumPy has no categories).
    ``to_pandas(names=True)`` adds the catalog's ``name`` and ``unit`` of
    each signal (those of its elements' entries, joined by ", ", for a
    group), which :meth:`labels` gives as lists; :meth:`unmatched` lists the
    codes the catalog and the archive do not share.
    """

    __slots__ = ("_columns", "_catalog", "_read_zone")
    _CLASS_NAME = True
    _INSTANT_COLUMNS = ("first", "last")

    def __init__(self, columns: _Columns, errors: str = "raise", catalog: Any = None,
                 request: Optional[_request.Request] = None, zone: Any = None) -> None:
        """Made by zentrail.inventory, from the columns its `request` read."""
        self._columns = columns
        self._set_errors(errors)
        self._catalog = catalog
        self._read_zone = zone
        if request is not None:
            self._reported(request)

    @property
    def catalog(self) -> Any:
        """The :class:`zentrail.Catalog` of the archive's names, or None."""
        return getattr(self, "_catalog", None)

    def to_pandas(self, *, names: bool = False) -> Any:
        """The rows as a pandas DataFrame, ``class_name`` categorical; with
        ``names=True`` and a catalog, ``name`` and ``unit`` after it."""
        frame = Result.to_pandas(self)
        if names and self.catalog is not None:
            labels = self.labels()
            at = list(frame.columns).index("class_name") + 1
            frame.insert(at, "name", labels["name"])
            frame.insert(at + 1, "unit", labels["unit"])
        return frame

    def labels(self) -> Dict[str, List[Optional[str]]]:
        """The catalog's ``"name"`` and ``"unit"`` of each row's signal, as
        two lists in row order: its whole-signal entry's, else those of its
        elements' entries joined by ", " (distinct units once); None where no
        entry names it, and everywhere without a catalog."""
        if self.catalog is None:
            return {"name": [None] * len(self), "unit": [None] * len(self)}
        return signal_labels(self.catalog, self._columns["signal_id"], self._columns["elements"])

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


def _element_rows(catalog: Any, ids: Any, counts: Any) -> Tuple[Any, Any, Any]:
    """Every (id, element) of elements 0 .. count - 1 of each id, and the
    catalog row naming each (-1 for none), found at once."""
    import numpy

    counts = numpy.asarray(counts, dtype=numpy.int64)
    every_id = numpy.repeat(numpy.asarray(ids, dtype=numpy.int64), counts)
    starts = numpy.repeat(numpy.cumsum(counts) - counts, counts)
    every_element = numpy.arange(int(counts.sum()), dtype=numpy.int64) - starts
    return every_id, every_element, catalog.lookup().rows(every_id, every_element)


def signal_labels(catalog: Any, ids: Any, elements: Any) -> Dict[str, List[Optional[str]]]:
    """The ``name`` and ``unit`` of each signal (an inventory row): its
    whole-signal entry's, else those of its elements' entries, joined by
    ", " (distinct units once); None where no entry names it."""
    import numpy

    counts = numpy.maximum(numpy.asarray(elements, dtype=numpy.int64), 1)
    found = _element_rows(catalog, ids, counts)[2]
    all_names, all_units = catalog.column("name"), catalog.column("unit")
    names: List[Optional[str]] = []
    units: List[Optional[str]] = []
    for part in numpy.split(found, numpy.cumsum(counts)[:-1]):
        rows = [int(r) for r in dict.fromkeys(part.tolist()) if r >= 0]
        names.append(", ".join(all_names[r] for r in rows) or None)
        units.append(", ".join(dict.fromkeys(all_units[r] for r in rows if all_units[r])) or None)
    return {"name": names, "unit": units}


def unmatched(catalog: Any, ids: Any, elements: Any) -> _Columns:
    """The codes the archive holds that no entry names, and the entries
    whose codes the archive never holds (see Inventory.unmatched)."""
    import numpy

    most = numpy.full(65536, -1, dtype=numpy.int64)
    numpy.maximum.at(most, ids.astype(numpy.int64), elements.astype(numpy.int64))
    most[0] = -1  # System records: no signal to name
    held = numpy.flatnonzero(most >= 0)
    # Signals without rows (AlBool, AlAckn) count as named by any entry of their id.
    bare = held[most[held] == 0]
    bare = bare[~numpy.isin(bare, numpy.array(sorted(catalog.signal_ids()), dtype=numpy.int64))]
    every_id, every_element, found = _element_rows(catalog, held, numpy.maximum(most[held], 0))
    side = ["archive"] * (len(bare) + int((found < 0).sum()))
    signal = numpy.concatenate([bare, every_id[found < 0]])
    element = numpy.concatenate([numpy.full(len(bare), -1), every_element[found < 0]])
    order = numpy.lexsort((element, signal))
    rows: List[Tuple[str, int, int, Optional[str]]] = [
        (side[k], int(signal[k]), int(element[k]), None) for k in order.tolist()]
    for entry in catalog:
        count = int(most[entry.signal_id])
        kept = count >= 0 and (entry.element is None or entry.element < max(count, 1))
        if not kept:
            rows.append(("catalog", entry.signal_id, -1 if entry.element is None else entry.element, entry.name))
    return {"side": numpy.array([r[0] for r in rows], dtype=object),
            "signal_id": numpy.array([r[1] for r in rows], dtype=numpy.uint16),
            "element": numpy.array([r[2] for r in rows], dtype=numpy.int32),
            "name": numpy.array([r[3] for r in rows], dtype=object)}
