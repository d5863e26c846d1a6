"""How the chosen codes are laid out: one pane per unit on the shared time
axis, so that a furnace at 800 degC and a tank at 2 m each fill their own
height; a pane of their own for the codes without a unit (per signal:
nothing says two of them compare); and a states pane, where each on/off or
unit-less held code is a row of its own (sixteen pump states on one 0-1
axis would sit on top of each other). Pure functions of what was read, run
on the read workers, so that the page's loop only puts the result in place.
"""

from __future__ import annotations

import html
from typing import Any, Dict, List, Optional, Sequence, Tuple

from zentrail._base import time as _time

STATES = "states"
# A state's row: its lowest value at the row's number, its highest this far above.
ROW_HEIGHT = 0.8
# Distinct colours within a pane: ten while they suffice, then twenty.
PALETTE_10 = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22",
              "#17becf")
PALETTE_20 = ("#1f77b4", "#aec7e8", "#ff7f0e", "#ffbb78", "#2ca02c", "#98df8a", "#d62728", "#ff9896", "#9467bd",
              "#c5b0d5", "#8c564b", "#c49c94", "#e377c2", "#f7b6d2", "#7f7f7f", "#c7c7c7", "#bcbd22", "#dbdb8d",
              "#17becf", "#9edae5")
# Alarm markers by level: the severe ones darkest.
LEVEL_COLORS = {"HiHi": "#8b0000", "LoLo": "#8b0000", "Hi": "#e65c00", "Lo": "#e65c00", "L->H": "#c0392b",
                "H->L": "#2e86c1"}
OTHER_LEVEL = "#7d3c98"


def pane_of(code: int, kind: str, unit: Optional[str]) -> Tuple[str, str]:
    """A code's pane key and its value axis's label."""
    if kind == "state":
        return STATES, "state"
    if unit:
        return f"unit:{unit}", unit
    return f"signal:{code // 1024}", "no unit"


def panes(codes: Sequence[int], kinds: Dict[int, Tuple[str, Optional[str]]]) -> List[Dict[str, Any]]:
    """The panes of `codes` in the order their first code was chosen, the
    states pane last: dicts of "key", "axis" and "codes"."""
    found: Dict[str, Dict[str, Any]] = {}
    for code in codes:
        kind, unit = kinds.get(code, ("line", None))
        key, axis = pane_of(code, kind, unit)
        found.setdefault(key, {"key": key, "axis": axis, "codes": []})["codes"].append(code)
    return sorted(found.values(), key=lambda pane: pane["key"] == STATES)


def palette(count: int) -> Sequence[str]:
    return PALETTE_10 if count <= len(PALETTE_10) else PALETTE_20


def state_rows(values: Sequence[Any]) -> List[Tuple[float, float]]:
    """Per state line, (low, high) of its values, mapped onto its row as
    low -> the row's number and high -> ROW_HEIGHT above: 0 and 1 for an
    on/off state, so that "on" is always as high in every row."""
    import numpy

    rows = []
    for line in values:
        finite = numpy.asarray(line, dtype=numpy.float64)
        finite = finite[numpy.isfinite(finite)]
        low, high = (float(finite.min()), float(finite.max())) if len(finite) else (0.0, 1.0)
        if low >= 0 and high <= 1:
            low, high = 0.0, 1.0
        rows.append((low, high if high > low else low + 1.0))
    return rows


def on_row(values: Any, row: int, low: float, high: float) -> Any:
    import numpy

    return row + ROW_HEIGHT * (numpy.asarray(values, dtype=numpy.float64) - low) / (high - low)


def at_times(times: Any, xs: Any, ys: Any) -> Any:
    """The line through (xs, ys) at `times` (all in the axis's ms): where an
    alarm's marker sits on the line of the signal it watches."""
    import numpy

    xs, ys = numpy.asarray(xs, dtype=numpy.float64), numpy.asarray(ys, dtype=numpy.float64)
    keep = numpy.isfinite(ys)
    if not keep.any():
        return numpy.full(len(times), numpy.nan)
    return numpy.interp(numpy.asarray(times, dtype=numpy.float64), xs[keep], ys[keep])


def legend_html(labels: Sequence[str], colors: Sequence[str]) -> str:
    """A legend beside a pane: every entry, one a line, scrolled within the
    pane's height rather than cut."""
    entries = "".join(
        f'<div class="zt-entry" title="{html.escape(label)}"><span style="display:inline-block;width:14px;'
        f'height:3px;vertical-align:middle;margin-right:6px;background:{color}"></span>{html.escape(label)}</div>'
        for label, color in zip(labels, colors))
    return f'<div class="zt-legend" style="font-size:12px;line-height:18px;white-space:nowrap">{entries}</div>'


def level_color(level: Optional[str]) -> str:
    return LEVEL_COLORS.get(level or "", OTHER_LEVEL)


def lane_label(watches: Optional[str], name: Optional[str], signal_id: int) -> str:
    """An alarm's row in the alarm lane: the name of the signal it watches,
    else its own name, else its id."""
    return watches or name or f"id {signal_id}"


def gap_bands(line: Any, first_ns: int, last_ns: int, shortest: int, zone: Any = None) -> Dict[str, Any]:
    """The spells longer than ``shortest`` (ns) in which a line's code
    logged nothing within the view (`first_ns` to `last_ns` on the axis: the
    wall clock of `zone`, if any), as bands on the axis (ms). From the
    line's own points: each bucket's first and last values are rows at
    their own times, so every spell without a row wider than a bucket
    lies between two of its points (a read of the rows again would take
    seconds over a month)."""
    import numpy

    first, last = first_ns, last_ns
    if zone is not None:
        first = _time.clamp_ns(zone.instant_ns(first_ns, fold=0))
        last = _time.clamp_ns(zone.instant_ns(last_ns, fold=1))
    # Of the part of the view whose instants a datetime64[ns] holds.
    held = numpy.iinfo(numpy.int64)
    first, last = max(first, held.min + 1), min(last, held.max)
    rows = line["time"].astype(numpy.int64)
    times = numpy.unique(numpy.concatenate([[first], rows[(rows >= first) & (rows <= last)], [last]]))
    wide = numpy.flatnonzero(numpy.diff(times) > shortest)
    x0, x1 = times[wide].astype("datetime64[ns]"), times[wide + 1].astype("datetime64[ns]")
    if zone is not None:
        x0, x1 = zone.wall_times(x0), zone.wall_times(x1)
    return {"x0": x0.astype(numpy.int64) / 1e6, "x1": x1.astype(numpy.int64) / 1e6}
