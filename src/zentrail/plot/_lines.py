"""The lines of a trend, drawn from overviews (for `zentrail plot` and the viewer).

A window of a signal is drawn from its overview at the plot's pixel width:
per bucket the first, minimum, maximum and last values at their instants, in
time order. A line through those points covers exactly the pixels the line
through every value covers (each pixel column holds the same extremes, entered
and left at the same values), so a year of one-second samples draws as a few
thousand points. A window holding no more values than pixels draws the values
themselves.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple

import zentrail

Line = Dict[str, Any]  # "time" (datetime64[ns]), "value" (float64), "kind" ("envelope" or "values")


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
          threads: Optional[int] = None) -> Dict[int, Line]:
    """Per code (id * 1024 + element) with values in the window, the line to
    draw at `pixels` columns: the overview's envelope, or the values
    themselves where they are no more than the pixels."""
    import numpy

    pixels = max(1, int(pixels))
    columns = zentrail.scan(root, start, end, list(codes), threads=threads).overview(pixels).to_numpy()
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
        values = zentrail.scan(root, start, end, few, threads=threads).to_numpy()
        row_code = values["signal_id"].astype(numpy.int64) * 1024 + values["element"]
        for code in few:
            keep = (row_code == code) & ~numpy.isnan(values["value"])
            out[code] = {"time": values["time"][keep], "value": values["value"][keep], "kind": "values"}
    return {code: out[code] for code in codes if code in out}


def code_label(code: int) -> str:
    return f"{code // 1024}:{code % 1024}"
