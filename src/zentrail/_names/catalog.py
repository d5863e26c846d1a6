"""zentrail.Catalog: the plant's own names, units and interpolation kinds of
the signal codes, from a table kept outside the archive (CSV, JSON, a frame
or a list of dicts), checked row by row when loaded."""

from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable, Dict, FrozenSet, Iterable, Iterator, List, Optional, Sequence, Tuple

# The columns a catalog knows; any other column is kept as extra metadata.
KNOWN = ("signal_id", "element", "name", "unit", "description", "interpolation")
INTERPOLATIONS = ("step", "linear")
# The files an archive root may hold its catalog in, looked for in this order.
DEFAULT_FILES = ("zentrail-catalog.csv", "zentrail-catalog.json")
_WHOLE = -1  # the element of an entry that applies to every element of its signal
_WILDCARDS = frozenset("*?[")


class Entry:
    """One row of a :class:`Catalog`: ``signal_id``, ``element`` (None: the
    entry applies to every element of the signal), ``name``, ``unit``,
    ``description``, ``interpolation`` (None where the row leaves them
    blank) and ``extra``, a dict of the row's other columns."""

    __slots__ = ("signal_id", "element", "name", "unit", "description", "interpolation", "extra")

    def __init__(self, signal_id: int, element: Optional[int], name: str, unit: Optional[str] = None,
                 description: Optional[str] = None, interpolation: Optional[str] = None,
                 extra: Optional[Dict[str, Any]] = None) -> None:
        self.signal_id = signal_id
        self.element = element
        self.name = name
        self.unit = unit
        self.description = description
        self.interpolation = interpolation
        self.extra = extra or {}

    def as_dict(self) -> Dict[str, Any]:
        return {"signal_id": self.signal_id, "element": self.element, "name": self.name, "unit": self.unit,
                "description": self.description, "interpolation": self.interpolation, **self.extra}

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Entry) and self.as_dict() == other.as_dict()

    def __repr__(self) -> str:
        where = f"{self.signal_id}" if self.element is None else f"{self.signal_id}:{self.element}"
        unit = f" [{self.unit}]" if self.unit else ""
        return f"<zentrail.Catalog entry {self.name!r} ({where}){unit}>"


