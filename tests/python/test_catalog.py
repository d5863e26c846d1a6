"""The catalog of names: loading and its checks, selection by name and
pattern, and the names through every consumer."""

from __future__ import annotations

import fnmatch
import importlib.util
import json
import os
import re
import runpy
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zentrail

SAMPLE = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")
DAY = ("2024-03-02", "2024-03-02")
HEADER = "signal_id,element,name,unit,description,interpolation,site\n"


def write(tmp_path, text, name="catalog.csv"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


@pytest.mark.parametrize("rows, line, field, words", [
    ("7,,A,,,,\n8,,A,,,,\n", 3, "name", "already the name of line 2"),
    ("70000,,A,,,,\n", 2, "signal_id", "0 to 65535"),
    ("7,1024,A,,,,\n", 2, "element", "0 to 1023"),
    ("7,,A,,,cubic,\n", 2, "interpolation", "'cubic'"),
    ("7,1,A,,,,\n\n7,1,B,,,,\n", 4, "element", "code 7169 (7:1) already has the row 'A' (line 2)"),
    ("7,,A,,,,\n7,,B,,,,\n", 3, "element", "signal 7 already has the row 'A'"),
    ("7,,,,,,\n", 2, "name", "missing"),
    ("x,,A,,,,\n", 2, "signal_id", "'x'"),
])
def test_a_bad_row_is_named_by_line_and_field(tmp_path, rows, line, field, words):
    path = write(tmp_path, HEADER + rows)
    with pytest.raises(ValueError) as caught:
        zentrail.Catalog.from_csv(path)
    assert f"{path}, line {line}, field {field!r}" in str(caught.value) and words in str(caught.value)


ROWS = [{"signal_id": 7, "element": None, "name": "Furnace1.Temp", "unit": "°C", "description": "Ofen 1",
         "interpolation": "linear", "site": "Nord"},
        {"signal_id": 7, "element": 2, "name": "Furnace1.Zone3", "unit": "K", "description": None,
         "interpolation": None, "site": "Süd"},
        {"signal_id": 9, "element": 0, "name": "Pump3.Flow", "unit": "m³/h", "description": "Förderstrom",
         "interpolation": "step", "site": None}]


@pytest.mark.parametrize("make", ["dicts", "csv", "json", "pandas", "polars"])
def test_every_source_gives_the_same_entries(tmp_path, make):
    catalog = zentrail.Catalog(ROWS)
    if make == "csv":
        catalog.to_csv(tmp_path / "c.csv")
        catalog = zentrail.Catalog.from_csv(tmp_path / "c.csv")
    elif make == "json":
        catalog.to_json(tmp_path / "c.json")
        assert "m³/h" in (tmp_path / "c.json").read_text(encoding="utf-8")
        catalog = zentrail.Catalog.from_json(tmp_path / "c.json")
    elif make in ("pandas", "polars"):
        frames = pytest.importorskip(make)
        catalog = zentrail.Catalog(frames.DataFrame(ROWS))
    assert catalog.to_records() == ROWS
    # An element's own row overrides its signal's; the others fall back to it.
    assert catalog.entry(7 * 1024 + 2).name == "Furnace1.Zone3"
    assert catalog.entry(7 * 1024 + 3).name == "Furnace1.Temp" and catalog.entry(7 * 1024 + 3).extra == {"site": "Nord"}
    assert catalog.entry(9 * 1024 + 1) is None and catalog.entry(8 * 1024) is None
    assert catalog.find("Furnace1.*") == ["Furnace1.Temp", "Furnace1.Zone3"] and catalog.find("furnace*") == []


names = st.text(alphabet="ab.1", min_size=1, max_size=4)
entries = st.lists(st.tuples(st.sampled_from([5, 7, 12, 13, 40]), st.none() | st.integers(0, 4), names),
                   max_size=12, unique_by=(lambda e: (e[0], e[1]), lambda e: e[2]))
patterns = st.text(alphabet="ab.1*?[]!", min_size=1, max_size=4)


@pytest.mark.filterwarnings("ignore:zentrail.scan. no row")
@settings(max_examples=40, deadline=None)
@given(entries, patterns)
def test_a_pattern_selects_the_codes_a_plain_filter_of_the_catalog_gives(rows, pattern):
    catalog = zentrail.Catalog([{"signal_id": i, "element": e, "name": n} for i, e, n in rows])
    matching = [(i, e) for i, e, n in rows if fnmatch.fnmatchcase(n, pattern)]
    codes = {i * 1024 + k for i, e in matching for k in (range(1024) if e is None else [e])}
    if not matching:
        with pytest.raises(ValueError, match="matches no name"):
            zentrail.scan(SAMPLE, *DAY, [pattern], catalog=catalog)
        return
    scan = zentrail.scan(SAMPLE, *DAY, [pattern], catalog=catalog)
    assert set(scan.plan.codes.tolist()) == codes
    every = zentrail.scan(SAMPLE, *DAY, catalog=False).to_numpy()
    read = scan.to_numpy()
    row_codes = every["signal_id"].astype(np.int64) * 1024 + every["element"]
    # A text row (NaN) stands for its whole record: any code of its id selects it.
    kept = np.isin(row_codes, list(codes)) | (np.isnan(every["value"]) & np.isin(every["signal_id"],
                                                                                  [c >> 10 for c in codes]))
    np.testing.assert_array_equal(read["time"], every["time"][kept])
    np.testing.assert_array_equal(read["element"], every["element"][kept])


def test_names_codes_and_ids_select_together_and_mistakes_name_close_names():
    scan = zentrail.scan(SAMPLE, *DAY, ["Furnace1.Zone[12].Temp", 5 * 1024], ids=["Shift.Note", 12])
    assert scan.plan.codes[:4].tolist() == [5120, 7168, 7169, 12 * 1024] and len(scan.plan.codes) == 3 + 2 * 1024
    elements = zentrail.scan(SAMPLE, *DAY, ids=[5]).to_numpy()["element"]
    assert np.unique(elements, return_counts=True)[1].tolist() == [144] * 3
    with pytest.raises(ValueError, match=r"signals\[1\] is the name 'Furnace1.Zone1.Tmp'.*'Furnace1.Zone1.Temp'"):
        zentrail.scan(SAMPLE, *DAY, [5, "Furnace1.Zone1.Tmp"])
    with pytest.raises(ValueError, match="no catalog of names"):
        zentrail.scan(SAMPLE, *DAY, ["Tank1.Level"], catalog=False)
    assert zentrail.events(SAMPLE, *DAY, ids=["Tank1.*"], system=False).to_numpy()["signal_id"].tolist() == [12] * 8


def _numpy(scan):
    columns = scan.select("signal_id", "element", "name", "unit").to_numpy()
    return columns["signal_id"], columns["element"], list(columns["name"]), list(columns["unit"])


def _pandas(scan):
    pandas = pytest.importorskip("pandas")  # the light test runs lack it
    frame = scan.to_pandas(names=True)
    assert isinstance(frame["name"].dtype, pandas.CategoricalDtype)
    texts = [[None if t != t else t for t in frame[c].tolist()] for c in ("name", "unit")]  # NaN: missing
    return frame["signal_id"], frame["element"], *texts


def _pyarrow(scan):
    table = pytest.importorskip("pyarrow").table(scan.select("signal_id", "element", "name", "unit"))
    assert str(table.schema.field("name").type) == "dictionary<values=string, indices=int32, ordered=0>"
    return (table.column(c).to_pylist() for c in ("signal_id", "element", "name", "unit"))


def _polars(scan):
    frame = pytest.importorskip("polars").DataFrame(scan.select("signal_id", "element", "name", "unit"))
    return (frame[c].to_list() for c in ("signal_id", "element", "name", "unit"))


def _duckdb(scan):
    duckdb = pytest.importorskip("duckdb")
    named = scan.select("signal_id", "element", "name", "unit")  # noqa: F841 (read by the query)
    rows = duckdb.sql("select signal_id, element, name::varchar, unit::varchar from named").fetchall()
    return zip(*rows)


def _overview(scan):
    pytest.importorskip("pandas")
    frame = scan.overview(3).to_pandas(names=True)
    assert list(frame.columns[:4]) == ["signal_id", "element", "name", "unit"]
    return frame["signal_id"], frame["element"], *([None if t != t else t for t in frame[c]] for c in ("name", "unit"))


@pytest.mark.parametrize("consume", [_numpy, _pandas, _pyarrow, _polars, _duckdb, _overview])
def test_names_through_every_consumer_are_the_catalogs(consume):
    # Codes without an entry (5:1) give no name; the text signal's entry names its whole signal.
    catalog = zentrail.Catalog([{"signal_id": 5, "element": 0, "name": "Tank1.Level", "unit": "cm"},
                                {"signal_id": 7, "name": "Furnace1.Temp", "unit": "°C"},
                                {"signal_id": 13, "name": "Shift.Note"}])
    scan = zentrail.scan(SAMPLE, *DAY, [5 * 1024, 5 * 1024 + 1, 7 * 1024 + 3, 13 * 1024], catalog=catalog)
    ids, elements, got_names, got_units = (list(c) for c in consume(scan))
    entries = [catalog.entry(int(i) * 1024 + int(e)) for i, e in zip(ids, elements)]
    assert set(ids) == ({5, 7} if consume is _overview else {5, 7, 13})  # text rows sum up to nothing
    assert got_names == [None if e is None else e.name for e in entries]
    assert got_units == [None if e is None else e.unit for e in entries]


def test_the_grid_is_named_and_interpolated_as_the_catalog_says(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    parquet = pytest.importorskip("pyarrow.parquet")
    codes = [5 * 1024, 7 * 1024, 7 * 1024 + 1]
    scan = zentrail.scan(SAMPLE, *DAY, codes)
    named = scan.align("50min", how=None)
    frame = named.to_pandas()
    assert list(frame.columns) == ["time", "Tank1.Level", "Furnace1.Zone1.Temp", "Furnace1.Zone2.Temp"]
    assert frame.attrs["units"]["Tank1.Level"] == "cm" and frame.attrs["units"]["Furnace1.Zone2.Temp"] == "°C"
    # Every signal of the sample's catalog is linear: the same as how="linear", by name.
    linear = zentrail.scan(SAMPLE, *DAY, codes, catalog=False).align("50min", how="linear").to_numpy()
    np.testing.assert_array_equal(frame["Tank1.Level"].to_numpy(), linear["5:0"])
    # Of two kinds: each column as its own kind reads it.
    mixed = zentrail.Catalog([{"signal_id": 5, "element": 0, "name": "L", "interpolation": "linear"},
                              {"signal_id": 7, "name": "T", "unit": "°C", "description": "zones"}])
    grid = zentrail.scan(SAMPLE, *DAY, codes, catalog=mixed).align("50min", how=None)
    step = zentrail.scan(SAMPLE, *DAY, codes, catalog=False).align("50min").to_numpy()
    got = grid.to_numpy()
    assert list(got) == ["time", "L", "T[0]", "T[1]"]
    np.testing.assert_array_equal(got["L"], linear["5:0"])
    np.testing.assert_array_equal(got["T[1]"], step["7:1"])
    table = pyarrow.table(grid)
    assert table.schema.field("T[0]").metadata == {b"unit": "°C".encode(), b"description": b"zones"}
    parquet.write_table(pyarrow.table(zentrail.scan(SAMPLE, *DAY, codes, catalog=mixed).align("1h")),
                        tmp_path / "g.parquet")
    assert parquet.read_schema(tmp_path / "g.parquet").field("T[1]").metadata[b"unit"] == "°C".encode()


def test_the_root_catalog_is_found_and_matched_against_the_archive(tmp_path):
    root = tmp_path / "archive"
    shutil.copytree(SAMPLE, root)
    os.remove(root / "zentrail-catalog.csv")
    assert zentrail.scan(root, *DAY).catalog is None
    (root / "zentrail-catalog.json").write_text(json.dumps([
        {"signal_id": 5, "name": "Tanks", "unit": "cm"}, {"signal_id": 7, "element": 9, "name": "Ghost"},
        {"signal_id": 99, "name": "Gone"}]), encoding="utf-8")
    inventory = zentrail.inventory(root)
    ids = inventory.to_numpy()["signal_id"].tolist()
    labels = inventory.labels()
    assert (labels["name"][ids.index(5)], labels["unit"][ids.index(5)]) == ("Tanks", "cm")
    assert labels["name"][ids.index(12)] is None and len(labels["unit"]) == len(ids)
    assert set(zentrail.inventory(root, catalog=False).labels()["name"]) == {None}
    if importlib.util.find_spec("pandas") is not None:  # the light test runs lack it
        named = inventory.to_pandas(names=True).set_index("signal_id")
        assert named.loc[5, ["name", "unit"]].tolist() == ["Tanks", "cm"]
    unmatched = inventory.unmatched()
    pairs = list(zip(unmatched["side"], unmatched["signal_id"].tolist(), unmatched["element"].tolist()))
    assert pairs == [("archive", 7, 0), ("archive", 7, 1), ("archive", 7, 2), ("archive", 7, 3),
                     ("archive", 12, 0), ("archive", 13, 0), ("catalog", 7, 9), ("catalog", 99, -1)]
    given = zentrail.scan(root, *DAY, ["Tank1.Level"], catalog=os.path.join(SAMPLE, "zentrail-catalog.csv"))
    assert given.catalog.find("Tank*") == ["Tank1.Level", "Tank2.Level", "Tank3.Level", "Tank1.LevelAlarm"]


# -- the names of a grid's columns -------------------------------------------

@pytest.mark.parametrize("entries, codes, names", [
    # An entry named like another code's own name.
    ([{"signal_id": 7, "element": 0, "name": "7:1"}], [7 * 1024, 7 * 1024 + 1], ["7:1 (7:0)", "7:1"]),
    # An element's entry named like an element of a whole-signal entry.
    ([{"signal_id": 5, "element": 0, "name": "A[0]"}, {"signal_id": 7, "name": "A"}],
     [5 * 1024, 7 * 1024, 7 * 1024 + 1], ["A[0] (5:0)", "A[0] (7:0)", "A[1]"]),
    # An entry named time, and one named as a lengthened name would be.
    ([{"signal_id": 5, "element": 0, "name": "time"}, {"signal_id": 7, "element": 0, "name": "7:1"},
      {"signal_id": 7, "element": 1, "name": "7:1 (7:0)"}],
     [5 * 1024, 7 * 1024, 7 * 1024 + 1], ["time (5:0)", "7:1", "7:1 (7:0)"]),
])
def test_grid_columns_are_named_uniquely_and_none_is_lost(entries, codes, names):
    pyarrow = pytest.importorskip("pyarrow")
    catalog = zentrail.Catalog(entries)
    aligned = zentrail.scan(SAMPLE, *DAY, codes, catalog=catalog).align("50min")
    got = aligned.to_numpy()
    assert list(got) == ["time", *names]
    table = pyarrow.table(aligned)
    assert table.column_names == list(got)
    bare = zentrail.scan(SAMPLE, *DAY, codes, catalog=False).align("50min").to_numpy()
    for name, (code_name, column) in zip(names, list(bare.items())[1:]):
        np.testing.assert_array_equal(got[name], column, err_msg=f"{name} is not {code_name}")
        np.testing.assert_array_equal(table[name].to_numpy(), column)
    assert list(aligned.to_pandas().columns) == list(got)


# Names chosen to clash: codes' own names, elements' names, lengthened names.
CLASHING = ["A", "A[0]", "A[1]", "B", "7:0", "7:1", "5:0", "time", "A[0] (5:0)", "A[0] (7:0)", "7:1 (7:0)", "x"]


@st.composite
def catalogs_and_codes(draw):
    slots = draw(st.lists(st.tuples(st.sampled_from([5, 7]), st.sampled_from([None, 0, 1])), unique=True, max_size=6))
    names = draw(st.lists(st.sampled_from(CLASHING), min_size=len(slots), max_size=len(slots), unique=True))
    entries = [{"signal_id": i, "element": e, "name": n} for (i, e), n in zip(slots, names)]
    codes = draw(st.lists(st.sampled_from([i * 1024 + e for i in (5, 7, 9) for e in (0, 1, 2)]), unique=True))
    return zentrail.Catalog(entries), sorted(codes)


@settings(max_examples=300, deadline=None)
@given(catalogs_and_codes())
def test_column_names_are_unique_and_keep_every_code_in_sight(made):
    from zentrail._names import columns

    catalog, codes = made
    names = columns.column_names(catalog, codes)
    assert len(names) == len(codes) and len(set(names) | {"time"}) == len(names) + 1
    for code, name in zip(codes, names):
        entry = catalog.entry(code)
        if entry is None:  # a code's own name, never changed
            assert name == columns.code_name(code)
        else:  # the entry's, or with the element, or with the code appended
            assert name.startswith(entry.name)
            assert name in (entry.name, columns.element_name(entry.name, code % 1024)) or \
                name.endswith(f" ({columns.code_name(code)})")


@settings(max_examples=500, deadline=None)
@given(st.integers(0, 65535 * 1024 + 1023))
def test_a_code_name_parses_back_to_its_code(code):
    from zentrail._names import columns

    name = columns.code_name(code)
    assert name == f"{code // 1024}:{code % 1024}" and columns.code_of(name) == code


@pytest.mark.parametrize("name", ["07:0", "7:1024", "7:00", " 7:0", "7:0 ", "7", "A[0]", "7:-1", "65536:0", "７:0",
                                  ""])
def test_only_a_code_name_parses(name):
    from zentrail._names import columns

    with pytest.raises(ValueError, match="no column name of a code"):
        columns.code_of(name)


PUMPS = zentrail.Catalog([{"signal_id": 20, "element": 0, "name": "Pump1"},
                          {"signal_id": 20, "element": 1, "name": "Pump[1]"},
                          {"signal_id": 20, "element": 2, "name": "Pump[2]"},
                          {"signal_id": 21, "name": "Star*"}, {"signal_id": 22, "element": 0, "name": "Star*x"},
                          {"signal_id": 23, "element": 0, "name": "=Odd"}])


@pytest.mark.parametrize("text, names", [
    ("Pump[1]", ["Pump[1]"]),            # a name is itself, not the pattern it also reads as
    ("Star*", ["Star*"]),
    ("=Odd", ["=Odd"]),                  # a name that begins with "=" too
    ("=Pump[1]", ["Pump[1]"]),           # "=" asks for the name alone
    ("Pump[12]", ["Pump1"]),             # no name: a pattern
    ("Pump[[]*", ["Pump[1]", "Pump[2]"]),
    ("=Pump[3]", "exact name 'Pump[3]'"),
    ("=Pump*", "exact name 'Pump*'"),
])
def test_a_name_wins_over_a_pattern_and_equals_asks_for_the_name_alone(text, names):
    if isinstance(names, str):
        with pytest.raises(ValueError, match=re.escape(names)):
            zentrail.scan(SAMPLE, *DAY, [text], catalog=PUMPS)
        return
    assert PUMPS.find(text) == names
    entries = [PUMPS[n] for n in names]
    expected = sorted(e.signal_id * 1024 + k for e in entries for k in ([e.element] if e.element is not None
                                                                        else range(1024)))
    assert zentrail.scan(SAMPLE, *DAY, [text], catalog=PUMPS).plan.codes.tolist() == expected


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(0, 65535), max_size=4) | st.lists(st.integers(0, 40), max_size=6),
       st.lists(st.integers(0, 45 * 1024), max_size=40))
