"""What the tables zentrail gives have in common (Inventory, Events,
Overview): their consumers (NumPy columns, a pandas DataFrame whose name
columns are categoricals, an Arrow stream made by the core, so that no
Arrow library is needed), and their pickling."""

from __future__ import annotations

from zentrail import _core
from zentrail._base import classes as _names
from zentrail._read import request as _request
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Tuple

    _Columns = Dict[str, Any]

# The Arrow format of each NumPy type a result's columns hold.
_ARROW_FORMATS = {"bool": "b", "uint8": "C", "uint16": "S", "int32": "i", "int64": "l", "float64": "g", "datetime64[ns]": "tsn:",
                  "timedelta64[ns]": "tDn"}


class Result:
    """A table of columns. A subclass gives ``_read()`` (its columns as
    NumPy arrays, read afresh or held), and says which columns are names
    (``_NAME_COLUMNS``: str in NumPy, categorical in pandas,
    dictionary-encoded in Arrow; None in one is missing there) and whether a ``class_name`` column
    follows ``item_class`` outside NumPy (``_CLASS_NAME``).

    Every result reads with an ``errors`` mode ("raise", "warn" or "skip",
    see :func:`zentrail.scan`) and lists in :attr:`skipped` the damaged files
    its last read passed over; a subclass sets both with
    ``_set_errors`` and hands each read's request through ``_reported``."""

    __slots__ = ("_errors", "_skipped")
    _NAME_COLUMNS: Tuple[str, ...] = ()
    _CLASS_NAME = False
    # The columns of instants: with a zone (``_zone()``), pandas shows them
    # in it and Arrow types them timestamp[ns, tz=<zone>]; NumPy keeps UTC.
    _INSTANT_COLUMNS: Tuple[str, ...] = ()

    def _zone(self) -> Any:
        """The zone the result was read in (a zentrail._base.time.Zone), or
        None: a subclass's ``_read_zone`` slot, or a plan's by overriding."""
        return getattr(self, "_read_zone", None)  # a pickle made before zones has none

    def _read(self) -> _Columns:
        raise NotImplementedError

    def _coded_read(self) -> _Columns:
        """The columns as ``_read()``, save that a subclass may give a name
        column as its codes (a :class:`Coded`), which a table and an Arrow
        stream take without making a str per row."""
        return self._read()

    def _set_errors(self, errors: str) -> None:
        self._errors = errors
        self._skipped: List[Any] = []

    def _reported(self, request: "_request.Request") -> "_request.Request":
        """`request`, whose damaged files passed over become :attr:`skipped`."""
        self._skipped = _request.skipped_files(request)
        return request

    @property
    def skipped(self) -> List[Any]:
        """The damaged files the last read passed over (``errors="warn"`` or
        ``"skip"``), in read order, as :class:`zentrail.Skipped` (path, byte
        offset, message); empty with ``errors="raise"``."""
        return list(self._skipped)

    def to_numpy(self) -> _Columns:
        """The columns as a dict of NumPy arrays by name."""
        return self._read()

    def _table(self, pandas: Any = None) -> Tuple[_Columns, Tuple[str, ...]]:
        """The columns of a frame (pandas categoricals for the names when
        `pandas` is given), and which of them are names still to encode."""
        columns = self._coded_read()
        names = self._NAME_COLUMNS
        if pandas is not None:
            for name in names:
                column = columns[name]
                columns[name] = pandas.Categorical.from_codes(column.codes, categories=list(column.names)) \
                    if isinstance(column, Coded) else _names.categorical(pandas, column)
            names = ()
            zone = self._zone()
            if zone is not None:
                from zentrail._read.columns import instants_in_pandas

                for name in self._INSTANT_COLUMNS:
                    if name in columns:
                        columns[name] = instants_in_pandas(pandas, columns[name], zone)
        if not self._CLASS_NAME:
            return columns, names
        named: _Columns = {}
        for name, column in columns.items():
            named[name] = column
            if name == "item_class":  # from the codes: the names follow from them
                named["class_name"] = _names.class_name_column(pandas, column) if pandas is not None else \
                    _ClassNames(column)
        return named, names

    def to_pandas(self) -> Any:
        """The columns as a pandas DataFrame, the name columns categorical
        (ImportError naming the extra when pandas is missing)."""
        pandas = import_extra("pandas", f"{type(self).__name__}.to_pandas()", "pandas")
        return pandas.DataFrame(self._table(pandas)[0], copy=False)

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """The Arrow PyCapsule stream (``pyarrow.table(result)``,
        ``polars.DataFrame(result)``, DuckDB), made by the core: name
        columns dictionary-encoded, text columns utf8 with nulls.
        ``requested_schema`` is ignored (the columns have one form)."""
        columns, names = self._table()
        zone = self._zone()
        instants = self._INSTANT_COLUMNS if zone is not None else ()
        return _core.table_stream(arrow_columns(columns, names, None if zone is None else zone.name, instants))

    def __getstate__(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in _slots(type(self)))

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        for name, value in zip(_slots(type(self)), state):
            # A result pickled before results held plans holds its Scan there.
            setattr(self, name, value.plan if name == "_plan" and hasattr(value, "plan") else value)