class Catalog:
    """Names, units, descriptions and interpolation kinds of signals, by
    signal id and element.

    Columns: ``signal_id`` (required, 0 to 65535), ``element`` (0 to 1023;
    blank or absent: the row applies to every element of the signal),
    ``name`` (required, unique), ``unit``, ``description``,
    ``interpolation`` (``step`` or ``linear``; blank: step), and any others,
    kept as each entry's ``extra``. A row for one element overrides its
    signal's whole-signal row. A bad row raises ValueError naming its line
    (of a CSV file; the row's place otherwise) and the field: a duplicate
    name, an id or element out of range, an unknown interpolation, two rows
    of the same code. Texts are kept exactly as written (``°C``, ``m³/h``).

    Made by :meth:`from_csv`, :meth:`from_json`, or ``Catalog(rows)`` from
    a list of dicts or a pandas or polars DataFrame. An archive root holding
    ``zentrail-catalog.csv`` (or ``.json``) has it used by default by
    :func:`zentrail.scan` and the others; their ``catalog=`` takes a
    Catalog, a path, or False for none.
    """

    __slots__ = ("_ids", "_elements", "_texts", "_extra", "_by_name", "_lookup", "_source")

    def __init__(self, rows: Any = (), *, source: str = "row") -> None:
        header, columns = _columns_of(rows)
        self._source = source
        self._build(header, columns, lambda i: f"row {i}")

    @classmethod
    def from_csv(cls, path: Any, *, encoding: str = "utf-8-sig", delimiter: str = ",") -> "Catalog":
        """A catalog from a CSV file with a header row (UTF-8, a byte order
        mark allowed). Errors name the file and its line."""
        import csv

        where = os.fsdecode(path)
        with open(path, newline="", encoding=encoding) as handle:
            reader = csv.reader(handle, delimiter=delimiter)
            header = next(reader, None)
            if header is None:
                raise ValueError(f"{where}: empty file; a catalog needs a header row (signal_id,name,...)")
            header = [field.strip() for field in header]
            _check_header(header, f"{where}, line 1")
            rows = [values for values in reader if values]
        width = len(header)
        if not set(map(len, rows)) <= {width}:
            for i, values in enumerate(rows):
                if len(values) > width:
                    raise ValueError(f"{where}, line {_csv_lines(path, encoding, delimiter)[i]}: {len(values)} "
                                     f"fields, the header has {width}")
                rows[i] = values + [""] * (width - len(values))
        columns = [list(column) for column in zip(*rows)] if rows else [[] for _ in header]
        catalog = cls.__new__(cls)
        catalog._source = where
        # Lines are counted again only to name a bad row's (a field may span lines).
        catalog._build(header, columns, lambda i: f"line {_csv_lines(path, encoding, delimiter)[i]}")
        return catalog

    @classmethod
    def from_json(cls, path: Any) -> "Catalog":
        """A catalog from a JSON file holding a list of objects, one per row
        (or an object whose ``"signals"`` is that list)."""
        import json

        where = os.fsdecode(path)
        with open(path, encoding="utf-8-sig") as handle:
            try:
                data = json.load(handle)
            except ValueError as error:
                raise ValueError(f"{where}: not JSON: {error}") from None
        if isinstance(data, dict) and "signals" in data:
            data = data["signals"]
        if not isinstance(data, list):
            raise ValueError(f"{where}: a catalog in JSON is a list of objects, not {type(data).__name__}")
        return cls(data, source=where)

    @classmethod
    def load(cls, path: Any) -> "Catalog":
        """A catalog from a .csv or .json file, by its extension."""
        kind = os.path.splitext(os.fsdecode(path))[1].lower()
        if kind == ".csv":
            return cls.from_csv(path)
        if kind == ".json":
            return cls.from_json(path)
        raise ValueError(f"catalog {os.fsdecode(path)!r}: the file name must end in .csv or .json")

    def _build(self, header: List[str], columns: List[List[Any]], place: Callable[[int], str]) -> None:
        """Checks the columns whole (NumPy and sets, not a loop per row);
        only a failing check looks for its first bad row, to name it."""
        import numpy

        def where(i: int) -> str:
            return place(i) if self._source == "row" else f"{self._source}, {place(i)}"

        _check_header(header, "the catalog's columns" if self._source == "row" else self._source)
        by_column = dict(zip(header, columns))
        count = len(columns[0]) if columns else 0
        blank = [None] * count
        ids = _int_column(by_column["signal_id"], "signal_id", where, 65535, None)
        elements = _int_column(by_column.get("element", blank), "element", where, 1023, _WHOLE)
        names = by_column["name"]
        texts: Dict[str, List[Any]] = {"name": _text_column(names, "name", where, required=True)}
        for field in ("unit", "description", "interpolation"):
            texts[field] = _text_column(by_column.get(field, blank), field, where)
        interpolation = texts["interpolation"]
        if not set(interpolation) <= {None, *INTERPOLATIONS}:
            i = next(i for i, v in enumerate(interpolation) if v not in (None, *INTERPOLATIONS))
            raise ValueError(f"{where(i)}, field 'interpolation': {interpolation[i]!r} is neither 'step' nor "
                             f"'linear'")
        by_name = {name: i for i, name in enumerate(texts["name"])}
        if len(by_name) != count:
            seen: Dict[str, int] = {}
            for i, name in enumerate(texts["name"]):
                if name in seen:
                    raise ValueError(f"{where(i)}, field 'name': {name!r} is already the name of {place(seen[name])}")
                seen[name] = i
        keys = ids.astype(numpy.int64) * 1025 + (elements + 1)
        order = numpy.argsort(keys, kind="stable")
        repeated = numpy.flatnonzero(keys[order][1:] == keys[order][:-1])
        if len(repeated):
            first, again = sorted((int(order[repeated[0]]), int(order[repeated[0] + 1])))
            what = f"signal {int(ids[again])}" if elements[again] == _WHOLE else \
                f"code {int(ids[again]) * 1024 + int(elements[again])} ({int(ids[again])}:{int(elements[again])})"
            raise ValueError(f"{where(again)}, field 'element': {what} already has the row {texts['name'][first]!r} "
                             f"({place(first)})")
        self._ids = ids
        self._elements = elements
        self._texts: Dict[str, List[Any]] = texts  # the names never None
        # Extra columns as given, blank as None (as the known ones).
        self._extra = {column: [None if value == "" else value for value in values]
                       for column, values in by_column.items() if column not in KNOWN}
        self._by_name = by_name
        self._lookup: Optional[CodeLookup] = None

    def _entry(self, i: int) -> Entry:
        element = int(self._elements[i])
        return Entry(int(self._ids[i]), None if element == _WHOLE else element, self._texts["name"][i],
                     self._texts["unit"][i], self._texts["description"][i], self._texts["interpolation"][i],
                     {column: values[i] for column, values in self._extra.items()})

    # What a catalog holds.
    def __len__(self) -> int:
        return len(self._texts["name"])

    def __iter__(self) -> Iterator[Entry]:
        return (self._entry(i) for i in range(len(self)))

    def __contains__(self, name: object) -> bool:
        return name in self._by_name

    def __getitem__(self, name: str) -> Entry:
        """The entry of this name (KeyError naming close names otherwise)."""
        try:
            return self._entry(self._by_name[name])
        except KeyError:
            raise KeyError(f"no signal named {name!r} in the catalog{_close_names(name, self.names)}") from None

    @property
    def names(self) -> List[str]:
        """Every name, in the order of the rows."""
        return list(self._texts["name"])

    def find(self, pattern: str) -> List[str]:
        """The names matching a shell-style ``pattern`` (``*``, ``?``,
        ``[...]``; case-sensitive), in the order of the rows."""
        names = self._texts["name"]
        return [names[i] for i in self._matching(pattern)]

    def _matching(self, pattern: str) -> List[int]:
        import fnmatch
        import re

        if not isinstance(pattern, str):
            raise TypeError(f"a pattern is a str, not {type(pattern).__name__}")
        if not _WILDCARDS.intersection(pattern):
            found = self._by_name.get(pattern)
            return [] if found is None else [found]
        match = re.compile(fnmatch.translate(pattern)).match
        return [i for i, name in enumerate(self._texts["name"]) if match(name)]

    def entry(self, code: int) -> Optional[Entry]:
        """The entry naming a code (``signal_id * 1024 + element``): the
        element's own row, else its signal's whole-signal row, else None."""
        index = int(self.lookup().rows(_int_array([code >> 10]), _int_array([code & 1023]))[0])
        return None if index < 0 else self._entry(index)

    def signal_ids(self) -> FrozenSet[int]:
        """The signal ids some entry names."""
        return frozenset(self._ids.tolist())

    def lookup(self) -> "CodeLookup":
        """The lookup of the entry of each (signal id, element), made once."""
        if self._lookup is None:
            self._lookup = CodeLookup(self._ids, self._elements)
        return self._lookup

    @staticmethod
    def of_root(root: Any, catalog: Any = None) -> Optional["Catalog"]:
        """The catalog a read of ``root`` uses: ``catalog`` itself (a
        Catalog, or a path to load), None for the root's own
        ``zentrail-catalog.csv`` or ``.json`` (None when it has none), False
        for none."""
        return resolve(catalog, root)

    def kinds(self, codes: Any) -> Tuple[Any, Any]:
        """For each code (ints): whether an entry names it, and whether that
        entry interpolates it linearly, as two bool arrays."""
        return kinds(self, codes)

    def column(self, field: str) -> List[Any]:
        """The field (signal_id, name, unit, description, interpolation, or
        an extra column) of every row."""
        if field == "signal_id":
            return [int(ident) for ident in self._ids]
        if field in self._texts:
            return list(self._texts[field])
        if field in self._extra:
            return list(self._extra[field])
        raise KeyError(f"the catalog has no column {field!r}")

    # Selection.
    def codes(self, selection: Any, what: str = "signals") -> Any:
        """The codes of names and patterns (str) and codes (int) as an int64
        array in the order given (an entry for a whole signal gives all 1024
        codes of its id). A name or pattern that matches nothing raises
        ValueError naming it and close names."""
        import operator

        import numpy

        parts = []
        for position, item in enumerate(selection):
            if isinstance(item, str):
                parts.append(self._codes_of(item, f"{what}[{position}]"))
            elif isinstance(item, numpy.ndarray) and item.dtype.kind in "iu":
                parts.append(item.astype(numpy.int64).ravel())
            else:
                try:
                    parts.append(numpy.array([operator.index(item)], dtype=numpy.int64))
                except TypeError:
                    raise TypeError(f"{what}[{position}] is a {type(item).__name__}, not an int signal code or a "
                                    f"name") from None
        return numpy.concatenate(parts) if parts else numpy.zeros(0, dtype=numpy.int64)

    def ids(self, pattern: str, what: str = "ids") -> List[int]:
        """The signal ids of the entries a name or pattern matches."""
        return sorted({int(self._ids[i]) for i in self._matched(pattern, what)})

    def _codes_of(self, pattern: str, what: str) -> Any:
        import numpy

        rows = numpy.array(self._matched(pattern, what), dtype=numpy.int64)
        bases = self._ids[rows].astype(numpy.int64) * 1024
        elements = self._elements[rows]
        single = bases[elements != _WHOLE] + elements[elements != _WHOLE]
        whole = (bases[elements == _WHOLE][:, None] + numpy.arange(1024, dtype=numpy.int64)).ravel()
        return numpy.concatenate([single, whole])

    def _matched(self, pattern: str, what: str) -> List[int]:
        found = self._matching(pattern)
        if not found:
            kind = "pattern" if _WILDCARDS.intersection(pattern) else "name"
            raise ValueError(f"{what} is the {kind} {pattern!r}, which matches no name of the catalog "
                             f"({self._source_text()}){_close_names(pattern, self._texts['name'])}")
        return found

    def _source_text(self) -> str:
        return f"{len(self)} names" if self._source == "row" else f"{self._source}, {len(self)} names"

    # Out again.
    def to_records(self) -> List[Dict[str, Any]]:
        """The rows as dicts (element None for a whole-signal row)."""
        return [entry.as_dict() for entry in self]

    def to_pandas(self) -> Any:
        from zentrail._base.extras import import_extra

        pandas = import_extra("pandas", "Catalog.to_pandas()", "pandas")
        frame = pandas.DataFrame(self.to_records(), columns=self._columns())
        frame["element"] = frame["element"].astype("Int64")
        return frame

    def to_csv(self, path: Any) -> None:
        """Writes the catalog as CSV (atomically), as :meth:`from_csv` reads it."""
        import csv
        import io

        columns = self._columns()
        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow(columns)
        for record in self.to_records():
            writer.writerow(["" if record.get(c) is None else record[c] for c in columns])
        _write(path, text.getvalue())

    def to_json(self, path: Any) -> None:
        """Writes the catalog as a JSON list of objects (atomically), as
        :meth:`from_json` reads it; blank fields are left out."""
        import json

        records = [{k: v for k, v in record.items() if v is not None} for record in self.to_records()]
        _write(path, json.dumps(records, ensure_ascii=False, indent=1) + "\n")

    def _columns(self) -> List[str]:
        return list(KNOWN) + list(self._extra)

    def __repr__(self) -> str:
        where = "" if self._source == "row" else f" from {self._source!r}"
        return f"<zentrail.Catalog of {len(self)} names{where}>"

    def __getstate__(self) -> Tuple[Any, ...]:
        return (self._source, self.to_records())

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        self._source = state[0]
        header, columns = _columns_of(state[1])
        self._build(header, columns, lambda i: f"row {i}")


