"""The catalog's columns of a scan (name, unit, description): per batch, the
entry of each row found from its signal_id and element by a few NumPy
gathers, and each column given as indices into a dictionary of its
distinct texts (a categorical in pandas, dictionary-encoded in Arrow, str
objects in NumPy). The engine reads the code columns in their place."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional, Tuple

    from ._catalog import Catalog

LABEL_COLUMNS = ("name", "unit", "description")
_CODES = ("signal_id", "element")


def has_labels(columns: Tuple[str, ...]) -> bool:
    return any(name in LABEL_COLUMNS for name in columns)


def core_columns(columns: Tuple[str, ...]) -> Tuple[str, ...]:
    """The columns the engine reads for `columns`: those it makes, and the
    codes the labels are found from."""
    if not has_labels(columns):
        return columns
    needed = [name for name in columns if name not in LABEL_COLUMNS]
    return tuple(needed + [name for name in _CODES if name not in needed])


class Labels:
    """The dictionaries of one read: of the catalog's entries that can name
    its rows (those of its codes, or all), the distinct texts of each field."""

    __slots__ = ("_lookup", "_dictionaries", "_places")

    def __init__(self, catalog: Catalog, codes: Any = None, fields: Tuple[str, ...] = LABEL_COLUMNS) -> None:
        import numpy

        self._lookup = catalog.labels()
        if codes is None:
            rows = numpy.arange(len(catalog))
        else:
            rows = numpy.unique(self._lookup.rows(numpy.asarray(codes) >> 10, numpy.asarray(codes) & 1023))
            rows = rows[rows >= 0]
        self._dictionaries: Dict[str, List[str]] = {}
        self._places: Dict[str, Any] = {}
        for field in fields:
            texts = catalog.column(field)
            chosen = [texts[i] for i in rows.tolist()]
            dictionary = sorted({text for text in chosen if text is not None})
            place_of = {text: k for k, text in enumerate(dictionary)}
            # One more place, last, for rows of no entry (a lookup's -1).
            places = numpy.full(len(catalog) + 1, -1, dtype=numpy.int32)
            places[rows] = [place_of.get(text, -1) if text is not None else -1 for text in chosen]
            self._dictionaries[field] = dictionary
            self._places[field] = places

    def dictionary(self, field: str) -> List[str]:
        return self._dictionaries[field]

    def indices(self, field: str, signal_id: Any, element: Any, rows: Any = None) -> Any:
        """The dictionary index of each row's text (int32), -1 where none."""
        if rows is None:
            rows = self._lookup.rows(signal_id, element)
        return self._places[field][rows]

    def entry_rows(self, signal_id: Any, element: Any) -> Any:
        return self._lookup.rows(signal_id, element)

    def numpy_column(self, field: str, indices: Any) -> Any:
        import numpy

        texts = numpy.empty(len(self._dictionaries[field]) + 1, dtype=object)
        texts[:-1] = self._dictionaries[field]
        return texts[indices]

    def pandas_column(self, pandas: Any, field: str, indices: Any) -> Any:
        return pandas.Categorical.from_codes(indices, categories=self._dictionaries[field])

    def arrow_column(self, pyarrow: Any, dictionary: Any, indices: Any) -> Any:
        return pyarrow.DictionaryArray.from_arrays(pyarrow.array(indices, mask=indices < 0), dictionary)


def add_columns(columns: Dict[str, Any], wanted: Tuple[str, ...], labels: Labels, pandas: Any = None) -> Dict[str, Any]:
    """`wanted` in order from `columns` (which hold the codes), the label
    columns made from the codes (pandas categoricals when `pandas` is given)."""
    rows = labels.entry_rows(columns["signal_id"], columns["element"])
    out = {}
    for name in wanted:
        if name in LABEL_COLUMNS:
            indices = labels.indices(name, None, None, rows)
            out[name] = labels.pandas_column(pandas, name, indices) if pandas is not None else \
                labels.numpy_column(name, indices)
        else:
            out[name] = columns[name]
    return out


def arrow_schema(pyarrow: Any, core_schema: Any, wanted: Tuple[str, ...]) -> Any:
    fields = []
    for name in wanted:
        if name in LABEL_COLUMNS:
            fields.append(pyarrow.field(name, pyarrow.dictionary(pyarrow.int32(), pyarrow.string()), nullable=True))
        else:
            fields.append(core_schema.field(name))
    return pyarrow.schema(fields)


def arrow_batches(pyarrow: Any, reader: Any, schema: Any, wanted: Tuple[str, ...], labels: Labels) -> Iterator[Any]:
    """The engine's batches with the label columns added, in the order wanted."""
    dictionaries = {name: pyarrow.array(labels.dictionary(name), pyarrow.string())
                    for name in wanted if name in LABEL_COLUMNS}
    for batch in reader:
        rows = labels.entry_rows(batch.column("signal_id").to_numpy(), batch.column("element").to_numpy())
        arrays = []
        for name in wanted:
            if name in LABEL_COLUMNS:
                arrays.append(labels.arrow_column(pyarrow, dictionaries[name], labels.indices(name, None, None, rows)))
            else:
                arrays.append(batch.column(name))
        yield pyarrow.RecordBatch.from_arrays(arrays, schema=schema)


def column_names(catalog: Catalog, codes: List[int]) -> List[str]:
    """The name of each code's column: its entry's name (a whole-signal
    entry's with "[<element>]" after it where its signal has several
    columns), or "<signal_id>:<element>" where the catalog has none."""
    import collections

    per_id = collections.Counter(code >> 10 for code in codes)
    out = []
    for code in codes:
        entry = catalog.entry(code)
        if entry is None:
            out.append(f"{code >> 10}:{code & 1023}")
        elif entry.element is None and per_id[code >> 10] > 1:
            out.append(f"{entry.name}[{code & 1023}]")
        else:
            out.append(entry.name)
    return out


def field_metadata(catalog: Optional[Catalog], code: int) -> Dict[bytes, bytes]:
    """The Arrow field metadata of a code's column: its unit and description."""
    entry = None if catalog is None else catalog.entry(code)
    if entry is None:
        return {}
    return {key.encode(): value.encode() for key, value in (("unit", entry.unit),
                                                              ("description", entry.description)) if value}
