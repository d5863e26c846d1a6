"""The files of `zentrail plot`: a standalone .html (Bokeh, its JavaScript
inline) or a .png (matplotlib), each written beside its target and renamed
over it once complete, so that a failed or interrupted plot leaves no half
file under the name asked for.

Lines and events read in a zone (instants) are drawn on its wall clock, the
time axis labelled with it (see on_wall_clock)."""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

from zentrail._base.atomic import replacing
from zentrail._base.extras import import_extra

from ._events import event_labels
from ._lines import Line, axis_label, code_label, on_wall_clock, time_label


def drawn_times(line: Line, zone: Any) -> Tuple[Any, Any]:
    """A line's times and values as drawn: on the zone's wall clock, if any."""
    if zone is None:
        return line["time"], line["value"]
    return on_wall_clock(line["time"], line["value"], zone)


def event_times(events: Dict[str, Any], zone: Any) -> Any:
    return events["time"] if zone is None else zone.wall_times(events["time"])


def bokeh_figure(drawn: Dict[int, Line], events: Dict[str, Any], title: str, width: int, height: int,
                 zone: Optional[Any] = None) -> Any:
    """A Bokeh layout: the trends, and the events on the same time axis
    below, on the wall clock of `zone` (the zone the times were read in)."""
    layouts, models, palettes, plotting = (import_extra(name, "drawing trends", "view") for name in (
        "bokeh.layouts", "bokeh.models", "bokeh.palettes", "bokeh.plotting"))
    column, figure, Category10_10 = layouts.column, plotting.figure, palettes.Category10_10
    ColumnDataSource, HoverTool = models.ColumnDataSource, models.HoverTool

    trend = figure(title=title, x_axis_type="datetime", width=width, height=height, name="trend",
                   tools="xpan,xwheel_zoom,box_zoom,reset,save", active_scroll="xwheel_zoom",
                   output_backend="canvas")
    for k, (code, line) in enumerate(drawn.items()):
        times, values = drawn_times(line, zone)
        source = ColumnDataSource({"time": times, "value": values}, name=f"data-{code_label(code)}")
        trend.line("time", "value", source=source, color=Category10_10[k % 10],
                   legend_label=line.get("label", code_label(code)), name=f"line-{code_label(code)}")
    trend.yaxis.axis_label = axis_label(drawn) or None
    trend.xaxis.axis_label = time_label(zone)
    if drawn:
        trend.legend.location = "top_left"
        trend.legend.click_policy = "hide"
    marks = figure(x_axis_type="datetime", width=width, height=110, x_range=trend.x_range, name="events",
                   tools="xpan,xwheel_zoom,reset", toolbar_location=None, y_axis_label="event id")
    marks.scatter("time", "signal_id", source=ColumnDataSource(
        {"time": event_times(events, zone), "signal_id": events["signal_id"], "label": event_labels(events)},
        name="event-data"), marker="inverted_triangle", size=9, color="firebrick", name="event-marks")
    marks.add_tools(HoverTool(tooltips=[("event", "@label"), ("time", "@time{%F %T.%3N}")],
                              formatters={"@time": "datetime"}))
    return column(trend, marks)


def write_html(path: str, drawn: Dict[int, Line], events: Dict[str, Any], title: str, width: int,
               zone: Optional[Any] = None) -> None:
    """A standalone HTML file with Bokeh's JavaScript inline: it opens with no network."""
    embed = import_extra("bokeh.embed", "writing .html trends", "view")
    resources = import_extra("bokeh.resources", "writing .html trends", "view")
    html = embed.file_html(bokeh_figure(drawn, events, title, width, 420, zone), resources.INLINE, title)
    with replacing(path) as temporary:
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(html)


def write_png(path: str, drawn: Dict[int, Line], events: Dict[str, Any], title: str, width: int,
              zone: Optional[Any] = None) -> None:
    """A PNG drawn by matplotlib's own renderer: no browser needed."""
    matplotlib = import_extra("matplotlib", "writing .png trends", "view")
    matplotlib.use("Agg")
    pyplot = import_extra("matplotlib.pyplot", "writing .png trends", "view")
    dpi = 100
    fig, (trend, marks) = pyplot.subplots(2, 1, sharex=True, figsize=(width / dpi, 5.2), dpi=dpi,
                                          gridspec_kw={"height_ratios": [4, 1]})
    try:
        for code, line in drawn.items():
            trend.plot(*drawn_times(line, zone), linewidth=0.8, label=line.get("label", code_label(code)))
        if axis_label(drawn):
            trend.set_ylabel(axis_label(drawn))
        if drawn:
            trend.legend(loc="upper left", fontsize="small")
        trend.set_title(title)
        trend.grid(True, alpha=0.3)
        marks.scatter(event_times(events, zone), events["signal_id"], marker="v", color="firebrick", s=18)
        marks.set_ylabel("event id")
        if zone is not None:
            marks.set_xlabel(time_label(zone))
        fig.autofmt_xdate()
        fig.tight_layout()
        with replacing(path) as temporary:
            fig.savefig(temporary, format="png")
    finally:
        pyplot.close(fig)
