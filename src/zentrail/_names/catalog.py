"""zentrail.Catalog: the plant's own names, units and interpolation kinds of
the signal codes, from a table kept outside the archive (CSV, JSON, a frame
or a list of dicts), checked row by row when loaded."""

from __future__ import annotations

import os
import stat

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
_BLANK_MARK = -(1 << 40)  # a blank id or element while a column is converted (no number a row may hold)
# Put before a name, it asks for that name exactly, never a pattern.
EXACT = "="
# What a path that is not a regular file is, by its mode (a catalog is read only from a regular file).
_NOT_FILES = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISSOCK, "a socket"),
              (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"))


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
        mark allowed). Errors name the file and its line; a path that is not
        a regular file (a folder, a FIFO) is a ValueError naming it."""
        return cls.from_bytes(read_regular_file(path), "csv", name=os.fsdecode(path), encoding=encoding,
                              delimiter=delimiter)

    @classmethod
    def from_json(cls, path: Any) -> "Catalog":
        """A catalog from a JSON file holding a list of objects, one per row
        (or an object whose ``"signals"`` is that list)."""
        return cls.from_bytes(read_regular_file(path), "json", name=os.fsdecode(path))

    @classmethod
    def from_bytes(cls, data: bytes, kind: str, *, name: str = "<bytes>", encoding: str = "utf-8-sig",
                   delimiter: str = ",") -> "Catalog":
        """A catalog from the bytes of a CSV or JSON file (``kind`` "csv" or
        "json"), read as :meth:`from_csv` and :meth:`from_json` read a file
        (``encoding`` and ``delimiter``: of CSV); errors name it ``name``.
        Anything but a catalog raises ValueError (or TypeError for bytes
        that are no bytes)."""
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"a catalog's bytes are bytes, not {type(data).__name__}")
        if kind == "json":
            return cls(_json_rows(bytes(data), name), source=name)
        if kind != "csv":
            raise ValueError(f"a catalog file is csv or json, not {kind!r}")
        header, columns, text = _csv_columns(bytes(data), name, encoding, delimiter)
        catalog = cls.__new__(cls)
        catalog._source = name
        # Lines are counted again only to name a bad row's (a field may span lines).
        catalog._build(header, columns, lambda i: f"line {_csv_lines(text, delimiter)[i]}")
        return catalog

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
        """The names a name or shell-style ``pattern`` (``*``, ``?``,
        ``[...]``; case-sensitive) matches, in the order of the rows. A
        name of the catalog is itself whatever it holds (``"Pump[1]"`` is
        the entry of that name, not ``Pump1``); ``=`` before a text asks
        for that name alone (``"=Pump[1]"``: that name, or nothing), and
        ``[[]`` in a pattern stands for ``[`` itself."""
        names = self._texts["name"]
        return [names[i] for i in self._matching(pattern)]

    def _matching(self, pattern: str) -> List[int]:
        import fnmatch
        import re

        if not isinstance(pattern, str):
            raise TypeError(f"a pattern is a str, not {type(pattern).__name__}")
        found = self._by_name.get(pattern)
        if found is not None:
            return [found]
        if pattern.startswith(EXACT):
            found = self._by_name.get(pattern[len(EXACT):])
            return [] if found is None else [found]
        if not _WILDCARDS.intersection(pattern):
            return []
        match = re.compile(fnmatch.translate(pattern)).match
        return [i for i, name in enumerate(self._texts["name"]) if match(name)]

    def entry(self, code: int) -> Optional[Entry]:
        """The entry naming a code (``signal_id * 1024 + element``): the
        element's own row, else its signal's whole-signal row, else None.
        A code outside 0 to 65535 * 1024 + 1023 is a ValueError."""
        import operator

        code = operator.index(code)
        if not 0 <= code < 65536 * 1024:
            raise ValueError(f"the code {code!r} is outside 0 to {65536 * 1024 - 1} (id 0 to 65535, element 0 to "
                             f"1023)")
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
        """The codes of names and patterns (str, as :meth:`find` takes them)
        and codes (int) as an int64 array in the order given (an entry for a
        whole signal gives all 1024 codes of its id). A name or pattern that
        matches nothing raises ValueError naming it and close names."""
        import operator

        import numpy

        parts = []
        for position, item in enumerate(selection):
            if isinstance(item, str):
                whole, single = self.code_parts(item, f"{what}[{position}]")
                parts.append(numpy.concatenate([single, (whole[:, None] * 1024 + numpy.arange(1024)).ravel()]))
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

    def code_parts(self, pattern: str, what: str = "signals") -> Tuple[Any, Any]:
        """What a name or pattern selects, as two int64 arrays: the signal
        ids of its whole-signal entries (every element of each) and the
        codes of its entries of one element. Whole signals stay ids: a
        pattern over many of them is never 1024 codes each until the codes
        are put in order (see zentrail._base.arguments.codes_array)."""
        import numpy

        rows = numpy.array(self._matched(pattern, what), dtype=numpy.int64)
        ids = self._ids[rows].astype(numpy.int64)
        elements = self._elements[rows]
        whole = elements == _WHOLE
        return ids[whole], ids[~whole] * 1024 + elements[~whole]

    def _matched(self, pattern: str, what: str) -> List[int]:
        found = self._matching(pattern)
        if not found:
            if pattern.startswith(EXACT) and pattern not in self._by_name:
                shown, kind = pattern[len(EXACT):], "exact name"
            else:
                shown, kind = pattern, "pattern" if _WILDCARDS.intersection(pattern) else "name"
            raise ValueError(f"{what} is the {kind} {shown!r}, which matches no name of the catalog "
                             f"({self._source_text()}){_close_names(shown, self._texts['name'], kind != 'pattern')}")
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

    def to_csv(self, path: Any = None) -> Optional[str]:
        """Writes the catalog as CSV (atomically), as :meth:`from_csv` reads
        it; without a path, returns the text."""
        columns = self._columns()
        lines = [",".join(map(_csv_field, columns))]
        lines += [",".join(_csv_field("" if record[c] is None else record[c]) for c in columns)
                  for record in self.to_records()]
        return _written(path, "".join(line + "\n" for line in lines))

    def to_json(self, path: Any = None) -> Optional[str]:
        """Writes the catalog as a JSON list of objects (atomically), as
        :meth:`from_json` reads it, blank fields left out; without a path,
        returns the text."""
        import json

        records = [{k: v for k, v in record.items() if v is not None} for record in self.to_records()]
        text = json.dumps(records, ensure_ascii=False, indent=1) + "\n"
        if not _is_utf8(text):  # an extra column's text that UTF-8 cannot hold: escaped, as JSON allows
            text = json.dumps(records, ensure_ascii=True, indent=1) + "\n"
        return _written(path, text)

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


def read_regular_file(path: Any) -> bytes:
    """The bytes of a catalog file. Only a regular file is read: a folder,
    a FIFO or a device of that name is a ValueError naming it, found without
    blocking (a FIFO is opened without waiting for a writer)."""
    where = os.fsdecode(path)
    _check_regular(os.stat(path).st_mode, where)
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        # The path may have changed between the two looks: the opened one counts.
        _check_regular(os.fstat(descriptor).st_mode, where)
        with os.fdopen(descriptor, "rb", closefd=False) as handle:
            return handle.read()
    finally:
        os.close(descriptor)


def _check_regular(mode: int, where: str) -> None:
    if not stat.S_ISREG(mode):
        kind = next((kind for test, kind in _NOT_FILES if test(mode)), "not a regular file")
        raise ValueError(f"{where}: {kind}, not a regular file; a catalog is read from a regular file only")


def _csv_columns(data: bytes, where: str, encoding: str, delimiter: str) -> Tuple[List[str], List[List[Any]], str]:
    """The header, the columns and the text of the bytes of a CSV file;
    errors name `where` (the file) and the line."""
    import csv
    import io

    text = _decoded(data, where, encoding)
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    try:
        header = next(reader, None)
        if header is None:
            raise ValueError(f"{where}: empty file; a catalog needs a header row (signal_id,name,...)")
        header = [field.strip() for field in header]
        _check_header(header, f"{where}, line 1")
        rows = [values for values in reader if values]
    except csv.Error as error:
        raise ValueError(f"{where}, line {reader.line_num}: not CSV: {error}") from None
    width = len(header)
    if not set(map(len, rows)) <= {width}:
        for i, values in enumerate(rows):
            if len(values) > width:
                raise ValueError(f"{where}, line {_csv_lines(text, delimiter)[i]}: {len(values)} fields, the "
                                 f"header has {width}")
            rows[i] = values + [""] * (width - len(values))
    columns = [list(column) for column in zip(*rows)] if rows else [[] for _ in header]
    return header, columns, text


def _json_rows(data: bytes, where: str) -> List[Dict[str, Any]]:
    """The rows of the bytes of a JSON file: a list of objects, or an
    object whose ``"signals"`` is that list; errors name `where` (the file)
    and the row."""
    import json

    text = _decoded(data, where, "utf-8-sig")
    try:
        found = json.loads(text)
    except ValueError as error:
        raise ValueError(f"{where}: not JSON: {error}") from None
    except RecursionError:
        raise ValueError(f"{where}: not a catalog: its JSON is nested too deeply") from None
    if isinstance(found, dict) and "signals" in found:
        found = found["signals"]
    if not isinstance(found, list):
        raise ValueError(f"{where}: a catalog in JSON is a list of objects, not {_json_kind(found)}")
    for i, row in enumerate(found):
        if not isinstance(row, dict):
            raise ValueError(f"{where}, row {i}: {_json_kind(row)}, not an object of the row's fields")
    return found


def _json_kind(value: Any) -> str:
    kinds = {dict: "an object", list: "a list", str: "a text", bool: "true or false", int: "a number",
             float: "a number", type(None): "null"}
    return kinds.get(type(value), type(value).__name__)


def _decoded(data: bytes, where: str, encoding: str) -> str:
    try:
        return data.decode(encoding)
    except UnicodeDecodeError as error:
        shown = "UTF-8" if encoding.lower().replace("_", "-") in ("utf-8-sig", "utf-8", "utf8") else encoding
        raise ValueError(f"{where}, byte {error.start}: not {shown} text ({error.reason})") from None


def _csv_field(value: Any) -> str:
    """A field of a CSV line, quoted when it holds a comma, a quote or a line
    break of any kind: csv.writer ending lines with "\n" leaves a lone
    "\r" bare, which a reader takes for the end of the row."""
    text = str(value)
    if any(mark in text for mark in ',"\r\n'):
        return '"' + text.replace('"', '""') + '"'
    return text


def _written(path: Any, text: str) -> Optional[str]:
    """`text` written to `path` whole (None returned), or returned when there is no path."""
    from zentrail._base.atomic import replacing

    if path is None:
        return text
    with replacing(os.fsdecode(path)) as temporary:
        with open(temporary, "w", encoding="utf-8", newline="") as handle:
            handle.write(text)
    return None


def _int_array(values: Sequence[int]) -> Any:
    import numpy

    return numpy.array(values, dtype=numpy.int64)


def _close_names(text: str, names: List[str], literal: bool = True, count: int = 3) -> str:
    """The names a mistyped `text` may have meant: those that begin with it,
    then those that hold it (the shortest first: "TI-1000" offers
    "TI-10000" and "Area.TI-1000.PV"), then those alike by difflib's
    measure, up to `count`. A pattern (not `literal`) has only the last."""
    import difflib

    def shortest(found: Iterable[str]) -> List[str]:
        return sorted(found, key=lambda name: (len(name), name))[:count]

    close: List[str] = []
    if text and literal:
        starting = shortest(n for n in names if n.startswith(text))
        close = (starting + shortest(n for n in names if text in n and not n.startswith(text)))[:count]
    for name in difflib.get_close_matches(text, names, n=count, cutoff=0.6):
        if len(close) < count and name not in close:
            close.append(name)
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


def _csv_lines(text: str, delimiter: str) -> List[int]:
    """The line each row of a CSV text starts on, blank rows left out."""
    import csv
    import io

    lines = []
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
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

    # NumPy converts a whole column at once, but takes more than a row may
    # hold ("+7", "٣", a float cut short, a list): only ints and texts of
    # ASCII digits go that way; the rest one by one, which names a bad value.
    plain = set(map(type, values)) <= {int, str, type(None)} and \
        all(type(v) is not str or v.isascii() and (v.strip().isdigit() or not v.strip()) for v in values)
    if plain:
        try:
            array = numpy.array([_BLANK_MARK if v is None or type(v) is str and not v.strip() else v
                                 for v in values], dtype=numpy.int64)
        except (ValueError, OverflowError):  # digits past 64 bits
            plain = False
    if not plain:
        return numpy.array([_number(v, field, where(i), top, blank) for i, v in enumerate(values)],
                           dtype=numpy.int32)
    missing = array == _BLANK_MARK
    bad = numpy.flatnonzero(((array < 0) | (array > top)) & ~missing | (missing if blank is None else False))
    if len(bad):
        i = int(bad[0])
        _number(values[i], field, where(i), top, blank)  # raises, naming the value
        raise ValueError(f"{where(i)}, field {field!r}: {values[i]!r} is not a number of 0 to {top}")
    if blank is not None:
        array[missing] = blank
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
        number = int(text) if text.isascii() and text.isdigit() else None
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
    """A text column, blank as None (a missing name raises). A text that
    UTF-8 cannot hold (a lone surrogate, from JSON's escapes or a frame)
    could be written nowhere the names go (Arrow, Parquet, CSV): refused."""
    out = [None if type(v) is str and not v else v for v in values]
    if not set(map(type, out)) <= {str, type(None)}:
        i = next(i for i, v in enumerate(out) if not (v is None or isinstance(v, str)))
        raise ValueError(f"{where(i)}, field {field!r}: {out[i]!r} is no text")
    try:
        "".join(v for v in out if v is not None).encode("utf-8")
    except UnicodeEncodeError:
        i = next(i for i, v in enumerate(out) if v is not None and not _is_utf8(v))
        raise ValueError(f"{where(i)}, field {field!r}: {out[i]!r} holds a lone surrogate, which is no text") \
            from None
    if required and None in out:
        i = out.index(None)
        raise ValueError(f"{where(i)}, field {field!r}: missing; every row has a {field}")
    if field == "interpolation":
        out = [v.strip() or None if v is not None else None for v in out]
    return out


def _is_utf8(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


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
        _check_regular(status.st_mode, path)
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
    return Catalog.from_bytes(data, "json" if name.lower().endswith(".json") else "csv", name=name)


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
