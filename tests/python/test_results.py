"""The tables zentrail gives (Inventory, Events, Overview) share their
consumers; and a read that yields nothing the caller could have wanted says
so rather than succeed quietly."""

from __future__ import annotations

import pickle
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import zentrail
from test_overview import SAMPLE

WINDOW = ("2024-03-01", "2024-03-03")
RESULTS = {
    "inventory": lambda: zentrail.inventory(SAMPLE),
    "inventory by day": lambda: zentrail.inventory(SAMPLE, *WINDOW, by="day"),
    "events": lambda: zentrail.events(SAMPLE, *WINDOW),
    "overview": lambda: zentrail.scan(SAMPLE, *WINDOW).overview(20),
}
NAMES = {"inventory": {"class_name"}, "inventory by day": {"class_name"}, "overview": set(),
         "events": {"class_name", "subtype_name", "detail"}}


def plain(values):
    """Values comparable across consumers: NaN and a missing text alike."""
    return [None if v is None or v != v else v for v in values]


@pytest.mark.parametrize("kind", RESULTS)
def test_every_result_gives_the_same_table_to_every_consumer(kind):
    pandas = pytest.importorskip("pandas")
    pyarrow = pytest.importorskip("pyarrow")
    result = RESULTS[kind]()
    columns = result.to_numpy()
    frame = result.to_pandas()
    table = pyarrow.table(result)
    assert list(frame.columns) == table.column_names
    assert set(frame.columns) - set(columns) == NAMES[kind] - set(columns)
    for name in frame.columns:
        is_name = name in NAMES[kind]
        assert (frame[name].dtype == "category") == is_name, name
        assert pyarrow.types.is_dictionary(table.schema.field(name).type) == is_name, name
        assert plain(table.column(name).to_pylist()) == plain(frame[name].astype(object).tolist()), name
    again = pickle.loads(pickle.dumps(result)).to_numpy()
    for name, column in columns.items():
        np.testing.assert_array_equal(again[name], column)


def test_the_arrow_streams_are_made_without_pyarrow():
    script = textwrap.dedent(f"""
        import sys
        sys.modules["pyarrow"] = None  # any import of it fails
        import zentrail
        root, window = {SAMPLE!r}, ("2024-03-01", "2024-03-03")
        for result in (zentrail.inventory(root), zentrail.events(root, *window),
                       zentrail.scan(root, *window).overview(3)):
            capsule = result.__arrow_c_stream__()
            assert type(capsule).__name__ == "PyCapsule", capsule
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "ok", done.stderr


def test_events_text_is_utf8_even_with_no_text():
    pyarrow = pytest.importorskip("pyarrow")
    table = pyarrow.table(zentrail.events(SAMPLE, *WINDOW, ids=[]))
    assert table.num_rows > 0 and table.column("text").null_count == table.num_rows
    assert table.schema.field("text").type == pyarrow.string()


def consumed(scan, how):
    if how == "iterate":
        return sum(len(b["time"]) for b in scan)
    if how == "to_pandas":
        return len(scan.to_pandas())
    return len(scan.to_numpy()["time"])


@pytest.mark.parametrize("how", ["to_numpy", "iterate", "to_pandas"])
def test_codes_that_give_no_row_warn_once_naming_the_codes_an_id_needs(how):
    if how == "to_pandas":
        pytest.importorskip("pandas")
    with pytest.warns(UserWarning) as caught:
        assert consumed(zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", [7]), how) == 0
    assert len(caught) == 1
    text = str(caught[0].message)
    assert "no row for the codes 7 " in text and "7 would be 7168..7171" in text
    assert caught[0].filename == __file__


@pytest.mark.parametrize("scan, words, absent", [
    (lambda: zentrail.scan(SAMPLE, *WINDOW, [1, 2, 3, 4, 6, 7 * 1024 + 9, 10**6]),
     ("1, 2, 3, 4, 6 and 2 more",), ("would be",)),  # no signal of these ids in the files
    (lambda: zentrail.scan(SAMPLE, *WINDOW, [5 * 1024 + 900, 7]), ("7 would be 7168..7171",), ("5 would be",)),   # 5120 + 900 is a code, not an id
])
def test_the_warning_names_five_codes_and_only_ids_the_files_hold(scan, words, absent):
    with pytest.warns(UserWarning) as caught:
        scan().to_numpy()
    text = str(caught[0].message)
    assert all(word in text for word in words) and not any(word in text for word in absent), text


@pytest.mark.parametrize("scan", [
    lambda: zentrail.scan(SAMPLE, *WINDOW, [7168]),                           # rows
    lambda: zentrail.scan(SAMPLE, *WINDOW),                                   # every code: no codes to blame
    lambda: zentrail.scan(SAMPLE, *WINDOW, [7168]).limit(0),                  # nothing asked for
    lambda: zentrail.scan(SAMPLE, *WINDOW, [7168]).where(item_classes=[1]),   # narrowed away on purpose
    lambda: zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03").where(start="2030-01-01"),
])
def test_no_warning_where_the_rows_or_their_absence_were_asked_for(scan):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        scan().to_numpy()