def test_codes_of_whole_signals_and_single_codes_are_the_plain_union(whole, codes):
    from zentrail._base.arguments import ascending_codes

    got = ascending_codes(np.array(whole, dtype=np.int64), np.array(codes, dtype=np.int64))
    expected = sorted({i * 1024 + k for i in whole for k in range(1024)} | set(codes))
    assert got.dtype == np.int32 and got.tolist() == expected and not got.flags.writeable


def test_many_codes_take_the_table_and_give_the_same_codes():
    from zentrail._base.arguments import ascending_codes

    rng = np.random.default_rng(7)
    codes = np.concatenate([rng.integers(0, 1 << 26, 5_000_000), np.arange(9 * 1024, 11 * 1024)])
    got = ascending_codes(np.array([3, 10]), codes)  # id 10 given whole and held whole by the codes
    np.testing.assert_array_equal(got, np.union1d(codes, np.arange(3 * 1024, 4 * 1024)).astype(np.int32))


@pytest.mark.parametrize("kind", ["fifo", "folder"])
def test_a_catalog_path_that_is_no_regular_file_is_an_error_naming_it(tmp_path, kind):
    # In a child with a time limit: a FIFO opened for reading waits for a writer.
    root = tmp_path / "archive"
    shutil.copytree(SAMPLE, root)
    path = root / "zentrail-catalog.csv"
    os.remove(path)
    os.mkfifo(path) if kind == "fifo" else path.mkdir()
    script = (f"import zentrail\n"
              f"for call in (lambda: zentrail.scan({str(root)!r}, '2024-03-02', '2024-03-02'),\n"
              f"             lambda: zentrail.Catalog.load({str(path)!r})):\n"
              f"    try:\n"
              f"        call()\n"
              f"    except Exception as error:\n"
              f"        print(type(error).__name__, error)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    what = "a FIFO (named pipe)" if kind == "fifo" else "a folder"
    said = f"ValueError {path}: {what}, not a regular file; a catalog is read from a regular file only"
    assert done.stdout.splitlines() == [said, said], done.stderr


@pytest.mark.parametrize("names, missing, offered", [
    (["TI-1001", "TI-1002", "TI-1003", "Boiler.TI-10000"], "TI-1000", "'Boiler.TI-10000', 'TI-100"),
    (["TI-1000A", "TI-1000B", "TI-1001", "TI-10000"], "TI-1000", "'TI-10000', 'TI-1000A', 'TI-1000B'"),
    (["Furnace1.Zone1.Temp", "Furnace1.Zone4.Temp"], "Furnace1.Zone1.Tmp", "'Furnace1.Zone1.Temp', 'Furnace1.Zo"),
])
def test_close_names_offer_the_names_that_begin_with_or_hold_the_text(names, missing, offered):
    catalog = zentrail.Catalog([{"signal_id": i, "name": n} for i, n in enumerate(names)])
    with pytest.raises(ValueError) as raised:
        catalog.codes([missing])
    assert f"close names: {offered}" in str(raised.value)
    with pytest.raises(KeyError, match=re.escape(offered)):
        catalog[missing]


@pytest.mark.parametrize("code", [-1, 65536 * 1024, 2 ** 40])
def test_a_code_outside_every_signal_has_no_entry_but_an_error(code):
    with pytest.raises(ValueError, match="outside 0 to 67108863"):
        PUMPS.entry(code)


@pytest.mark.parametrize("data, kind, words", [
    (b"[" * 100_000, "json", "nested too deeply"),
    (b"signal_id,name\n" + b"x" * 200_000 + b",a\n", "csv", "line 2: not CSV: field larger than field limit"),
    (b"[7]", "json", "row 0: a number, not an object"),
    (b'[{"signal_id": 7, "name": "\\ud800"}]', "json", "row 0, field 'name': '\\ud800' holds a lone surrogate"),
    (b'[{"signal_id": 7, "element": [1, 2], "name": "A"}]', "json", "row 0, field 'element': [1, 2] is not"),
    *[(b"signal_id,element,name\n7,%s,A\n" % e.encode(), "csv", "line 2, field 'element'")
      for e in ("+3", "\u0663", "-1", "\u00b2", "3.5")],
    (b"signal_id,name\n7,\xff\n", "csv", "byte 17: not UTF-8 text"),
])
def test_a_catalog_file_that_cannot_be_right_is_a_value_error_naming_it(tmp_path, data, kind, words):
    path = tmp_path / f"c.{kind}"
    path.write_bytes(data)
    with pytest.raises(ValueError) as raised:
        zentrail.Catalog.load(path)
    assert str(raised.value).startswith(str(path)) and words in str(raised.value), raised.value


CORPUS = Path(__file__).resolve().parents[2] / "fuzz" / "corpus" / "fuzz_catalog"


@pytest.mark.parametrize("name", sorted(p.name for p in CORPUS.iterdir()))
def test_the_catalog_fuzz_targets_inputs_hold(name):
    # The seeds and the findings kept: each loads or fails as it may, and
    # what loads is written and read back the same (a lone "\r" in a text).
    target = runpy.run_path(str(CORPUS.parents[1] / "fuzz_catalog.py"), run_name="fuzz_catalog")
    target["check"]((CORPUS / name).read_bytes())


CONSUMERS = {"numpy": lambda scan: scan.to_numpy(), "batches": lambda scan: list(scan),
             "pandas": lambda scan: scan.to_pandas()}


@pytest.mark.parametrize("consumer", list(CONSUMERS))
def test_a_root_without_archive_files_warns_at_the_caller(tmp_path, consumer):
    if consumer == "pandas":
        pytest.importorskip("pandas")  # the light test runs lack it
    with pytest.warns(UserWarning, match=r"no archive file \(YYYY-MM-DD_\*\.vlx\) under") as caught:
        CONSUMERS[consumer](zentrail.scan(tmp_path, "2024-03-01", "2024-03-03"))
    assert [w.filename for w in caught] == [__file__]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a window outside the files: a choice, not a mistake
        CONSUMERS[consumer](zentrail.scan(SAMPLE, "2030-01-01", "2030-01-02"))
