"""AlarmReport.to_html: the report as one page an engineer can mail or
archive: Bokeh's scripts inline (it opens with no network), three plots
above the text of the figures and their benchmarks."""

from __future__ import annotations

from zentrail._base.atomic import replacing
from zentrail._base.extras import import_extra

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict


def _wall(starts: Any, zone: Any) -> Any:
    """Instants (int64 ns) as the datetimes a time axis shows: wall times of
    the zone read in (the archive's own clock), or as they are."""
    import numpy

    values = numpy.asarray(starts, dtype=numpy.int64).view("datetime64[ns]")
    if zone is not None:
        values = values + zone.offsets_ns(values).astype("timedelta64[ns]")
    return values


def _figures(figures: Dict[str, Any], series: Dict[str, Any]) -> Any:
    plotting = import_extra("bokeh.plotting", "AlarmReport.to_html()", "view")
    models = import_extra("bokeh.models", "AlarmReport.to_html()", "view")
    layouts = import_extra("bokeh.layouts", "AlarmReport.to_html()", "view")
    transform = import_extra("bokeh.transform", "AlarmReport.to_html()", "view")
    import numpy

    parameters = figures["parameters"]
    zone = series["zone"]
    # The alarm rate per window over the span, with the flood line.
    starts = _wall(series["bin_starts"], zone)
    width_ms = float(numpy.diff(series["bin_starts"][:2])[0]) / 1e6 if len(starts) > 1 else 1.0
    rate = plotting.figure(title=f"Alarms per {parameters['window']}", x_axis_type="datetime", width=1000,
                           height=320, tools="xpan,xwheel_zoom,box_zoom,reset,save", name="rate",
                           x_axis_label=None if zone is None else f"local time ({zone.name})",
                           y_axis_label="alarms")
    source = models.ColumnDataSource({"start": starts + numpy.timedelta64(int(width_ms * 5e5), "ns"),
                                      "count": series["per_window"]}, name="rate-data")
    rate.vbar(x="start", top="count", width=width_ms, source=source, color="steelblue", name="rate-bars")
    rate.add_layout(models.Span(location=parameters["flood"], dimension="width", line_color="firebrick",
                                line_dash="dashed", line_width=2, name="flood-line"))
    rate.add_tools(models.HoverTool(tooltips=[("from", "@start{%F %T}"), ("alarms", "@count")],
                                    formatters={"@start": "datetime"}))

    # The Pareto chart of the most frequent alarms: counts and running share.
    top = figures["top"]["alarms"]
    labels = [f"{a['name'] or a['signal_id']} {a['level']}" for a in top]
    labels = [f"{k + 1}. {label}" for k, label in enumerate(labels)]  # distinct, in rank order
    count = figures["count"] or 1
    pareto = plotting.figure(title=f"The {len(top)} most frequent alarms", x_range=labels or [""], width=1000,
                             height=340, tools="save", name="pareto", y_axis_label="alarms")
    pareto.vbar(x=labels, top=[a["count"] for a in top], width=0.8, color="darkorange", name="pareto-bars")
    pareto.extra_y_ranges = {"share": models.Range1d(0, 100)}
    pareto.add_layout(models.LinearAxis(y_range_name="share", axis_label="running share of all alarms (%)"), "right")
    running = list(numpy.cumsum([a["count"] for a in top]) * 100.0 / count)
    pareto.line(x=labels, y=running, y_range_name="share", color="black", line_width=2, name="pareto-share")
    pareto.scatter(x=labels, y=running, y_range_name="share", color="black", size=6)
    pareto.xaxis.major_label_orientation = 0.8

    # Time to acknowledge per level: its median and 90th percentile.
    levels = [level for level, found in figures["acknowledge"].items() if found["acknowledged"]]
    delays = plotting.figure(title="Time to acknowledge per level (minutes)", x_range=levels or [""], width=1000,
                             height=320, tools="save", name="acknowledge", y_axis_label="minutes")
    for field, shift, color, label in (("median_s", -0.2, "steelblue", "median"), ("p90_s", 0.2, "firebrick", "90%")):
        delays.vbar(x=transform.dodge("level", shift, range=delays.x_range), top="minutes", width=0.35, color=color,
                    legend_label=label, source=models.ColumnDataSource(
                        {"level": levels, "minutes": [figures["acknowledge"][level][field] / 60 for level in levels]}))
    return layouts.column(rate, pareto, delays)


def page(figures: Dict[str, Any], series: Dict[str, Any], text: str) -> str:
    """The page's HTML: a heading, the plots, then the text of the report,
    put in by the blocks of Bokeh's own page template (the inline scripts
    hold texts such as "<body>", so the page is never edited as a string)."""
    embed = import_extra("bokeh.embed", "AlarmReport.to_html()", "view")
    resources = import_extra("bokeh.resources", "AlarmReport.to_html()", "view")
    window = figures["window"]
    title = f"Alarm report {window['start']} to {window['end']}"
    return embed.file_html(_figures(figures, series), resources.INLINE, title, template=_TEMPLATE,
                           template_variables={"heading": title, "report": text})


# A margin, a heading and the report's text set off from the plots: the page
# is read on its own, mailed or archived, not inside an application. Jinja
# escapes both texts.
_TEMPLATE = """{% block postamble %}<style>
body { margin: 16px 24px; font-family: system-ui, sans-serif; }
h1 { font-size: 1.3em; font-weight: 600; }
#report { margin-top: 24px; padding: 12px 16px; background: #f6f6f6; border-left: 3px solid #4682b4; }
</style>{% endblock %}
{% block contents %}<h1>{{ heading | e }}</h1>
{{ super() }}
<pre id="report">{{ report | e }}</pre>{% endblock %}"""


def write(figures: Dict[str, Any], series: Dict[str, Any], text: str, path: Any) -> None:
    """Writes the page to `path` whole or not at all."""
    import os

    content = page(figures, series, text)
    with replacing(os.fspath(path)) as temporary:
        with open(temporary, "w", encoding="utf-8") as file:
            file.write(content)