class CodeLookup:
    """The entry of each (signal id, element), found for a whole batch of
    rows at once: a whole-signal entry per id (a table of 65,536), and the
    entries of single elements in a dense block per id that has any, as
    wide as its highest such element. Each lookup is a few NumPy gathers
    over the batch, whatever the catalog's size."""

    __slots__ = ("whole", "base", "width", "table")

    def __init__(self, ids: Any, elements: Any) -> None:
        import numpy

        self.whole = numpy.full(65536, -1, dtype=numpy.int32)
        is_whole = elements == _WHOLE
        self.whole[ids[is_whole]] = numpy.flatnonzero(is_whole).astype(numpy.int32)
        single = numpy.flatnonzero(~is_whole)
        self.width = numpy.zeros(65536, dtype=numpy.int32)
        numpy.maximum.at(self.width, ids[single], elements[single] + 1)
        starts = numpy.concatenate([[0], numpy.cumsum(self.width, dtype=numpy.int64)])
        self.base = starts[:-1].astype(numpy.int64)
        self.table = numpy.full(max(int(starts[-1]), 1), -1, dtype=numpy.int32)
        self.table[self.base[ids[single]] + elements[single]] = single.astype(numpy.int32)

    def rows(self, signal_id: Any, element: Any) -> Any:
        """The catalog row of each (signal id, element), -1 where none."""
        import numpy

        ids = numpy.asarray(signal_id)
        elements = numpy.asarray(element)
        found = self.whole[ids]
        inside = elements < self.width[ids]
        if inside.any():
            places = self.base[ids[inside]] + elements[inside]
            found[inside] = numpy.where(self.table[places] >= 0, self.table[places], found[inside])
        return found


