"""How the viewer lays out what it draws, without a browser: the panes per
unit, the rows of the states pane, the list's kinds of code, and the gap
bands it takes from the drawn line, against zentrail.gaps' rows."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import zentrail
from zentrail._base import time as _time

pytest.importorskip("bokeh")
from zentrail.plot import lines  # noqa: E402
from zentrail.viewer import _catalog, _panes  # noqa: E402

SAMPLE = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")


def test_codes_go_to_a_pane_per_unit_their_own_signals_and_the_states_last():
    kinds = {1: ("state", None), 2: ("line", "degC"), 3: ("line", "mm"), 4: ("step", "degC"), 1024 * 9: ("line", None),
             1024 * 9 + 1: ("line", None), 5: ("state", None)}
    found = [(pane["key"], pane["axis"], pane["codes"]) for pane in _panes.panes([1, 2, 3, 4, 9216, 9217, 5], kinds)]
    assert found == [("unit:degC", "degC", [2, 4]), ("unit:mm", "mm", [3]), ("signal:9", "no unit", [9216, 9217]),
                     ("states", "state", [1, 5])]


@pytest.mark.parametrize("values, rows", [([0, 1, 1, 0], (0.0, 1.0)), ([1, 1], (0.0, 1.0)), ([3, 7, 5], (3.0, 7.0)),
                                          ([np.nan], (0.0, 1.0)), ([4, 4], (4.0, 5.0))])
def test_a_state_fills_its_own_row(values, rows):
    (low, high), = _panes.state_rows([np.array(values, dtype=float)])
    assert (low, high) == rows
    placed = _panes.on_row(values, 3, low, high)
    assert np.all((placed[np.isfinite(placed)] >= 3) & (placed[np.isfinite(placed)] <= 3 + _panes.ROW_HEIGHT))


@pytest.mark.parametrize("item_class, interpolation, unit, kind", [
    (17, "linear", None, "state"), (23, "linear", "degC", "line"), (24, "step", "degC", "step"),
    (21, "step", None, "state"), (2, None, "%", "step"), (23, "missing entry", None, "line")])
def test_the_kind_of_a_code(item_class, interpolation, unit, kind):
    entry = None if interpolation == "missing entry" else zentrail.Catalog(
        [{"signal_id": 1, "name": "x", "unit": unit or "", "interpolation": interpolation or ""}]).entry(1024)
    assert _catalog.code_kind(entry, item_class) == kind


def test_the_list_has_a_row_per_element_under_its_signal():
    found = zentrail.inventory(SAMPLE)
    rows = _catalog.signal_rows(found.to_numpy(), found.catalog, None)["signals"]
    assert rows["key"] == ["0", "5", "5:0", "5:1", "5:2", "7", "7:0", "7:1", "7:2", "7:3", "12", "13"]
    assert rows["name"][rows["key"].index("7:3")] == "Furnace1.Zone4.Temp"
    assert rows["name"][rows["key"].index("5")] == "Tank1.Level … Tank3.Level"


@pytest.mark.parametrize("start, end, pixels", [("2024-03-01", "2024-03-03 23:59:59", 900),
                                                ("2024-03-02 05:00", "2024-03-02 07:00", 300),
                                                ("2024-03-01 22:00", "2024-03-02 03:00", 50)])
@pytest.mark.parametrize("code", [5 * 1024, 7 * 1024 + 3, 12 * 1024])
def test_gap_bands_from_the_drawn_line_are_the_spells_without_a_row(start, end, pixels, code):
    drawn = lines(SAMPLE, start, end, [code], pixels, steps={12 * 1024})
    bounds = _time.window(start, end)
    first, last = _time.first_ns(bounds[0]), _time.last_ns(bounds[1])
    shortest = max(3 * (last - first) // pixels, 60 * _time.NS_PER_SECOND)
    bands = _panes.gap_bands(drawn[code], first, last, shortest)
    spells = zentrail.gaps(SAMPLE, start, end, [code], min_gap=_time.duration_text(shortest + 1)).to_numpy()
    assert bands["x0"].tolist() == (spells["start"].astype(np.int64) / 1e6).tolist()
    assert bands["x1"].tolist() == (spells["end"].astype(np.int64) / 1e6).tolist()
