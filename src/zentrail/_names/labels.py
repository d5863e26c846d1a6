"""The catalog's columns of a scan (name, unit, description): per batch, the
entry of each row found from its signal_id and element by a few NumPy
gathers, and each column given as indices into a dictionary of its
distinct texts (a categorical in pandas, dictionary-encoded in Arrow, str
objects in NumPy). The engine reads the code columns in their place."""

from __future__ import annotations

from zentrail import _core

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Iterator, List, Optional, Tuple

    from zentrail._names.catalog import Catalog

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
    its rows (those of its codes, or all), the distinct texts of each field.

    Each field's dictionary index is looked up per row through a table of
    1024 places per signal id the read can meet (the ids of its codes, or of
    the catalog), found by the row's id, in one pass of the engine's over
    the rows (without the GIL). A read that can meet
    more ids than DENSE_IDS looks rows up through the catalog's own lookup."""

    __slots__ = ("_lookup", "_dictionaries", "_places", "_slot", "_tables")
    DENSE_IDS = 4096
    CHUNK = 1 << 16

    def __init__(self, catalog: Catalog, codes: Any = None, fields: Tuple[str, ...] = LABEL_COLUMNS) -> None:
        import numpy

        self._lookup = catalog.lookup()
        if codes is None:
            rows = numpy.arange(len(catalog))
            ids = numpy.array(sorted(catalog.signal_ids()), dtype=numpy.int64)
        else:
            codes = numpy.asarray(codes, dtype=numpy.int64)
            rows = numpy.unique(self._lookup.rows(codes >> 10, codes & 1023))
            rows = rows[rows >= 0]
            ids = numpy.unique(codes >> 10)
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
        self._slot: Any = None
        self._tables: Dict[str, Any] = {}
        if len(ids) <= self.DENSE_IDS:
            # The last block, of no entry, serves every id the read cannot meet.
            self._slot = numpy.full(65536, len(ids), dtype=numpy.int32)
            self._slot[ids] = numpy.arange(len(ids), dtype=numpy.int32)
            every = self._lookup.rows(numpy.repeat(ids, 1024), numpy.tile(numpy.arange(1024), len(ids)))
            for field in fields:
                self._tables[field] = numpy.concatenate([self._places[field][every],
                                                         numpy.full(1024, -1, dtype=numpy.int32)])

    def dictionary(self, field: str) -> List[str]:
        return self._dictionaries[field]

    def indices_of(self, signal_id: Any, element: Any, fields: Tuple[str, ...]) -> Dict[str, Any]:
        """The dictionary index of each row's text in each field (int32),
        -1 where none."""
        import numpy

        count = len(signal_id)
        out = {field: numpy.empty(count, dtype=numpy.int32) for field in fields}
        if self._slot is not None and signal_id.dtype == numpy.uint16 and element.dtype == numpy.uint16:
            # The engine's loop: one pass over the rows, without the GIL.
            _core.label_indices(numpy.ascontiguousarray(signal_id), numpy.ascontiguousarray(element), self._slot,
                                tuple(self._tables[field] for field in fields), tuple(out[field] for field in fields))
            return out
        for first in range(0, count, self.CHUNK):
            ids = signal_id[first:first + self.CHUNK]
            elements = element[first:first + self.CHUNK]
            if self._slot is not None:
                place = self._slot[ids].astype(numpy.intp)
                place <<= 10
                place |= elements
                for field in fields:
                    numpy.take(self._tables[field], place, out=out[field][first:first + len(ids)])
            else:
                rows = self._lookup.rows(ids, elements)
                for field in fields:
                    out[field][first:first + len(ids)] = self._places[field][rows]
        return out

    def numpy_column(self, field: str, indices: Any) -> Any:
        import numpy

        texts = numpy.empty(len(self._dictionaries[field]) + 1, dtype=object)
        texts[:-1] = self._dictionaries[field]
        return texts[indices]

    def pandas_column(self, pandas: Any, field: str, indices: Any) -> Any:
        return pandas.Categorical.from_codes(indices, categories=self._dictionaries[field])

    def arrow_column(self, pyarrow: Any, dictionary: Any, indices: Any) -> Any:
        """Dictionary-encoded, from the indices' own buffer: pyarrow.array()
        of a NumPy array would import pandas (a fifth of a second or more)."""
        import numpy

        # A validity bitmap only for a batch with rows of no entry.
        validity = None
        nulls = 0
        if len(indices) and indices.min() < 0:
            present = indices >= 0
            nulls = len(indices) - int(numpy.count_nonzero(present))
            validity = pyarrow.py_buffer(numpy.packbits(present, bitorder="little"))
        codes = pyarrow.Array.from_buffers(pyarrow.int32(), len(indices), [validity, pyarrow.py_buffer(indices)],
                                           null_count=nulls)
        return pyarrow.DictionaryArray.from_arrays(codes, dictionary)


def add_columns(columns: Dict[str, Any], wanted: Tuple[str, ...], labels: Labels, pandas: Any = None) -> Dict[str, Any]:
    """`wanted` in order from `columns` (which hold the codes), the label
    columns made from the codes (pandas categoricals when `pandas` is given)."""
    found = labels.indices_of(columns["signal_id"], columns["element"],
                              tuple(name for name in wanted if name in LABEL_COLUMNS))
    out = {}
    for name in wanted:
        if name in LABEL_COLUMNS:
            indices = found[name]
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
    dictionaries = {name: _strings(pyarrow, labels.dictionary(name)) for name in wanted if name in LABEL_COLUMNS}
    for batch in reader:
        found = labels.indices_of(_values(batch.column("signal_id")), _values(batch.column("element")),
                                  tuple(dictionaries))
        arrays = []
        for name in wanted:
            if name in LABEL_COLUMNS:
                arrays.append(labels.arrow_column(pyarrow, dictionaries[name], found[name]))
            else:
                arrays.append(batch.column(name))
        yield pyarrow.RecordBatch.from_arrays(arrays, schema=schema)


# pyarrow.array() and Array.to_numpy() import pandas (a fifth of a second or
# more): Arrow arrays are made from and read through their buffers instead.
def _strings(pyarrow: Any, texts: List[str]) -> Any:
    """A utf8 array of `texts`."""
    import numpy

    encoded = [text.encode("utf-8") for text in texts]
    offsets = numpy.zeros(len(encoded) + 1, dtype=numpy.int32)
    numpy.cumsum([len(e) for e in encoded], out=offsets[1:])
    return pyarrow.Array.from_buffers(pyarrow.string(), len(encoded),
                                      [None, pyarrow.py_buffer(offsets), pyarrow.py_buffer(b"".join(encoded))])


def _values(array: Any) -> Any:
    """The uint16 values of an Arrow array without nulls, as NumPy, no copy."""
    import numpy

    return numpy.frombuffer(array.buffers()[1], dtype=numpy.uint16, count=len(array), offset=array.offset * 2)


def field_metadata(entry: Any) -> Dict[bytes, bytes]:
    """The Arrow field metadata of an entry's column: its unit and description."""
    if entry is None:
        return {}
    return {key.encode(): value.encode() for key, value in (("unit", entry.unit),
                                                              ("description", entry.description)) if value}