def _write(path: Any, text: str) -> None:
    from zentrail._base.atomic import replacing

    with replacing(os.fsdecode(path)) as temporary:
        with open(temporary, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)


def _int_array(values: Sequence[int]) -> Any:
    import numpy

    return numpy.array(values, dtype=numpy.int64)


def _close_names(text: str, names: List[str]) -> str:
    import difflib

    close = difflib.get_close_matches(text, names, n=3, cutoff=0.6)
    return "; close names: " + ", ".join(repr(n) for n in close) if close else ""


def _columns_of(rows: Any) -> Tuple[List[str], List[List[Any]]]:
    """The header and columns of a list of dicts or a pandas or polars DataFrame."""
    module = type(rows).__module__.split(".")[0]
    if module in ("pandas", "polars") and hasattr(rows, "columns"):
        header = [str(c) for c in rows.columns]
        if module == "pandas":
            columns = [[_blank_of(v) for v in rows[c].tolist()] for c in rows.columns]
        else:
            columns = [rows[c].to_list() for c in rows.columns]
        return header, columns
    if isinstance(rows, (str, bytes, dict)) or not hasattr(rows, "__iter__"):
        raise TypeError(f"a catalog is made from a list of dicts or a DataFrame, not {type(rows).__name__}; "
                        f"Catalog.from_csv and from_json read files")
    records = list(rows)
    keys: List[str] = []
    known = set()
    for i, row in enumerate(records):
        if not isinstance(row, dict):
            raise TypeError(f"catalog row {i} is a {type(row).__name__}, not a dict")
        for key in row:
            if key not in known:
                known.add(key)
                keys.append(key)
    for required in ("signal_id", "name"):
        if required not in known:
            keys.append(required)
    return keys, [[row.get(column) for row in records] for column in keys]