def _slots(cls: type) -> List[str]:
    return [name for klass in reversed(cls.__mro__) for name in getattr(klass, "__slots__", ())]


class _ClassNames:
    """A class_name column still as its codes: Arrow takes the codes as the
    indices of the class names, with no copy into names and back."""

    __slots__ = ("codes",)

    def __init__(self, codes: Any) -> None:
        self.codes = codes


class Coded:
    """A name column as its distinct names (sorted) and each row's index
    among them (int32): what a categorical and an Arrow dictionary hold."""

    __slots__ = ("codes", "names")

    def __init__(self, codes: Any, names: Tuple[str, ...]) -> None:
        self.codes = codes
        self.names = names

    def objects(self) -> Any:
        """The names of the rows as a NumPy array of str objects, which share
        one str per distinct name."""
        import numpy

        table = numpy.empty(len(self.names), dtype=object)
        table[:] = self.names
        return table[self.codes]


class TableColumn:
    """A column as the core's table_stream reads it, by name: its ``name``,
    its Arrow format, its ``values`` (a buffer; for "u", a list of str or
    None) and, for a dictionary-encoded column, the ``names`` its values
    index (else None)."""

    __slots__ = ("name", "arrow_format", "values", "names")

    def __init__(self, name: str, arrow_format: str, values: Any, names: Any = None) -> None:
        self.name = name
        self.arrow_format = arrow_format
        self.values = values
        self.names = names


def arrow_columns(columns: _Columns, names: Tuple[str, ...], zone: Optional[str] = None,
                  instants: Tuple[str, ...] = ()) -> List[TableColumn]:
    """The columns as the core's table_stream takes them; those named in
    `instants` typed as instants shown in `zone`."""
    import numpy

    out: List[TableColumn] = []
    for name, column in columns.items():
        if isinstance(column, _ClassNames):
            out.append(TableColumn(name, "C", numpy.ascontiguousarray(column.codes), _names.CLASS_NAMES))
        elif isinstance(column, Coded):
            out.append(TableColumn(name, "i", numpy.ascontiguousarray(column.codes, dtype=numpy.int32),
                                   column.names))
        elif name in names:
            present, inverse = _names.name_codes(column)
            out.append(TableColumn(name, "i", inverse, present))
        elif column.dtype == object:  # text, None for no text
            out.append(TableColumn(name, "u", column.tolist()))
        else:
            values = numpy.ascontiguousarray(column)
            dtype = str(values.dtype)
            arrow_format = _ARROW_FORMATS[dtype] + (zone if zone is not None and name in instants else "")
            out.append(TableColumn(name, arrow_format,
                                   values.view(numpy.int64) if dtype.startswith(("datetime", "timedelta")) else values))
    return out
