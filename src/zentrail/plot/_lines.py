"""The lines of a trend, drawn from overviews (for `zentrail plot` and the viewer).

A window of a signal is drawn from its overview at the plot's pixel width:
per bucket the first, minimum, maximum and last values at their instants, in
time order. A line through those points covers exactly the pixels the line
through every value covers (each pixel column holds the same extremes, entered
and left at the same values), so a year of one-second samples draws as a few
thousand points. A window holding no more values than pixels draws the values
themselves.

Read in a zone (``tz=``, as zentrail.scan takes it) the lines' times are
instants (UTC); ``on_wall_clock`` gives the zone's wall times to draw.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

import zentrail
from zentrail._names import columns as _columns

# "time" (datetime64[ns]), "value" (float64), "kind" ("envelope" or "values"),
# "label" (the catalog's name, or "<id>:<element>") and "unit" (None without one)
Line = Dict[str, Any]


def envelope_points(columns: Dict[str, Any], rows: Any) -> Tuple[Any, Any]:
    """The time-ordered (first, min, max, last) points of the overview cells
    `rows` (indices into `columns`, in bucket order), repeats dropped."""
    import numpy

    times = numpy.stack([columns[f"{k}_time"][rows].astype(numpy.int64) for k in ("first", "min", "max", "last")], 1)
    values = numpy.stack([columns[k][rows] for k in ("first", "min", "max", "last")], 1)
    order = numpy.argsort(times, axis=1, kind="stable")
    times = numpy.take_along_axis(times, order, 1).ravel()
    values = numpy.take_along_axis(values, order, 1).ravel()
    keep = numpy.ones(len(times), dtype=bool)
    keep[1:] = (times[1:] != times[:-1]) | (values[1:] != values[:-1])
    return times[keep].astype("datetime64[ns]"), values[keep]


def lines(root: Any, start: str, end: str, codes: Sequence[int], pixels: int,
          threads: Optional[int] = None, errors: str = "raise", skipped: Optional[List[Any]] = None,
          steps: Any = False, catalog: Any = None, tz: Any = None) -> Dict[int, Line]:
    """Per code (id * 1024 + element) with values in the window, the line to
    draw at `pixels` columns: the overview's envelope, or the values
    themselves where they are no more than the pixels. The damaged files
    passed over (``errors`` as for zentrail.scan) are added to `skipped`.
    With `steps` True, each line is drawn as steps (see as_steps); given
    a collection of codes, those codes' lines only (a setpoint or a pump
    state holds its value where a temperature beside it does not). Each line is
    labelled by `catalog` (None: the root's own, if any; False: none).
    Read in the zone `tz` as zentrail.scan reads (None: the root's zone
    file, if any; False: none)."""
    import numpy

    pixels = max(1, int(pixels))
    scan = zentrail.scan(root, start, end, list(codes), threads=threads, errors=errors, catalog=catalog, tz=tz)
    names = scan.catalog
    overview = scan.overview(pixels)
    columns = overview.to_numpy()
    if skipped is not None:
        skipped.extend(overview.skipped)
    code_of = columns["signal_id"].astype(numpy.int64) * 1024 + columns["element"]
    out: Dict[int, Line] = {}
    few: List[int] = []
    for code in codes:
        rows = numpy.flatnonzero(code_of == code)
        if len(rows) == 0:
            continue
        if int(columns["count"][rows].sum()) <= pixels:
            few.append(code)
            continue
        time, value = envelope_points(columns, rows)
        out[code] = {"time": time, "value": value, "kind": "envelope"}
    if few:
        values_scan = zentrail.scan(root, start, end, few, threads=threads, errors=errors, catalog=False, tz=tz)
        values = values_scan.to_numpy()
        if skipped is not None:
            skipped.extend(values_scan.skipped)
        row_code = values["signal_id"].astype(numpy.int64) * 1024 + values["element"]
        for code in few:
            keep = (row_code == code) & ~numpy.isnan(values["value"])
            out[code] = {"time": values["time"][keep], "value": values["value"][keep], "kind": "values"}
    stepped = list(codes) if steps is True else [code for code in codes if steps and code in steps]
    if stepped:
        out.update(as_steps(root, start, end, stepped, out, threads, errors, tz))
    for code, line in out.items():
        entry = None if names is None else names.entry(code)
        line["label"] = code_label(code) if entry is None else label_of(entry, code)
        line["unit"] = None if entry is None else entry.unit
    return {code: out[code] for code in codes if code in out}


def as_steps(root: Any, start: str, end: str, codes: Sequence[int], drawn: Dict[int, Line],
             threads: Optional[int] = None, errors: str = "raise", tz: Any = None) -> Dict[int, Line]:
    """The lines as steps, as a signal logged on change holds its value: each
    point's value until the next point, the value in force at the window's
    start (found in earlier files, up to the default lookback) from the
    start, and the last value to the window's end. A code with no row in the
    window but a value in force draws as one level."""
    import numpy

    scan = zentrail.scan(root, start, end, list(codes), threads=threads, errors=errors, catalog=False, tz=tz)
    first, last = scan.plan.first_ns, scan.plan.last_ns
    # One grid row, at the start: every step longer than the window.
    in_force = scan.align(f"{last - first + 1}ns", how="step").to_numpy()
    out: Dict[int, Line] = {}
    for code in codes:
        line = drawn.get(code)
        times = line["time"].astype(numpy.int64) if line else numpy.zeros(0, numpy.int64)
        values = line["value"] if line else numpy.zeros(0)
        opening = in_force.get(code_label(code), numpy.full(1, numpy.nan))[0]
        if not numpy.isnan(opening) and (len(times) == 0 or times[0] > first):
            times, values = numpy.concatenate([[first], times]), numpy.concatenate([[opening], values])
        if len(times) == 0:
            continue
        times, values = numpy.append(times, last), numpy.append(values, values[-1])
        out[code] = {"time": numpy.repeat(times, 2)[1:].astype("datetime64[ns]"), "value": numpy.repeat(values, 2)[:-1],
                     "kind": line["kind"] if line else "values"}
    return out


def on_wall_clock(times: Any, values: Any, zone: Any) -> Tuple[Any, Any]:
    """A line's instants (UTC) and values as the wall times of `zone` to
    draw, in time order. Where the clock goes back (into the repeated
    autumn hour) the line runs on to the change (its value there
    interpolated), breaks (a NaN value) and starts again from the change on
    the clock's new time: the hour's two passes drawn over the same stretch
    of axis, never a line back from one to the other."""
    import numpy

    instants = numpy.asarray(times, dtype="datetime64[ns]")
    offsets = zone.offsets_ns(instants)
    wall = instants + offsets.astype("timedelta64[ns]")
    values = numpy.asarray(values, dtype=numpy.float64)
    back = numpy.flatnonzero(offsets[1:] < offsets[:-1]) + 1
    if len(back) == 0:
        return wall, values
    ns = instants.view(numpy.int64)
    change = zone.last_changes_ns(instants[back])
    share = (change - ns[back - 1]) / (ns[back] - ns[back - 1])
    at = values[back - 1] + (values[back] - values[back - 1]) * share
    before, after = change + offsets[back - 1], change + offsets[back]
    added_times = numpy.stack([before, before, after], 1).ravel().astype("datetime64[ns]")
    added_values = numpy.stack([at, numpy.full(len(at), numpy.nan), at], 1).ravel()
    where = numpy.repeat(back, 3)
    return numpy.insert(wall, where, added_times), numpy.insert(values, where, added_values)


def time_label(zone: Any) -> Optional[str]:
    """The time axis's label: the zone its wall times are of (none without one)."""
    return None if zone is None else f"local time ({zone.name})"


def code_label(code: int) -> str:
    """A code's label where the catalog names it not: its column's name, "<signal_id>:<element>"."""
    return _columns.code_name(code)


def label_of(entry: Any, code: int) -> str:
    """A line's label: its entry's name (with the element, for an entry of a whole signal of several)."""
    if entry.element is not None or code % 1024 == 0:
        return entry.name
    return _columns.element_name(entry.name, code % 1024)


def axis_label(drawn: Dict[int, Line]) -> str:
    """The value axis's label: the units of the lines drawn."""
    units = list(dict.fromkeys(str(line["unit"]) for line in drawn.values() if line.get("unit")))
    return ", ".join(units)