def _blank_of(value: Any) -> Any:
    """A frame's missing value (NaN, NA, None) as None."""
    if value is None:
        return None
    try:
        if value != value:  # NaN
            return None
    except (TypeError, ValueError):
        return None
    return value


def _csv_lines(path: Any, encoding: str, delimiter: str) -> List[int]:
    """The line each row of a CSV file starts on, blank rows left out."""
    import csv

    lines = []
    with open(path, newline="", encoding=encoding) as handle:
        reader = csv.reader(handle, delimiter=delimiter)
        next(reader, None)
        line = reader.line_num + 1
        for values in reader:
            if values:
                lines.append(line)
            line = reader.line_num + 1
    return lines


def _check_header(columns: List[str], where: str) -> None:
    for required in ("signal_id", "name"):
        if required not in columns:
            raise ValueError(f"{where}: no column {required!r} (the columns are {', '.join(columns)})")
    seen = set()
    for column in columns:
        if not column:
            raise ValueError(f"{where}: a column without a name")
        if column in seen:
            raise ValueError(f"{where}: the column {column!r} appears twice")
        seen.add(column)


def _int_column(values: List[Any], field: str, where: Callable[[int], str], top: int, blank: Optional[int]) -> Any:
    """An id or element column as an int32 array (`blank` for a blank
    value): ints, their texts, or integral floats from a frame."""
    import numpy

    try:
        if blank is None:
            array = numpy.array(values, dtype=numpy.int64) if values else numpy.zeros(0, numpy.int64)
        else:
            array = numpy.array([blank if v is None or v == "" else v for v in values], dtype=numpy.int64)
        if not set(map(type, values)).isdisjoint((bool, float)):
            raise ValueError  # a float is checked to be integral, a bool refused
    except (TypeError, ValueError, OverflowError):
        array = numpy.array([_number(v, field, where(i), top, blank) for i, v in enumerate(values)],
                            dtype=numpy.int64)
    bad = numpy.flatnonzero(((array < 0) | (array > top)) & (array != (-2 if blank is None else blank)))
    if len(bad):
        i = int(bad[0])
        raise ValueError(f"{where(i)}, field {field!r}: {values[i]!r} is not a number of 0 to {top}")
    return array.astype(numpy.int32)


