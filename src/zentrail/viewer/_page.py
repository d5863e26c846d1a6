"""One browser page of the viewer: its signal list, trend, events and messages.

Bokeh's server keeps the page and Python in step over a websocket: choosing
signals, zooming and panning reach Python, which reads the window's overview
at the plot's pixel width (or the values themselves, when fewer) and the
window's events, and sends only those points back. The event loop serves
every page: what a redraw hands the page is read and built in full on a
read worker (markers capped per pixel column, times in the axis's
milliseconds, the table's rows as text), and the loop only puts it in place.
Whatever fails is said in the page; nothing stale stays drawn.

In a zone the time axis is the zone's wall clock (labelled with it): a view
reads the instants its wall times cover, and draws them back on the wall
clock, the repeated autumn hour as two passes over the same stretch of axis.
"""

from __future__ import annotations

import math
import time
from concurrent.futures import Executor, Future
from functools import partial
from typing import Any, Dict, List, Optional, Tuple

from zentrail._base import time as _time
from zentrail import plot as trends
from zentrail._base.extras import import_extra

from ._catalog import Catalog
from ._live import LiveEdge
from ._reads import LatestRead

# Elements drawn per chosen signal: a group may hold hundreds.
MAX_ELEMENTS = 8
# Event rows listed in the table (the markers cover the whole window).
MAX_EVENT_ROWS = 2000
DEFAULT_PIXELS = 1000
# The narrowest view read: a nanosecond window draws nothing useful.
MIN_SPAN_NS = 1_000_000
# The first chosen code's spells without a row are shaded where they are
# wider than this many pixels, and at least a minute long.
GAP_PIXELS = 3
MIN_GAP_NS = 60 * _time.NS_PER_SECOND
# The live button while the window follows the present, and while it does not.
LIVE_LABEL = "Live"
PAUSED_LABEL = "Back to live"


def bokeh_modules(*names: str) -> List[Any]:
    """Bokeh's modules, typed loosely: its own annotations are not what this
    code is checked against, and it is an optional extra."""
    return [import_extra(name, "zentrail view", "view") for name in names]


def failure_text(error: BaseException) -> str:
    notes = getattr(error, "__notes__", None) or []
    return "; ".join([f"{type(error).__name__}: {error}"] + [str(n) for n in notes])


def view_window(start_ms: float, end_ms: float) -> Tuple[int, int, bool]:
    """The window a view of the axis (ms since 1970) reads, in ns, moved into
    the instants a bound can state; and whether it had to be moved."""
    if not (math.isfinite(start_ms) and math.isfinite(end_ms)):
        raise ValueError(f"the view runs from {start_ms} to {end_ms} ms: not a time")
    # Whole milliseconds, as the axis holds them: a float of ms times 1e6 is off by some ns.
    low, high = sorted((start_ms, end_ms))
    wanted_first, wanted_last = math.floor(low) * 1_000_000, math.ceil(high) * 1_000_000
    first, last = _time.clamp_ns(wanted_first), _time.clamp_ns(wanted_last)
    if last - first < MIN_SPAN_NS:
        if last + MIN_SPAN_NS > _time.LAST_NS:
            first = last - MIN_SPAN_NS
        else:
            last = first + MIN_SPAN_NS
    return first, last, (first, last) != (wanted_first, wanted_last)


def read_window(zone: Optional[_time.Zone], first_ns: int, last_ns: int) -> Tuple[str, str]:
    """The bounds, as texts, that read a view from `first_ns` to `last_ns`
    on the axis: those times themselves without a zone; in a zone the
    instants (with "Z") from the first pass of the first wall time to the
    second pass of the last, so that a view of a repeated hour holds both."""
    if zone is None:
        return _time.instant_text(first_ns), _time.instant_text(last_ns)
    first = _time.clamp_ns(zone.instant_ns(first_ns, fold=0))
    last = _time.clamp_ns(zone.instant_ns(last_ns, fold=1))
    return _time.instant_text(first) + "Z", _time.instant_text(last) + "Z"


