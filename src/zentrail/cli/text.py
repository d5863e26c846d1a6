"""Columns as text: CSV, JSON lines and aligned tables.

Every column is formatted by whole-array operations (no Python call per
value), so that a long output spends its time in C and a Ctrl-C that arrives
meanwhile is acted on as soon as the batch's formatting returns."""

from __future__ import annotations

import json
from typing import Any, Dict, List, Optional, Sequence, TextIO

from zentrail._base import csv_text as _csv_text, time as _time

TEXT_OPTIONS = ("csv", "json", "table")


def number_texts(column: Any) -> Any:
    """Floats as their shortest round-tripping text, whole numbers without
    ".0", NaN as an empty field."""
    import numpy

    values = numpy.asarray(column, dtype=numpy.float64)
    texts = values.astype(str).astype(object)
    whole = numpy.isfinite(values) & (numpy.abs(values) < 2.0 ** 63)
    whole[whole] = values[whole] == numpy.floor(values[whole])
    texts[whole] = values[whole].astype(numpy.int64).astype(str)
    texts[numpy.isnan(values)] = ""
    return texts


def duration_texts(column: Any) -> Any:
    """Durations as hours, minutes and seconds ("18:10:00", "49:00:00.5"):
    what a spreadsheet and pandas.to_timedelta read back, a fraction only
    where there is one."""
    import numpy

    ns = numpy.asarray(column, dtype="timedelta64[ns]").view(numpy.int64)
    if not len(ns):
        return numpy.zeros(0, dtype=object)
    seconds, fraction = numpy.divmod(ns, 1_000_000_000)
    texts = (numpy.char.zfill((seconds // 3600).astype(str), 2).astype(object) + ":" +
             numpy.char.zfill((seconds // 60 % 60).astype(str), 2).astype(object) + ":" +
             numpy.char.zfill((seconds % 60).astype(str), 2).astype(object))
    parts = fraction != 0
    if parts.any():
        texts[parts] = texts[parts] + "." + numpy.char.rstrip(numpy.char.zfill(fraction[parts].astype(str), 9), "0")
    return texts


def text_columns(columns: Dict[str, Any], dates: Sequence[str] = (),
                 zone: Optional[_time.Zone] = None) -> Dict[str, List[Any]]:
    """Every column as a list of printable values (ints stay ints); the
    columns named in `dates` as days (YYYY-MM-DD); times read in a zone
    (instants) as its wall times with their offsets."""
    import numpy

    out: Dict[str, List[Any]] = {}
    for name, column in columns.items():
        kind = getattr(column, "dtype", None)
        if kind is not None and kind.kind == "M":
            texts = column.astype("datetime64[D]").astype(str) if name in dates else _time.texts(column, zone)
            # No instant (NaT: no row) is an empty field, as NaN is.
            out[name] = numpy.where(numpy.isnat(column), "", texts).tolist() if len(column) else texts.tolist()
        elif kind is not None and kind.kind == "m":
            out[name] = duration_texts(column).tolist()
        elif kind is not None and kind.kind == "f":
            out[name] = number_texts(column).tolist()
        elif kind is not None and kind.kind == "O":  # text, with None for no text
            texts = numpy.array(column, dtype=object)
            texts[numpy.equal(texts, numpy.array(None))] = ""
            out[name] = texts.tolist()
        else:
            out[name] = column.tolist() if hasattr(column, "tolist") else list(column)
    return out


def _durations_as_texts(columns: Dict[str, Any]) -> Dict[str, Any]:
    """The columns, durations as their texts (which the core does not make)."""
    return {name: duration_texts(column) if getattr(column, "dtype", None) is not None and column.dtype.kind == "m"
            else column for name, column in columns.items()}


class CsvWriter:
    """Batches of NumPy columns as CSV lines under one header line, times
    read in `zone` written with their offsets. Each batch is formatted
    whole by the core (the bytes Python's csv module would write), so that
    a Ctrl-C is acted on between batches."""

    def __init__(self, out: TextIO, names: Sequence[str], zone: Optional[_time.Zone] = None) -> None:
        self.names = list(names)
        self.zone = zone
        self.out = out
        out.write(_csv_text.header(self.names))

    def write(self, columns: Dict[str, Any], dates: Sequence[str] = ()) -> None:
        self.out.write(_csv_text.rows(_durations_as_texts(columns), self.names, dates, self.zone))


def write_table(columns: Dict[str, Any], out: TextIO, form: str, dates: Sequence[str] = (),
                zone: Optional[_time.Zone] = None) -> None:
    """Rows as CSV, JSON lines or an aligned table (numbers to the right)."""
    if form == "csv":
        CsvWriter(out, list(columns), zone).write(columns, dates)
        return
    if form == "json":
        texts = text_columns(columns, dates, zone)
        names = list(texts)
        for row in zip(*texts.values()):
            out.write(json.dumps(dict(zip(names, row)), ensure_ascii=False) + "\n")
        return
    # Formatted by the core, whole columns; ints (and bools) to the right,
    # as are columns of objects that are all ints.
    columns = _durations_as_texts(columns)
    count = min((len(column) for column in columns.values()), default=0)
    right = [count > 0 and (column.dtype.kind in "iub" if getattr(column, "dtype", None) is not None and
                            column.dtype.kind != "O" else all(isinstance(v, int) for v in column[:count]))
             for column in columns.values()]
    for lines in _csv_text.table(columns, list(columns), right, dates, zone):
        out.write(lines)