def _number(value: Any, field: str, where: str, top: int, blank: Optional[int]) -> int:
    """One id or element, checked: the slow path, which names a bad value."""
    import operator

    if value is None or (isinstance(value, str) and not value.strip()):
        if blank is None:
            raise ValueError(f"{where}, field {field!r}: missing; every row names its {field}")
        return blank
    number: Optional[int] = None
    if isinstance(value, str):
        text = value.strip()
        number = int(text) if text.isdigit() else None
    elif isinstance(value, float):
        number = int(value) if value.is_integer() else None
    elif not isinstance(value, bool):
        try:
            number = operator.index(value)
        except TypeError:
            pass
    if number is None or not 0 <= number <= top:
        raise ValueError(f"{where}, field {field!r}: {value!r} is not a number of 0 to {top}")
    return number


def _text_column(values: List[Any], field: str, where: Callable[[int], str],
                 required: bool = False) -> List[Optional[str]]:
    """A text column, blank as None (a missing name raises)."""
    out = [v if v != "" else None for v in values]
    if not set(map(type, out)) <= {str, type(None)}:
        i = next(i for i, v in enumerate(out) if not (v is None or isinstance(v, str)))
        raise ValueError(f"{where(i)}, field {field!r}: {out[i]!r} is no text")
    if required and None in out:
        i = out.index(None)
        raise ValueError(f"{where(i)}, field {field!r}: missing; every row has a {field}")
    if field == "interpolation":
        out = [v.strip() or None if v is not None else None for v in out]
    return out


# Catalogs found in archive roots, by (path, modification time, size): a
# viewer or a loop of reads loads each one once.
_LOADED: Dict[Tuple[str, int, int], Catalog] = {}


def found_in(root: Any) -> Optional[Catalog]:
    """The catalog file in an archive root, loaded (None when it holds none)."""
    folder = os.fsdecode(root)
    for file_name in DEFAULT_FILES:
        path = os.path.join(folder, file_name)
        try:
            status = os.stat(path)
        except OSError:
            continue
        key = (path, status.st_mtime_ns, status.st_size)
        catalog = _LOADED.get(key)
        if catalog is None:
            catalog = Catalog.load(path)
            if len(_LOADED) > 16:
                _LOADED.clear()
            _LOADED[key] = catalog
        return catalog
    return None


def found_elsewhere(place: Any) -> Optional[Catalog]:
    """The catalog file at the root of a _remote.Place, loaded (None when
    there is none); its errors name the file by its URL."""
    found = place.first_file(DEFAULT_FILES)
    if found is None:
        return None
    name, data = found
    import tempfile

    with tempfile.TemporaryDirectory(prefix="zentrail-catalog-") as folder:
        copy = os.path.join(folder, name.rpartition("/")[2])
        with open(copy, "wb") as file:
            file.write(data)
        try:
            catalog = Catalog.load(copy)
        except ValueError as error:
            raise ValueError(str(error).replace(copy, name)) from None
    catalog._source = name
    return catalog


def resolve(catalog: Any, root: Any = None) -> Optional[Catalog]:
    """The catalog a read uses: None (the default) the one in `root` if any
    (a root of a list of files has none), False none, a Catalog itself, a
    path the file there."""
    if catalog is None:
        from zentrail._elsewhere import remote as _remote

        if isinstance(root, (str, bytes, os.PathLike)):
            root = _remote.root_of(root)  # a URL or a zip file: a Place
        if isinstance(root, bytes):
            return found_in(root)
        if isinstance(root, _remote.Place) and root.files is None:
            return found_elsewhere(root)
        return None
    if catalog is False:
        return None
    if isinstance(catalog, Catalog):
        return catalog
    if isinstance(catalog, (str, bytes, os.PathLike)):
        return Catalog.load(catalog)
    raise TypeError(f"catalog must be a zentrail.Catalog, a path, None or False, not {type(catalog).__name__}")


def kinds(catalog: Catalog, codes: Any) -> Tuple[Any, Any]:
    """For each code (an int array): whether the catalog has an entry for
    it, and whether that entry interpolates it linearly (bool arrays)."""
    import numpy

    codes = numpy.asarray(codes, dtype=numpy.int64)
    rows = catalog.lookup().rows(codes >> 10, codes & 1023)
    # The last place, for no entry (a lookup's -1): not linear.
    linear = numpy.array([kind == "linear" for kind in catalog.column("interpolation")] + [False], dtype=bool)
    return rows >= 0, linear[rows]


def has_names(selection: Iterable[Any]) -> bool:
    return any(isinstance(item, str) for item in selection)