class TrendApp:
    """One browser page."""

    def __init__(self, doc: Any, root: str, first_ns: Optional[int], last_ns: Optional[int],
                 threads: Optional[int], catalog: Catalog, executor: Executor, live: bool = False,
                 poll_seconds: float = 1.0, tz: Any = None, zone: Optional[_time.Zone] = None) -> None:
        layouts, models, plotting, validation, warnings = bokeh_modules(
            "bokeh.layouts", "bokeh.models", "bokeh.plotting", "bokeh.core.validation", "bokeh.core.validation.warnings")
        # A page opens with no signal chosen: a trend without lines is expected.
        validation.silence(warnings.MISSING_RENDERERS, True)
        column, row, figure = layouts.column, layouts.row, plotting.figure
        ColumnDataSource, DataTable, Div, HoverTool = (models.ColumnDataSource, models.DataTable, models.Div,
                                                       models.HoverTool)
        Button, Range1d, TableColumn, TextInput = models.Button, models.Range1d, models.TableColumn, models.TextInput
        CheckboxGroup, Toggle = models.CheckboxGroup, models.Toggle

        self.doc = doc
        self.root = root
        self.threads = threads
        # The zone reads are asked in (tz= as zentrail.scan takes it) and the one they use, whose wall clock
        # the time axis is.
        self.tz = tz
        self.zone = zone
        self.catalog = catalog
        self.reads = LatestRead(doc, executor)
        self.pending = False
        self.drawn: Tuple[Any, ...] = ()
        self.events_shown: Optional[Tuple[bytes, bytes, int]] = None
        # The window given on the command line, if any: the data's span fills what it leaves open.
        self.given = (first_ns, last_ns)
        self.live = LiveEdge(live, poll_seconds, zone)
        self.failure = Div(text="", name="failure", styles={"color": "#b00020", "font-weight": "bold"})
        self.notice = Div(text="", name="notice", styles={"color": "#8a5a00"})
        self.status = Div(text="", name="status")
        self.signals: Dict[str, List[Any]] = {"signal_id": [], "name": [], "unit": [], "class_name": [],
                                              "elements": [], "first": [], "last": [], "records": []}
        self.signal_source = ColumnDataSource(dict(self.signals), name="signal-data")
        self.signal_source.selected.on_change("indices", self.on_change)
        self.search = TextInput(placeholder="filter: name, id or class", name="search", width=300)
        self.search.on_change("value_input", self.on_search)
        self.refresh = Button(label="Refresh list", name="refresh", width=75)
        self.refresh.on_click(self.on_refresh)
        # Signals logged on change read true as steps, from the value in
        # force at the view's start.
        self.steps = CheckboxGroup(labels=["steps"], active=[], name="steps")
        self.steps.on_change("active", self.on_change)
        self.table = DataTable(source=self.signal_source, name="signals", width=460, height=420, index_position=None,
                               columns=[TableColumn(field="signal_id", title="id", width=50),
                                        TableColumn(field="name", title="name", width=160),
                                        TableColumn(field="unit", title="unit", width=45),
                                        TableColumn(field="class_name", title="class", width=70),
                                        TableColumn(field="elements", title="elements", width=60),
                                        TableColumn(field="first", title="first", width=150),
                                        TableColumn(field="last", title="last", width=150),
                                        TableColumn(field="records", title="records", width=70)])
        first, last = self.initial_window(None)
        if self.live.on:
            given = None if first_ns is None or last_ns is None else (first_ns / 1e6, last_ns / 1e6)
            first_ms, last_ms = self.live.window(*(given or (None, None)))
            first, last = int(first_ms * 1e6), int(last_ms * 1e6)
        self.live_button = Toggle(label=LIVE_LABEL if self.live.on else PAUSED_LABEL, active=self.live.on, name="live",
                                  width=110)
        self.live_button.on_change("active", self.on_live)
        self.trend = figure(x_axis_type="datetime", width=900, height=380, name="trend",
                            x_range=Range1d(first / 1e6, last / 1e6, name="window"),
                            tools="xpan,xwheel_zoom,box_zoom,reset,save", active_scroll="xwheel_zoom")
        # Every line in one renderer: a redraw costs the same for 1 or 300 codes.
        self.line_source = ColumnDataSource({"xs": [], "ys": [], "code": [], "label": [], "kind": [], "color": []},
                                            name="lines")
        self.trend.multi_line("xs", "ys", source=self.line_source, line_color="color", line_width=1.5, name="trend-lines",
                              legend_field="label")
        # Where the first chosen code logged nothing: a flat stretch of its
        # steps there is no value held but none written.
        self.gap_source = ColumnDataSource({"x0": [], "x1": []}, name="gaps")
        self.trend.vstrip("x0", "x1", source=self.gap_source, fill_color="grey", fill_alpha=0.15, line_alpha=0,
                          name="gap-bands")
        self.trend.legend.location = "top_left"
        self.trend.legend.visible = False  # an empty box until a line is drawn
        self.trend.legend.name = "legend"
        self.trend.yaxis.axis_label = None
        self.trend.xaxis.axis_label = trends.time_label(zone)
        self.trend.add_tools(HoverTool(tooltips=[("signal", "@label"), ("code", "@code"), ("time", "$x{%F %T.%3N}"),
                                                 ("value", "$y")],
                                       formatters={"$x": "datetime"}))
        self.event_source = ColumnDataSource({"time": [], "signal_id": [], "label": []}, name="event-data")
        marks = figure(x_axis_type="datetime", width=900, height=120, x_range=self.trend.x_range, name="events",
                       tools="xpan,xwheel_zoom,reset", y_axis_label="event id")
        marks.scatter("time", "signal_id", source=self.event_source, marker="inverted_triangle", size=9,
                      color="firebrick")
        marks.add_tools(HoverTool(tooltips=[("event", "@label"), ("time", "@time{%F %T.%3N}")],
                                  formatters={"@time": "datetime"}))
        self.event_rows = ColumnDataSource({"time": [], "signal_id": [], "class_name": [], "subtype_name": [],
                                            "detail": [], "text": []}, name="event-rows")
        event_table = DataTable(source=self.event_rows, name="event-table", width=900, height=200,
                                index_position=None,
                                columns=[TableColumn(field="time", title="time", width=190),
                                         TableColumn(field="signal_id", title="id", width=50),
                                         TableColumn(field="class_name", title="class", width=80),
                                         TableColumn(field="subtype_name", title="subtype", width=110),
                                         TableColumn(field="detail", title="detail", width=130),
                                         TableColumn(field="text", title="text", width=300)])
        self.trend.x_range.on_change("start", self.on_window)
        self.trend.x_range.on_change("end", self.on_window)
        self.trend.on_change("inner_width", self.on_change)
        title = Div(text=f"<b>zentrail</b> &mdash; {root}")
        doc.title = "zentrail view"
        doc.add_root(column(title, self.failure, self.notice,
                            row(column(row(self.search, self.refresh), self.table),
                                column(row(self.live_button, self.status, self.steps), self.trend, marks,
                                       event_table))))
        self.awaiting_span = not self.live.on  # a live page stays at the present
        doc.add_periodic_callback(self.on_poll, max(int(poll_seconds * 1000), 100))
        self.watch(catalog.current())

    def initial_window(self, span: Optional[Tuple[Optional[int], Optional[int]]]) -> Tuple[int, int]:
        first, last = self.given
        if span is not None:
            first = span[0] if first is None else first
            last = span[1] if last is None else last
        if first is None and last is None:
            last = (int(time.time()) // 86400 + 1) * _time.NS_PER_DAY
        if first is None:
            first = max(_time.FIRST_NS, last - _time.NS_PER_DAY)  # type: ignore[operator]
        if last is None or last <= first:
            last = min(_time.LAST_NS, first + _time.NS_PER_DAY)
        return first, last

    # The signal list, from the server's catalog.

    def watch(self, future: Future[Dict[str, Any]]) -> None:
        if future.done():
            self.show_catalog(future)
        else:
            self.status.text = "Reading the archive's signal list..."
            future.add_done_callback(lambda done: self.doc.add_next_tick_callback(partial(self.show_catalog, done)))

    def show_catalog(self, future: Future[Dict[str, Any]]) -> None:
        error = future.exception()
        if error is not None:
            self.failure.text = f"Reading the archive's signal list failed: {failure_text(error)}"
            self.status.text = "No signal list: see the failure above (Refresh list reads it again)."
            return
        listing = future.result()
        self.signals = listing["signals"]
        self.apply_filter()
        if self.awaiting_span:
            self.awaiting_span = False
            first, last = self.initial_window((listing["first_ns"], listing["last_ns"]))
            self.trend.x_range.update(start=first / 1e6, end=last / 1e6)
        self.failure.text = ""
        self.schedule()

    def on_refresh(self) -> None:
        self.watch(self.catalog.refresh())

    def on_search(self, attr: str, old: Any, new: Any) -> None:
        self.apply_filter()

    def apply_filter(self) -> None:
        text = (self.search.value_input or "").strip().lower()
        keep = [k for k in range(len(self.signals["signal_id"]))
                if not text or text in str(self.signals["signal_id"][k]) or text in self.signals["class_name"][k].lower()
                or text in self.signals["name"][k].lower()]
        self.signal_source.selected.indices = []
        self.signal_source.data = {name: [values[k] for k in keep] for name, values in self.signals.items()}

    # The trend.

    def chosen(self) -> Tuple[List[int], List[int]]:
        """The codes of the chosen rows (the first elements of each signal)
        and their ids, whose events are marked: a row of alarms alone has no
        element to draw."""
        codes: List[int] = []
        ids: List[int] = []
        data = self.signal_source.data
        for k in self.signal_source.selected.indices:
            if 0 <= k < len(data["signal_id"]):
                sid, elements = int(data["signal_id"][k]), int(data["elements"][k])
                ids.append(sid)
                codes.extend(sid * 1024 + n for n in range(min(elements, MAX_ELEMENTS)))
        return sorted(set(codes)), sorted(set(ids))

    def pixels(self) -> int:
        """The plot's width in pixels, once the page has laid it out. The
        frame narrows and widens by a few pixels as the value axis's labels
        change with the lines drawn: a width within a tenth of the one last
        read keeps that one, rather than reading everything again for it."""
        try:
            width = int(self.trend.inner_width or 0) or DEFAULT_PIXELS
        except Exception:  # Bokeh's UnsetValueError: not laid out yet
            width = DEFAULT_PIXELS
        if self.drawn and abs(width - self.drawn[2]) <= width // 10:
            return int(self.drawn[2])
        return width

    def on_change(self, attr: str, old: Any, new: Any) -> None:
        self.schedule()

    # Live mode (see _live).

    def on_window(self, attr: str, old: Any, new: Any) -> None:
        start, end = self.trend.x_range.start, self.trend.x_range.end
        if self.live.on and self.live.moved_by_user(start, end) and self.live.leaves(end):
            self.live.on = False
            self.live_button.update(active=False, label=PAUSED_LABEL)
        self.schedule()

    def on_live(self, attr: str, old: Any, new: Any) -> None:
        self.live.on = bool(new)
        self.live_button.label = LIVE_LABEL if self.live.on else PAUSED_LABEL
        if self.live.on:
            self.on_poll()

    def on_poll(self) -> None:
        if not self.live.on:
            return
        start, end = self.live.window(self.trend.x_range.start, self.trend.x_range.end)
        self.trend.x_range.update(start=start, end=end)

    def schedule(self) -> None:
        # A pan sends many small range changes: they are drawn once, after
        # the ones already queued have arrived.
        if not self.pending:
            self.pending = True
            self.doc.add_next_tick_callback(self.redraw)

    def redraw(self) -> None:
        self.pending = False
        try:
            first_ns, last_ns, moved = view_window(self.trend.x_range.start, self.trend.x_range.end)
            if moved:
                self.notice.text = ("The view reached past what times can name (the years 1 to 9999): "
                                    f"it shows {_time.instant_text(first_ns)[:19]} to {_time.instant_text(last_ns)[:19]}.")
                self.trend.x_range.update(start=first_ns / 1e6, end=last_ns / 1e6)
            elif self.notice.text:
                self.notice.text = ""
            codes, ids = self.chosen()
            wanted = (first_ns, last_ns, self.pixels(), tuple(codes), bool(self.steps.active), tuple(ids))
            if wanted == self.drawn:
                return
            self.drawn = wanted
            self.status.text = "Reading..."
            self.reads.request(partial(self.read, *wanted), partial(self.show, wanted))
        except Exception as error:  # said in the page, not only on the server's console
            self.show_failure("Drawing the view failed", error)

    def read(self, first_ns: int, last_ns: int, pixels: int, codes: Tuple[int, ...], steps: bool = False,
             ids: Tuple[int, ...] = ()) -> Dict[str, Any]:
        """What the page shows of a window, read and laid out on a worker
        thread, down to the columns the page's sources take as they are."""
        import numpy

        began = time.perf_counter()
        start, end = read_window(self.zone, first_ns, last_ns)
        drawn = trends.lines(self.root, start, end, list(codes), pixels, threads=self.threads,
                             steps=steps, tz=self.tz) if codes else {}
        events = trends.window_events(self.root, start, end, set(ids) | {c // 1024 for c in codes},
                                      threads=self.threads, tz=self.tz)
        bands = self.gap_bands(first_ns, last_ns, codes[0], max(GAP_PIXELS * (last_ns - first_ns) // max(pixels, 1),
                                                                MIN_GAP_NS)) if codes else {"x0": [], "x1": []}
        # Times as the axis holds them: instants read in a zone on its wall clock.
        shown_at = events["time"] if self.zone is None else self.zone.wall_times(events["time"])
        marked = trends.marker_rows(dict(events, time=shown_at), first_ns, last_ns, pixels)
        palette = bokeh_modules("bokeh.palettes")[0].Category10_10
        points = [(line["time"], line["value"]) if self.zone is None else
                  trends.on_wall_clock(line["time"], line["value"], self.zone) for line in drawn.values()]
        lines = {"xs": [times.astype(numpy.int64) / 1e6 for times, _ in points],
                 "ys": [values for _, values in points],
                 "code": [trends.code_label(code) for code in drawn],
                 "label": [line["label"] for line in drawn.values()],
                 "kind": [line["kind"] for line in drawn.values()],
                 "color": [palette[codes.index(code) % 10] for code in drawn]}
        shown = slice(0, MAX_EVENT_ROWS)
        system = int((events["item_class"] == trends.SYSTEM_CLASS).sum())
        markers = {"time": shown_at[marked].astype(numpy.int64) / 1e6, "signal_id": events["signal_id"][marked],
                   "label": trends.event_labels(events, marked)}
        window = f"{_time.instant_text(first_ns)[:19]} to {_time.instant_text(last_ns)[:19]}" + (
            f" ({self.zone.name})" if self.zone is not None else "")
        return {
            "start": start, "end": end, "window": window, "lines": lines, "units": trends.axis_label(drawn),
            "markers": markers, "gaps": bands,
            # What tells one window's events from another's: the page's own
            # markers and table are redrawn only when it changes.
            "events_key": (markers["time"].tobytes(), markers["signal_id"].tobytes(), len(events["time"])),
            "rows": {"time": _time.texts(events["time"][shown], self.zone).tolist(),
                     "signal_id": events["signal_id"][shown].tolist(),
                     "class_name": list(events["class_name"][shown]),
                     "subtype_name": list(events["subtype_name"][shown]),
                     "detail": list(events["detail"][shown]),
                     "text": ["" if t is None else t for t in events["text"][shown]]},
            "events": len(events["time"]), "system": system, "marked": len(marked),
            "points": sum(len(line["time"]) for line in drawn.values()), "codes": len(codes),
            "seconds": time.perf_counter() - began,
        }

    def gap_bands(self, first_ns: int, last_ns: int, code: int, shortest: int) -> Dict[str, Any]:
        """The spells longer than ``shortest`` (ns) in which ``code`` logged
        nothing within the view (its wall times), as bands on the axis (ms):
        of the part of the view whose instants a datetime64[ns] holds."""
        import numpy

        import zentrail

        held = numpy.iinfo(numpy.int64)
        start, end = read_window(self.zone, max(first_ns, held.min + 2 * _time.NS_PER_DAY),
                                 min(last_ns, held.max - 2 * _time.NS_PER_DAY))
        found = zentrail.gaps(self.root, start, end, [code], min_gap=_time.duration_text(shortest),
                              threads=self.threads, tz=self.tz).to_numpy()
        x0, x1 = found["start"], found["end"]
        if self.zone is not None:
            x0, x1 = self.zone.wall_times(x0), self.zone.wall_times(x1)
        return {"x0": x0.astype(numpy.int64) / 1e6, "x1": x1.astype(numpy.int64) / 1e6}

    def show(self, wanted: Tuple[Any, ...], result: Optional[Dict[str, Any]], error: Optional[BaseException]) -> None:
        if error is not None or result is None:
            start, end = (_time.instant_text(ns)[:19] for ns in wanted[:2])
            self.show_failure(f"Reading the window {start} to {end} failed", error)
            return
        self.failure.text = ""
        lines = result["lines"]
        self.line_source.data = lines
        self.gap_source.data = result["gaps"]
        self.trend.legend.visible = bool(lines["code"])
        if (self.trend.yaxis.axis_label or "") != result["units"]:
            self.trend.yaxis.axis_label = result["units"] or None
        # What was read, for whoever checks the page against the engine.
        self.line_source.tags = [result["start"], result["end"], wanted[2], wanted[4]]
        # Choosing a signal without alarms leaves the window's events as they
        # were: the browser is spared redrawing the markers and the table.
        if result["events_key"] != self.events_shown:
            self.event_source.data = result["markers"]
            self.event_rows.data = result["rows"]
            self.events_shown = result["events_key"]
        kinds = " and ".join(sorted(set(lines["kind"]))) or "nothing"
        system = result["system"]
        alarms = result["events"] - system
        said = (f"{result['events']:,} events ({alarms:,} alarms, {system:,} System; marked once per pixel column "
                f"and id: {result['marked']:,} markers)") if result["events"] > result["marked"] \
            else f"{result['events']:,} events"
        self.status.text = (f"{result['window']}: {len(lines['code'])} of "
                            f"{result['codes']} chosen codes drawn ({kinds}; {result['points']:,} points at "
                            f"{wanted[2]} px), {said}, read in {result['seconds']:.2f} s")

    def show_failure(self, what: str, error: Optional[BaseException]) -> None:
        self.failure.text = f"{what}: {failure_text(error) if error is not None else 'no result'}"
        self.line_source.data = {"xs": [], "ys": [], "code": [], "label": [], "kind": [], "color": []}
        self.gap_source.data = {"x0": [], "x1": []}
        self.event_source.data = {"time": [], "signal_id": [], "label": []}
        self.event_rows.data = {name: [] for name in self.event_rows.data}
        self.events_shown = None
        self.status.text = "Nothing drawn: see the failure above."
        # The same view asked again reads again (the archive may have been mended).
        self.drawn = ()
