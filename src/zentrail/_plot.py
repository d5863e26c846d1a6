"""Trends drawn from overviews: the lines of `zentrail plot` and of the viewer.

A window of a signal is drawn from its overview at the plot's pixel width:
per bucket the first, minimum, maximum and last values at their instants, in
time order. A line through those points covers exactly the pixels the line
through every value covers (each pixel column holds the same extremes, entered
and left at the same values), so a year of one-second samples draws as a few
thousand points. A window holding no more values than pixels draws the values
themselves.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

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
          threads: Optional[int] = None, errors: str = "raise", skipped: Optional[List[Any]] = None) -> Dict[int, Line]:
    """Per code (id * 1024 + element) with values in the window, the line to
    draw at `pixels` columns: the overview's envelope, or the values
    themselves where they are no more than the pixels. The damaged files
    passed over (``errors`` as for zentrail.scan) are added to `skipped`."""
    import numpy

    pixels = max(1, int(pixels))
    overview = zentrail.scan(root, start, end, list(codes), threads=threads, errors=errors).overview(pixels)
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
        scan = zentrail.scan(root, start, end, few, threads=threads, errors=errors)
        values = scan.to_numpy()
        if skipped is not None:
            skipped.extend(scan.skipped)
        row_code = values["signal_id"].astype(numpy.int64) * 1024 + values["element"]
        for code in few:
            keep = (row_code == code) & ~numpy.isnan(values["value"])
            out[code] = {"time": values["time"][keep], "value": values["value"][keep], "kind": "values"}
    return {code: out[code] for code in codes if code in out}


def window_events(root: Any, start: str, end: str, ids: Optional[Iterable[int]],
                  threads: Optional[int] = None, errors: str = "raise",
                  skipped: Optional[List[Any]] = None) -> Dict[str, Any]:
    """The alarm and system events of the window (of `ids`' alarms, and
    System records); damaged files passed over as for lines()."""
    events = zentrail.events(root, start, end, None if ids is None else sorted(set(ids)), threads=threads,
                             errors=errors)
    columns = events.to_numpy()
    if skipped is not None:
        skipped.extend(events.skipped)
    return columns


def code_label(code: int) -> str:
    return f"{code // 1024}:{code % 1024}"


def _event_labels(events: Dict[str, Any]) -> List[str]:
    labels = []
    for sid, cls, sub, text in zip(events["signal_id"].tolist(), events["class_name"].tolist(),
                                   events["subtype_name"].tolist(), events["text"].tolist()):
        labels.append(f"{sid} {cls} {sub}" + (f" {text}" if text else ""))
    return labels


def bokeh_figure(drawn: Dict[int, Line], events: Dict[str, Any], title: str, width: int, height: int) -> Any:
    """A Bokeh layout: the trends, and the events on the same time axis below."""
    from ._extras import import_extra

    layouts, models, palettes, plotting = (import_extra(name, "drawing trends", "view") for name in (
        "bokeh.layouts", "bokeh.models", "bokeh.palettes", "bokeh.plotting"))
    column, figure, Category10_10 = layouts.column, plotting.figure, palettes.Category10_10
    ColumnDataSource, HoverTool = models.ColumnDataSource, models.HoverTool

    trend = figure(title=title, x_axis_type="datetime", width=width, height=height, name="trend",
                   tools="xpan,xwheel_zoom,box_zoom,reset,save", active_scroll="xwheel_zoom",
                   output_backend="canvas")
    for k, (code, line) in enumerate(drawn.items()):
        source = ColumnDataSource({"time": line["time"], "value": line["value"]}, name=f"data-{code_label(code)}")
        trend.line("time", "value", source=source, color=Category10_10[k % 10], legend_label=code_label(code),
                   name=f"line-{code_label(code)}")
    if drawn:
        trend.legend.location = "top_left"
        trend.legend.click_policy = "hide"
    marks = figure(x_axis_type="datetime", width=width, height=110, x_range=trend.x_range, name="events",
                   tools="xpan,xwheel_zoom,reset", toolbar_location=None, y_axis_label="event id")
    marks.scatter("time", "signal_id", source=ColumnDataSource(
        {"time": events["time"], "signal_id": events["signal_id"], "label": _event_labels(events)},
        name="event-data"), marker="inverted_triangle", size=9, color="firebrick", name="event-marks")
    marks.add_tools(HoverTool(tooltips=[("event", "@label"), ("time", "@time{%F %T.%3N}")],
                              formatters={"@time": "datetime"}))
    return column(trend, marks)


def write_html(path: str, drawn: Dict[int, Line], events: Dict[str, Any], title: str, width: int) -> None:
    """A standalone HTML file with Bokeh's JavaScript inline: it opens with no network."""
    from ._extras import import_extra

    embed = import_extra("bokeh.embed", "writing .html trends", "view")
    resources = import_extra("bokeh.resources", "writing .html trends", "view")
    html = embed.file_html(bokeh_figure(drawn, events, title, width, 420), resources.INLINE, title)
    with open(path, "w", encoding="utf-8") as f:
        f.write(html)


def write_png(path: str, drawn: Dict[int, Line], events: Dict[str, Any], title: str, width: int) -> None:
    """A PNG drawn by matplotlib's own renderer: no browser needed."""
    from ._extras import import_extra

    matplotlib = import_extra("matplotlib", "writing .png trends", "view")
    matplotlib.use("Agg")
    pyplot = import_extra("matplotlib.pyplot", "writing .png trends", "view")
    dpi = 100
    fig, (trend, marks) = pyplot.subplots(2, 1, sharex=True, figsize=(width / dpi, 5.2), dpi=dpi,
                                          gridspec_kw={"height_ratios": [4, 1]})
    try:
        for code, line in drawn.items():
            trend.plot(line["time"], line["value"], linewidth=0.8, label=code_label(code))
        if drawn:
            trend.legend(loc="upper left", fontsize="small")
        trend.set_title(title)
        trend.grid(True, alpha=0.3)
        marks.scatter(events["time"], events["signal_id"], marker="v", color="firebrick", s=18)
        marks.set_ylabel("event id")
        fig.autofmt_xdate()
        fig.tight_layout()
        fig.savefig(path)
    finally:
        pyplot.close(fig)
