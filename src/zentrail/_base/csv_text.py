"""Columns as CSV lines, formatted by the core a batch at a time: the bytes
Python's csv module writes for the texts a command prints (numbers in their
shortest form, whole ones without ".0", instants as ``_base.time.texts``
writes them), at the pace of memory rather than of a Python call per value."""

from __future__ import annotations

import csv
import io

from zentrail import _core
from zentrail._base import time as _time

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, List, Optional, Sequence


def _quoted_characters() -> str:
    """The ASCII characters for which this Python's csv module quotes a field
    when lines end in "\\n": besides the comma, the quote and "\\n", a lone
    "\\r" and NUL ask for quotes in some versions and not in others."""
    quoted = []
    for code in range(128):
        line = io.StringIO()
        try:
            csv.writer(line, lineterminator="\n").writerow([chr(code)])
        except csv.Error:  # a version that cannot write it at all: quoted, as the nearest we can do
            quoted.append(chr(code))
            continue
        if line.getvalue().startswith('"'):
            quoted.append(chr(code))
    return "".join(quoted)


_QUOTED = _quoted_characters()


def header(names: Sequence[str]) -> str:
    """The header line of `names`, quoted as the rows are."""
    line = io.StringIO()
    csv.writer(line, lineterminator="\n").writerow(list(names))
    return line.getvalue()


def _core_columns(columns: Dict[str, Any], names: Sequence[str], dates: Sequence[str],
                  zone: Optional[_time.Zone]) -> List[Any]:
    """The columns as the core's csv_rows and table_lines take them: numbers
    and instants as their buffers, texts as sequences."""
    import numpy

    out: List[Any] = []
    for name in names:
        column = columns[name]
        kind = getattr(column, "dtype", None)
        if kind is None:
            out.append(("u", list(column), None))
        elif kind.kind == "M":
            values = numpy.ascontiguousarray(column, dtype="datetime64[ns]")
            offsets = None if zone is None or name in dates else \
                numpy.ascontiguousarray(zone.offsets_ns(values), dtype=numpy.int64)
            out.append(("d" if name in dates else "t", values.view(numpy.int64), offsets))
        elif kind.kind == "f":
            out.append(("g", numpy.ascontiguousarray(column, dtype=numpy.float64), None))
        elif kind.kind == "i" or (kind.kind == "u" and kind.itemsize < 8):
            out.append(("i", numpy.ascontiguousarray(column, dtype=numpy.int64), None))
        elif kind.kind == "U":
            out.append(("U", numpy.ascontiguousarray(column), None))
        else:  # text (None for no text), and what has no number form: bool, uint64
            out.append(("u", column.tolist(), None))
    return out


def table(columns: Dict[str, Any], names: Sequence[str], right: Sequence[bool], dates: Sequence[str] = (),
          zone: Optional[_time.Zone] = None, chunk_rows: int = 1 << 16) -> List[str]:
    """The columns as an aligned table, a header line of `names` first: the
    cells as :func:`rows` writes them but unquoted, each column padded to
    its widest cell (on the left where `right` says), two spaces between,
    trailing white space cut; about `chunk_rows` lines a str."""
    return _core.table_lines(_core_columns(columns, names, dates, zone), list(names), [bool(r) for r in right],
                             chunk_rows)


def rows(columns: Dict[str, Any], names: Sequence[str], dates: Sequence[str] = (),
         zone: Optional[_time.Zone] = None) -> str:
    """The rows of `columns` (NumPy arrays, in the order of `names`) as CSV
    lines: floats as their shortest text (whole ones as integers, NaN an
    empty field), times as "YYYY-MM-DD hh:mm:ss[.fraction]" or, read in
    `zone`, as its wall times with their offsets, the columns in `dates` as
    days, no instant (NaT) and None as empty fields, any other object as its
    str()."""
    return _core.csv_rows(_core_columns(columns, names, dates, zone), _QUOTED)
