"""Events made of codes (texts decoded once each, names from dictionaries)
and CSV lines formatted by the core, each against a small reference: the
records written, and the csv module writing the texts of text_columns."""

from __future__ import annotations

import csv
import datetime
import importlib.util
import io
import tempfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import archive_builder as ab
import zentrail
from zentrail._base import classes, csv_text, time as _time
from zentrail._read.events import codes_of
from zentrail.cli.text import CsvWriter, text_columns, write_table

DAY = "2024-03-01"
TEXTS = [b"door open", b"", b"\xff\xfe bad", "dépassé, \"haut\"\n".encode(), b"door open"]
RECORDS = st.one_of(
    st.tuples(st.just("system"), st.integers(0, 7), st.integers(0, 255), st.none()),
    st.tuples(st.sampled_from(["AlBool", "AlByte", "AlShort", "AlAckn"]), st.integers(0, 7), st.integers(1, 3),
              st.none()),
    st.tuples(st.just("AlString"), st.integers(0, 7), st.integers(1, 3), st.sampled_from(TEXTS)))


def written(kind, subtype, param, text, n):
    at = ab.at(f"10:00:{n % 60:02}")
    if kind == "system":
        return ab.system(at, subtype, param)
    if kind == "AlString":
        return ab.string_alarm(at, 7, text, subtype, param)
    return ab.alarm(kind, at, 7, 1, subtype, param)


@settings(max_examples=40, deadline=None)
@given(st.lists(RECORDS, min_size=1, max_size=30))
def test_events_texts_and_names_are_those_of_the_records_written(records):
    with tempfile.TemporaryDirectory() as root:
        ab.write_archive(Path(root, f"{DAY}_a.vlx"),
                         [ab.date_mark(datetime.date(2024, 3, 1)), *(written(*r, n) for n, r in enumerate(records))])
        events = zentrail.events(root, DAY, DAY)
        columns = events.to_numpy()
        cls = [0 if kind == "system" else ab.CLASS_BY_NAME[kind].code for kind, *_ in records]
        names = [classes.record_names(c, s, p) for c, (_, s, p, _) in zip(cls, records)]
        assert columns["text"].tolist() == [None if t is None else t.decode("utf-8", "replace") for *_, t in records]
        for i, name in enumerate(("class_name", "subtype_name", "detail")):
            assert columns[name].tolist() == [n[i] for n in names]
        coded = codes_of(events)
        for name, column in columns.items():
            assert name not in coded or np.array_equal(coded[name], column, equal_nan=column.dtype.kind == "f")
        the_consumers_agree(events, columns)


def the_consumers_agree(events, columns):
    """pandas and Arrow hold what to_numpy holds, where they are installed
    (the light test run has neither)."""
    if importlib.util.find_spec("pyarrow") is not None:
        import pyarrow

        table = pyarrow.table(events)
        for name, column in columns.items():
            if column.dtype == object:
                assert table.column(name).to_pylist() == column.tolist()
    if importlib.util.find_spec("pandas") is not None:
        frame = events.to_pandas()
        for name, column in columns.items():
            if column.dtype == object:
                assert frame[name].astype(object).where(frame[name].notna(), None).tolist() == column.tolist()
            else:
                assert np.array_equal(frame[name].to_numpy(), column, equal_nan=column.dtype.kind == "f")
        assert all(list(frame[n].cat.categories) == sorted(set(columns[n])) for n in ("class_name", "detail"))

def reference(columns, dates=(), zone=None):
    """The lines the csv module writes for the texts of text_columns."""
    out = io.StringIO()
    texts = text_columns(columns, dates, zone)
    csv.writer(out, lineterminator="\n").writerows(zip(*(texts[name] for name in columns)))
    return out.getvalue()


def reference_table(columns, dates=(), zone=None):
    """The aligned table as it was written a row at a time."""
    texts = text_columns(columns, dates, zone)
    rows = list(zip(*texts.values()))
    widths = [max([len(n)] + [len(str(r[i])) for r in rows]) for i, n in enumerate(texts)]
    numeric = [bool(rows) and all(isinstance(r[i], int) for r in rows) for i in range(len(texts))]
    return "".join("  ".join(str(c).rjust(w) if num else str(c).ljust(w)
                             for c, w, num in zip(cells, widths, numeric)).rstrip() + "\n"
                   for cells in [list(texts), *rows])


TEXT = st.one_of(st.none(), st.text(st.sampled_from('ab ,"\n\r\t\xa0\u3000é€\U0001F600\x00'), max_size=5))
NS = st.one_of(st.just(-2 ** 63), st.integers(-2 ** 62, 2 ** 62),  # NaT, and 1824 to 2116
               st.integers(1_700_000_000, 1_800_000_000).map(lambda s: s * 10 ** 9))


@pytest.mark.parametrize("zone, dates", [(None, ()), (None, ("day",)), ("Europe/Berlin", ()),
                                         ("America/St_Johns", ("day",)), ("Asia/Kolkata", ())])
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_csv_rows_are_what_the_csv_module_writes(zone, dates, data):
    n = data.draw(st.integers(0, 12))
    draw = lambda strategy: data.draw(st.lists(strategy, min_size=n, max_size=n))  # noqa: E731
    texts = draw(TEXT)
    columns = {
        "time": np.array(draw(NS), dtype=np.int64).view("datetime64[ns]"),
        "day": np.array(draw(NS), dtype=np.int64).view("datetime64[ns]"),
        "value": np.array(draw(st.floats(width=64)), dtype=np.float64),
        "signal_id": np.array(draw(st.integers(0, 65535)), dtype=np.uint16),
        "count": np.array(draw(st.integers(-2 ** 63, 2 ** 63 - 1)), dtype=np.int64),
        "flag": np.array(draw(st.booleans()), dtype=bool),
        "text": np.array(texts + [None], dtype=object)[:-1],
        "name": np.array([(t or "").rstrip("\x00") for t in texts], dtype=str),
        "ints": np.array([len(t or "") for t in texts] + [None], dtype=object)[:-1],
    }
    zone = None if zone is None else _time.Zone(zone)
    assert csv_text.rows(columns, list(columns), dates, zone) == reference(columns, dates, zone)
    table = io.StringIO()
    write_table(columns, table, "table", dates, zone)
    assert table.getvalue() == reference_table(columns, dates, zone)


@pytest.mark.parametrize("column", [np.array([np.nan, 1.0]), np.array(["", "x"], dtype=object),
                                    np.array(["NaT", "2024-03-01"], dtype="datetime64[ns]"),
                                    np.array([None, "a\rb"], dtype=object), np.zeros(0)])
def test_a_line_of_one_empty_field_is_quoted_as_the_csv_module_does(column):
    out = io.StringIO()
    CsvWriter(out, ["x"]).write({"x": column})
    assert out.getvalue() == "x\n" + reference({"x": column})
