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

import contextlib
import html
import math
import threading
import time
from concurrent.futures import Executor, Future
from functools import partial
from typing import Any, Dict, Iterator, List, Optional, Tuple

from zentrail._base import time as _time
from zentrail import plot as trends
from zentrail._base.extras import import_extra

from . import _panes
from ._catalog import Catalog
from ._live import LiveEdge
from ._reads import LatestRead

# Elements drawn per chosen signal (a group may hold hundreds; its
# elements' own rows choose any of them), and codes drawn in all.
MAX_ELEMENTS = 16
MAX_CODES = 64
# Alarms listed in the table (the markers cover the whole window), and what it says of each.
MAX_EVENT_ROWS = 2000
EPISODE_COLUMNS = ("raised", "name", "level", "value", "acknowledged", "cleared", "text")
DEFAULT_PIXELS = 1000
# The narrowest view read: a nanosecond window draws nothing useful.
MIN_SPAN_NS = 1_000_000
# The first chosen code's spells without a row are shaded where they are
# wider than this many pixels, and at least a minute long.
GAP_PIXELS = 3
MIN_GAP_NS = 60 * _time.NS_PER_SECOND
# How long a read waits for the page to send its lines before it reads the
# alarms (seconds): a page that has closed never does.
LINES_SENT_WAIT = 5.0
# The page's layout, in pixels: the signal list's width, a pane's height
# (smaller when there are more than two), a state's row, the legends' width
# beside the panes, and the room left of every frame for the value axis, the
# same in every pane so that their time axes line up.
LIST_WIDTH = 420
PANE_HEIGHT = 300
SMALL_PANE_HEIGHT = 210
STATE_ROW = 22
STATE_MIN = 140
LEGEND_WIDTH = 170
FRAME_LEFT = 100
LANE_ROW = 18
LANE_MIN = 110
LANE_MAX = 420
# The live button while the window follows the present, and while it does not.
LIVE_LABEL = "Live"
PAUSED_LABEL = "Back to live"


def bokeh_modules(*names: str) -> List[Any]:
    """Bokeh's modules, typed loosely: its own annotations are not what this
    code is checked against, and it is an optional extra."""
    return [import_extra(name, "zentrail view", "view") for name in names]


@contextlib.contextmanager
def held(doc: Any) -> Iterator[None]:
    """The page's changes of a block sent to the browser together, once:
    it lays the page out and paints once rather than per change."""
    doc.hold("combine")
    try:
        yield
    finally:
        doc.unhold()


def say(div: Any, text: str) -> None:
    """A message in the page, its room taken only while it says something."""
    div.update(text=text, visible=bool(text))


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


class Pane:
    """One pane of the trend: a figure on the shared time axis with its
    lines in one renderer (a redraw costs the same for 1 or 30 codes), the
    alarm markers on them, and its legend beside it."""

    def __init__(self, key: str, axis: str, x_range: Any, gaps: Any, zone: Optional[_time.Zone]) -> None:
        layouts, models, plotting = bokeh_modules("bokeh.layouts", "bokeh.models", "bokeh.plotting")
        self.key = key
        self.source = models.ColumnDataSource({"xs": [], "ys": [], "code": [], "label": [], "kind": [], "color": []},
                                              name=f"lines:{key}")
        self.marks = models.ColumnDataSource({"x": [], "y": [], "label": [], "color": []}, name=f"marks:{key}")
        self.figure = plotting.figure(
            x_axis_type="datetime", height=PANE_HEIGHT, sizing_mode="stretch_width", x_range=x_range,
            name=f"pane:{key}", tools="xpan,xwheel_zoom,box_zoom,reset,save", active_scroll="xwheel_zoom",
            min_border_left=FRAME_LEFT, y_axis_label=axis)
        # The first chosen code's spells without a row, shaded in every pane as in the alarm lane.
        self.figure.vstrip("x0", "x1", source=gaps, fill_color="grey", fill_alpha=0.15, line_alpha=0)
        lines = self.figure.multi_line("xs", "ys", source=self.source, line_color="color", line_width=1.5)
        marks = self.figure.scatter("x", "y", source=self.marks, marker="inverted_triangle", size=10,
                                    color="color", line_color="white")
        self.figure.add_tools(
            models.HoverTool(renderers=[lines], tooltips=[("signal", "@label"), ("time", "$x{%F %T}")] + (
                [] if key == _panes.STATES else [("value", "$y")]), formatters={"$x": "datetime"}),
            models.HoverTool(renderers=[marks], tooltips=[("alarm", "@label"), ("raised", "$x{%F %T}")],
                             formatters={"$x": "datetime"}))
        self.figure.xaxis.axis_label = trends.time_label(zone)
        self.legend = models.Div(text="", name=f"legend:{key}", width=LEGEND_WIDTH, height=PANE_HEIGHT,
                                 styles={"overflow-y": "auto", "overflow-x": "hidden"})
        self.row = layouts.row(self.figure, self.legend, sizing_mode="stretch_width")

    def clear(self) -> None:
        self.source.data = {"xs": [], "ys": [], "code": [], "label": [], "kind": [], "color": []}
        self.marks.data = {"x": [], "y": [], "label": [], "color": []}
        self.legend.text = ""

    def show(self, drawn: Dict[str, Any], height: int, last: bool) -> None:
        self.source.data = drawn["lines"]
        self.legend.text = drawn["legend"]
        self.figure.height = self.legend.height = height
        # The time axis's labels once, under the lowest pane.
        self.figure.xaxis.visible = last
        if "ticks" in drawn:
            models = bokeh_modules("bokeh.models")[0]
            rows = len(drawn["ticks"])
            middles = [k + _panes.ROW_HEIGHT / 2 for k in range(rows)]
            # A row per state, named on the axis at its middle.
            if isinstance(self.figure.y_range, models.Range1d):
                self.figure.y_range.update(start=-0.3, end=rows - 0.1)
                self.figure.yaxis.ticker.ticks = middles
            else:
                self.figure.y_range = models.Range1d(-0.3, rows - 0.1)
                self.figure.yaxis.ticker = models.FixedTicker(ticks=middles)
            self.figure.yaxis.major_label_overrides = dict(zip(middles, drawn["ticks"]))


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
        self.executor = executor
        self.reads = LatestRead(doc, executor)
        self.pending = False
        self.polling = False
        self.drawn: Tuple[Any, ...] = ()
        self.events_shown: Optional[Tuple[bytes, bytes, int]] = None
        # Of the catalog: each code's (kind, unit), the alarms watching each name, the ids of alarms.
        self.kinds: Dict[int, Tuple[str, Optional[str]]] = {}
        self.watching: Dict[str, List[int]] = {}
        # The window given on the command line, if any: the data's span fills what it leaves open.
        self.given = (first_ns, last_ns)
        self.live = LiveEdge(live, poll_seconds, zone)
        self.failure = Div(text="", name="failure", visible=False, sizing_mode="stretch_width",
                           styles={"color": "#b00020", "font-weight": "bold"})
        self.notice = Div(text="", name="notice", visible=False, sizing_mode="stretch_width",
                          styles={"color": "#8a5a00"})
        self.beyond = Div(text="", name="beyond", visible=False, sizing_mode="stretch_width",
                          styles={"color": "#0b5394", "font-weight": "bold"})
        self.status = Div(text="", name="status", sizing_mode="stretch_width")
        self.signals: Dict[str, List[Any]] = {"key": [], "signal_id": [], "element": [], "name": [], "unit": [],
                                              "class_name": [], "elements": [], "last": [], "records": []}
        self.signal_source = ColumnDataSource(dict(self.signals), name="signal-data")
        self.signal_source.selected.on_change("indices", self.on_change)
        self.search = TextInput(placeholder="filter: name, id or class", name="search", width=LIST_WIDTH - 95)
        self.search.on_change("value_input", self.on_search)
        self.refresh = Button(label="Refresh list", name="refresh", width=85)
        self.refresh.on_click(self.on_refresh)
        # Every line drawn as steps (the catalog's held codes always are),
        # from the value in force at the view's start.
        self.steps = CheckboxGroup(labels=["all as steps"], active=[], name="steps", inline=True)
        self.steps.on_change("active", self.on_change)
        self.table = DataTable(source=self.signal_source, name="signals", width=LIST_WIDTH, height=620,
                               index_position=None, autosize_mode="none",
                               columns=[TableColumn(field="name", title="name", width=128),
                                        TableColumn(field="unit", title="unit", width=44),
                                        TableColumn(field="class_name", title="class", width=62),
                                        TableColumn(field="key", title="id", width=48),
                                        TableColumn(field="last", title="last record", width=112)])
        first, last = self.initial_window(None)
        if self.live.on:
            given = None if first_ns is None or last_ns is None else (first_ns / 1e6, last_ns / 1e6)
            first_ms, last_ms = self.live.window(*(given or (None, None)))
            first, last = int(first_ms * 1e6), int(last_ms * 1e6)
        # Only a live page can go back to live.
        self.live_button = Toggle(label=LIVE_LABEL if self.live.on else PAUSED_LABEL, active=self.live.on, name="live",
                                  width=110, visible=live)
        self.live_button.on_change("active", self.on_live)
        self.window = Range1d(first / 1e6, last / 1e6, name="window")
        self.panes: Dict[str, Pane] = {}
        self.empty = Div(text="<i>Choose signals or single elements in the list: each unit is drawn in a pane of "
                              "its own, on/off states as rows of one pane.</i>", name="no-panes",
                         sizing_mode="stretch_width")
        self.pane_column = column(self.empty, name="panes", sizing_mode="stretch_width")
        # Where the first chosen code logged nothing: a flat stretch of its
        # steps there is no value held but none written.
        self.gap_source = ColumnDataSource({"x0": [], "x1": []}, name="gaps")
        # The alarm lane: a row per alarm, named by the signal it watches, and one for System.
        self.event_source = ColumnDataSource({"time": [], "row": [], "label": [], "color": [], "raised": [],
                                              "acknowledged": [], "cleared": []}, name="event-data")
        self.lane = figure(x_axis_type="datetime", height=LANE_MIN, sizing_mode="stretch_width", name="alarm-lane",
                           x_range=self.window, y_range=models.FactorRange(), tools="xpan,xwheel_zoom,reset",
                           active_scroll="xwheel_zoom", min_border_left=FRAME_LEFT, title="alarms")
        self.lane.vstrip("x0", "x1", source=self.gap_source, fill_color="grey", fill_alpha=0.15, line_alpha=0,
                         name="gap-bands")
        lane_marks = self.lane.scatter("time", "row", source=self.event_source, marker="inverted_triangle", size=10,
                                       color="color", line_color="white")
        self.lane.add_tools(HoverTool(renderers=[lane_marks], tooltips=[
            ("", "@label"), ("raised", "@raised"), ("acknowledged", "@acknowledged"), ("cleared", "@cleared")]))
        self.lane.xaxis.axis_label = trends.time_label(zone)
        key = "".join(f'<div><span style="color:{_panes.level_color(level.split()[0])}">&#9660;</span> '
                      f'{html.escape(level)}</div>' for level in ("HiHi / LoLo", "Hi / Lo", "L->H", "H->L", "other"))
        lane_key = Div(text=f'<div style="font-size:12px">{key}</div>', width=LEGEND_WIDTH)
        self.report = Div(text="", name="alarm-report", sizing_mode="stretch_width",
                          styles={"overflow": "auto", "max-height": "320px"})
        # The window's alarms, one a row (the first MAX_EVENT_ROWS).
        self.event_rows = ColumnDataSource({name: [] for name in EPISODE_COLUMNS}, name="event-rows")
        event_table = DataTable(source=self.event_rows, name="event-table", sizing_mode="stretch_width", height=200,
                                index_position=None, autosize_mode="force_fit",
                                columns=[TableColumn(field="raised", title="raised", width=160),
                                         TableColumn(field="name", title="alarm", width=100),
                                         TableColumn(field="level", title="level", width=45),
                                         TableColumn(field="value", title="value", width=45),
                                         TableColumn(field="acknowledged", title="acknowledged", width=160),
                                         TableColumn(field="cleared", title="cleared", width=160),
                                         TableColumn(field="text", title="text", width=90)])
        self.window.on_change("start", self.on_window)
        self.window.on_change("end", self.on_window)
        self.lane.on_change("inner_width", self.on_change)
        title = Div(text=f"<b>zentrail</b> &mdash; {html.escape(root)}", sizing_mode="stretch_width")
        doc.title = "zentrail view"
        listing = column(row(self.search, self.refresh), self.table, width=LIST_WIDTH)
        trend = column(row(self.live_button, self.steps), self.status, self.beyond, self.pane_column,
                       row(self.lane, lane_key, sizing_mode="stretch_width"), self.report, event_table,
                       sizing_mode="stretch_width")
        doc.add_root(column(title, self.failure, self.notice, row(listing, trend, sizing_mode="stretch_width"),
                            sizing_mode="stretch_width", name="page"))
        self.awaiting_span = not self.live.on  # a live page stays at the newest data
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
            say(self.failure, f"Reading the archive's signal list failed: {failure_text(error)}")
            self.status.text = "No signal list: see the failure above (Refresh list reads it again)."
            return
        listing = future.result()
        self.signals = listing["signals"]
        self.kinds, self.watching = listing["codes"], listing["alarms"]
        self.apply_filter()
        if self.awaiting_span:
            self.awaiting_span = False
            first, last = self.initial_window((listing["first_ns"], listing["last_ns"]))
            self.window.update(start=first / 1e6, end=last / 1e6)
        say(self.failure, "")
        self.schedule()

    def on_refresh(self) -> None:
        self.watch(self.catalog.refresh())

    def on_search(self, attr: str, old: Any, new: Any) -> None:
        self.apply_filter()

    def apply_filter(self) -> None:
        text = (self.search.value_input or "").strip().lower()
        keep = [k for k in range(len(self.signals["key"]))
                if not text or text in self.signals["key"][k] or text in self.signals["class_name"][k].lower()
                or text in self.signals["name"][k].lower()]
        self.signal_source.selected.indices = []
        self.signal_source.data = {name: [values[k] for k in keep] for name, values in self.signals.items()}

    # The trend.

    def chosen(self) -> Tuple[List[int], List[int]]:
        """The codes of the chosen rows (a signal's first elements, up to
        MAX_ELEMENTS; an element's row, that element) in the order chosen,
        and their ids, whose events are listed: a row of alarms alone has
        no element to draw."""
        codes: List[int] = []
        ids: List[int] = []
        data = self.signal_source.data
        for k in self.signal_source.selected.indices:
            if 0 <= k < len(data["signal_id"]):
                sid, element = int(data["signal_id"][k]), int(data["element"][k])
                ids.append(sid)
                wanted = [element] if element >= 0 else range(min(int(data["elements"][k]), MAX_ELEMENTS))
                codes.extend(sid * 1024 + n for n in wanted if sid * 1024 + n not in codes)
        return codes[:MAX_CODES], sorted(set(ids))

    def pixels(self) -> int:
        """The plot's width in pixels, once the page has laid it out (the
        alarm lane's: the panes' frames line up with it). The frame narrows
        and widens by a few pixels as the value axis's labels change: a
        width within a tenth of the one last read keeps that one, rather
        than reading everything again for it."""
        try:
            width = int(self.lane.inner_width or 0) or DEFAULT_PIXELS
        except Exception:  # Bokeh's UnsetValueError: not laid out yet
            width = DEFAULT_PIXELS
        if self.drawn and abs(width - self.drawn[2]) <= width // 10:
            return int(self.drawn[2])
        return width

    def on_change(self, attr: str, old: Any, new: Any) -> None:
        self.schedule()

    # Live mode (see _live).

    def on_window(self, attr: str, old: Any, new: Any) -> None:
        start, end = self.window.start, self.window.end
        if self.live.on and self.live.moved_by_user(start, end) and self.live.leaves(end):
            self.live.on = False
            self.live_button.update(active=False, label=PAUSED_LABEL)
        self.schedule()

    def on_live(self, attr: str, old: Any, new: Any) -> None:
        self.live.on = bool(new)
        self.live_button.label = LIVE_LABEL if self.live.on else PAUSED_LABEL
        if self.live.on:
            self.follow(self.live.newest_ms)

    def on_poll(self) -> None:
        """Live: the newest data's time, read beside the loop, moves the window."""
        if not self.live.on or self.polling:
            return
        self.polling = True
        codes = self.chosen()[0]
        future = self.executor.submit(self.newest_ms, codes)

        def done(finished: Future[Optional[float]]) -> None:
            self.polling = False
            # A failed look is said by the read that follows, which fails the same way.
            self.follow(None if finished.exception() else finished.result())

        def deliver(finished: Future[Optional[float]]) -> None:
            try:
                self.doc.add_next_tick_callback(partial(done, finished))
            except Exception:  # the page has closed: nobody to move the window for
                pass

        future.add_done_callback(deliver)

    def newest_ms(self, codes: List[int]) -> Optional[float]:
        """The time (the axis's ms) of the newest value of `codes` (all
        codes when none), None when there is none."""
        import zentrail

        zoned = {} if self.tz is None else {"tz": self.tz}
        found = zentrail.latest(self.root, codes or None, threads=self.threads, **zoned).to_numpy()["time"]
        if not len(found):
            return None
        newest = found.max()
        if self.zone is not None:
            newest = self.zone.wall_times([newest])[0]
        return float(_time.instants_ns(newest)) / 1e6

    def follow(self, newest_ms: Optional[float]) -> None:
        if newest_ms is not None:
            self.live.newest_ms = newest_ms
        if self.live.on:
            start, end = self.live.window(self.window.start, self.window.end)
            self.window.update(start=start, end=end)

    def schedule(self) -> None:
        # A pan sends many small range changes: they are drawn once, after
        # the ones already queued have arrived.
        if not self.pending:
            self.pending = True
            self.doc.add_next_tick_callback(self.redraw)

    def redraw(self) -> None:
        self.pending = False
        try:
            first_ns, last_ns, moved = view_window(self.window.start, self.window.end)
            if moved:
                say(self.notice, "The view reached past what times can name (the years 1 to 9999): "
                    f"it shows {_time.instant_text(first_ns)[:19]} to {_time.instant_text(last_ns)[:19]}.")
                self.window.update(start=first_ns / 1e6, end=last_ns / 1e6)
            elif self.notice.visible:
                say(self.notice, "")
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
        thread, down to the columns the page's sources take as they are.
        The lines are handed to the page as soon as they are read (see
        show_lines); the alarms, read after them, come with the result."""
        import numpy

        began = time.perf_counter()
        wanted = (first_ns, last_ns, pixels, codes, steps, ids)
        start, end = read_window(self.zone, first_ns, last_ns)
        kinds = self.kinds
        held = True if steps else {code for code in codes if kinds.get(code, ("line", None))[0] != "line"}
        drawn = trends.lines(self.root, start, end, list(codes), pixels, threads=self.threads,
                             steps=held, tz=self.tz) if codes else {}
        shortest = max(GAP_PIXELS * (last_ns - first_ns) // max(pixels, 1), MIN_GAP_NS)
        # Of a code drawn: one of text alone (or with no row in the view) draws no line, the status line says.
        bands = {"x0": [], "x1": []} if not codes or codes[0] not in drawn else \
            _panes.gap_bands(drawn[codes[0]], first_ns, last_ns, shortest, self.zone)
        window = f"{_time.instant_text(first_ns)[:19]} to {_time.instant_text(last_ns)[:19]}" + (
            f" ({self.zone.name})" if self.zone is not None else "")
        lines: Dict[str, Any] = {"start": start, "end": end, "window": window, "panes": self.pane_lines(drawn),
                                 "gaps": bands,
                                 "newest_ms": self.newest_ms(list(codes)) if codes else None,
                                 "points": sum(len(line["time"]) for line in drawn.values()), "codes": len(codes),
                                 "drawn": len(drawn), "kinds": sorted({line["kind"] for line in drawn.values()})}
        # The alarms are read once the page has the lines: read beside the
        # loop's sending of them, they would hold it up (Python's lock) and the lines would come with the alarms.
        sent = threading.Event()
        self.doc.add_next_tick_callback(partial(self.show_lines, wanted, lines, sent))
        sent.wait(LINES_SENT_WAIT)

        names = {line["label"] for line in drawn.values()}
        watching = sorted({sid for name in names for sid in self.watching.get(name, ())})
        alarm_ids = sorted(set(watching) | {sid for sid in ids if self.is_alarm(sid)})
        episodes, report = self.read_alarms(start, end, alarm_ids)
        # System records alone: the alarms are the episodes'.
        events = trends.window_events(self.root, start, end, (), threads=self.threads, tz=self.tz)
        lane = self.lane_marks(events, episodes, first_ns, last_ns, pixels)
        marks = self.pane_marks(lines["panes"], lane.pop("on_lines"))
        return dict(lines, lane=lane, marks=marks, report=report,
                    # What tells one window's events from another's: the page's own
                    # markers and table are redrawn only when it changes.
                    events_key=(numpy.asarray(lane["time"]).tobytes(), "\0".join(lane["row"]).encode(),
                                len(events["time"])),
                    rows=self.episode_rows(episodes, slice(0, MAX_EVENT_ROWS)),
                    system=int((events["item_class"] == trends.SYSTEM_CLASS).sum()),
                    episodes=len(episodes["raised"]), marked=len(lane["time"]), seconds=time.perf_counter() - began)

    def episode_rows(self, episodes: Dict[str, Any], shown: slice) -> Dict[str, List[Any]]:
        """The alarm table's rows, as texts."""
        count = len(episodes["raised"][shown])
        rows: Dict[str, List[Any]] = {}
        for name in EPISODE_COLUMNS:
            column = episodes.get(name)
            if column is None:
                rows[name] = [""] * count
            elif column.dtype.kind == "M":
                # To the millisecond: a list read by eye (the lane's hover gives the nanoseconds).
                shown_ms = column[shown].astype("datetime64[ms]").astype("datetime64[ns]")
                rows[name] = [text if text != "NaT" else "" for text in _time.texts(shown_ms, self.zone).tolist()]
            elif column.dtype.kind == "f":
                rows[name] = ["" if value != value else f"{value:g}" for value in column[shown].tolist()]
            else:
                rows[name] = ["" if value is None else str(value) for value in column[shown].tolist()]
        rows["name"] = [name or f"id {sid}" for name, sid in zip(rows["name"], episodes["signal_id"][shown].tolist())]
        return rows

    def is_alarm(self, sid: int) -> bool:
        classes = dict(zip(self.signals["signal_id"], self.signals["class_name"]))
        return str(classes.get(sid, "")).startswith("Al") and classes.get(sid) != "AlAckn"

    def read_alarms(self, start: str, end: str, ids: List[int]) -> Tuple[Dict[str, Any], str]:
        """The alarm episodes of `ids` raised in the window, and the alarm
        report's text for it (see zentrail.alarms)."""
        import numpy

        import zentrail

        none = {"raised": numpy.zeros(0, "datetime64[ns]"), "signal_id": numpy.zeros(0, numpy.uint16)}
        if not ids:
            return none, "No alarms: none watches the signals drawn, and no alarm is chosen."
        zoned = {} if self.tz is None else {"tz": self.tz}
        found = zentrail.alarms(self.root, start, end, ids, threads=self.threads, **zoned)
        report = found.report()
        return found.to_numpy(), (f"<b>Alarm report of the {len(ids)} alarms of the signals drawn, over the view</b>"
                                  f"<pre style='font-size:11px'>{html.escape(str(report))}</pre>")

    def lane_marks(self, events: Dict[str, Any], episodes: Dict[str, Any], first_ns: int, last_ns: int,
                   pixels: int) -> Dict[str, Any]:
        """The alarm lane's markers: each alarm's episodes (one a pixel
        column and alarm) on its row, System records on theirs; and, as
        "on_lines", the marked episodes by the name of the signal they watch."""
        import numpy

        wall = (lambda t: t) if self.zone is None else self.zone.wall_times
        count = len(episodes["raised"])
        raised = wall(episodes["raised"])
        marked = trends.marker_rows({"time": raised, "item_class": numpy.ones(count, numpy.uint8),
                                     "signal_id": episodes["signal_id"]}, first_ns, last_ns, pixels)
        system = numpy.flatnonzero(events["item_class"] == trends.SYSTEM_CLASS)
        system = system[trends.marker_rows({name: events[name][system] for name in ("time", "item_class",
                                                                                      "signal_id")},
                                           first_ns, last_ns, pixels)]

        def column(name: str, rows: Any, default: Any = None) -> List[Any]:
            values = episodes.get(name)
            return [default] * len(rows) if values is None else list(values[rows])

        sids = [int(s) for s in episodes["signal_id"][marked]]
        names, watches = column("name", marked), column("watches", marked)
        levels, texts = column("level", marked), column("text", marked)
        values = column("value", marked, float("nan"))
        labels = [" ".join(part for part in (name or f"id {sid}", level or "",
                                             "" if value != value else f"{value:g}", text or "") if part)
                  for sid, name, level, value, text in zip(sids, names, levels, values, texts)]
        times = raised[marked].astype(numpy.int64) / 1e6
        stamps = {name: _time.texts(episodes[name][marked], self.zone).tolist() if name in episodes
                  else [""] * len(marked) for name in ("raised", "acknowledged", "cleared")}
        on_lines: Dict[str, List[Tuple[float, str, str]]] = {}
        for t, label, level, watched, name in zip(times.tolist(), labels, levels, watches, names):
            for line_name in {watched, name} - {None}:
                on_lines.setdefault(line_name, []).append((t, label, _panes.level_color(level)))
        rows = [_panes.lane_label(w, n, sid) for w, n, sid in zip(watches, names, sids)]
        system_times = wall(events["time"][system]).astype(numpy.int64) / 1e6
        return {"time": numpy.concatenate([times, system_times]), "row": rows + ["System"] * len(system),
                "label": labels + trends.event_labels(events, system),
                "color": [_panes.level_color(level) for level in levels] + ["#555555"] * len(system),
                "raised": stamps["raised"] + _time.texts(events["time"][system], self.zone).tolist(),
                "acknowledged": stamps["acknowledged"] + [""] * len(system),
                "cleared": stamps["cleared"] + [""] * len(system),
                "on_lines": on_lines}

    def pane_lines(self, drawn: Dict[int, Any]) -> List[Dict[str, Any]]:
        """Each pane's lines (on the axis's ms, states mapped onto their
        rows) and legend."""
        import numpy

        out = []
        for pane in _panes.panes(list(drawn), self.kinds):
            codes = pane["codes"]
            points = [(drawn[c]["time"], drawn[c]["value"]) if self.zone is None else
                      trends.on_wall_clock(drawn[c]["time"], drawn[c]["value"], self.zone) for c in codes]
            xs = [times.astype(numpy.int64) / 1e6 for times, _ in points]
            ys = [numpy.asarray(values, dtype=numpy.float64) for _, values in points]
            labels = [drawn[c]["label"] for c in codes]
            colors = [_panes.palette(len(codes))[k % len(_panes.palette(len(codes)))] for k in range(len(codes))]
            result: Dict[str, Any] = {"key": pane["key"], "axis": pane["axis"]}
            if pane["key"] == _panes.STATES:
                ys = [_panes.on_row(values, k, *span) for k, (values, span) in enumerate(
                    zip(ys, _panes.state_rows(ys)))]
                result["ticks"] = labels
            result.update(lines={"xs": xs, "ys": ys, "code": [trends.code_label(c) for c in codes], "label": labels,
                                 "kind": [drawn[c]["kind"] for c in codes], "color": colors},
                          legend=_panes.legend_html(labels, colors))
            out.append(result)
        return out

    @staticmethod
    def pane_marks(panes: List[Dict[str, Any]],
                   on_lines: Dict[str, List[Tuple[float, str, str]]]) -> Dict[str, Dict[str, List[Any]]]:
        """Per pane, the alarm markers on the lines of the signals they watch."""
        out = {}
        for pane in panes:
            marks: Dict[str, List[Any]] = {"x": [], "y": [], "label": [], "color": []}
            lines = pane["lines"]
            for x, y, label in zip(lines["xs"], lines["ys"], lines["label"]):
                found = on_lines.get(label, [])
                if found:
                    at = [t for t, _, _ in found]
                    marks["x"].extend(at)
                    marks["y"].extend(_panes.at_times(at, x, y).tolist())
                    marks["label"].extend(text for _, text, _ in found)
                    marks["color"].extend(color for _, _, color in found)
            out[pane["key"]] = marks
        return out

    def show_panes(self, panes: List[Dict[str, Any]], tags: List[Any]) -> None:
        keys = [pane["key"] for pane in panes]
        for pane in panes:
            if pane["key"] not in self.panes:
                self.panes[pane["key"]] = Pane(pane["key"], pane["axis"], self.window, self.gap_source, self.zone)
        height = PANE_HEIGHT if len(panes) <= 2 else SMALL_PANE_HEIGHT
        for k, pane in enumerate(panes):
            rows = len(pane.get("ticks", ()))
            self.panes[pane["key"]].show(pane, max(STATE_MIN, STATE_ROW * rows + 60) if rows else height,
                                         k == len(panes) - 1)
            # What was read, for whoever checks the page against the engine.
            self.panes[pane["key"]].source.tags = tags
        # A pane not drawn now stays in the page, hidden and emptied: shown
        # again, the browser has it built (building a pane takes it longer than drawing a month in it).
        for key, kept in self.panes.items():
            if key not in keys and kept.source.data["code"]:
                kept.clear()
            kept.row.visible = key in keys
        self.empty.visible = not keys
        children = [self.panes[key].row for key in keys] + [kept.row for key, kept in self.panes.items()
                                                             if key not in keys] + [self.empty]
        if list(self.pane_column.children) != children:
            self.pane_column.children = children

    def show_lines(self, wanted: Tuple[Any, ...], lines: Dict[str, Any], sent: threading.Event) -> None:
        """The lines of a read, before its alarms are read: not those of a
        view the page has moved on from. `sent` is set on the loop's next
        turn, once they are on their way to the browser."""
        try:
            if wanted == self.drawn:
                with held(self.doc):
                    self.put_lines(wanted, lines)
        finally:
            self.doc.add_next_tick_callback(sent.set)

    def put_lines(self, wanted: Tuple[Any, ...], lines: Dict[str, Any]) -> None:
        say(self.failure, "")
        self.show_panes(lines["panes"], [lines["start"], lines["end"], wanted[2], wanted[4]])
        self.gap_source.data = lines["gaps"]
        self.show_beyond(lines["newest_ms"], wanted[1])
        if lines["newest_ms"] is not None:  # the live edge, until the next poll
            self.live.newest_ms = lines["newest_ms"]
        self.status.text = self.said(wanted, lines) + "; reading the alarms..."

    def show(self, wanted: Tuple[Any, ...], result: Optional[Dict[str, Any]], error: Optional[BaseException]) -> None:
        if error is not None or result is None:
            start, end = (_time.instant_text(ns)[:19] for ns in wanted[:2])
            self.show_failure(f"Reading the window {start} to {end} failed", error)
            return
        with held(self.doc):
            self.put_alarms(wanted, result)

    def put_alarms(self, wanted: Tuple[Any, ...], result: Dict[str, Any]) -> None:
        for key, marks in result["marks"].items():
            self.panes[key].marks.data = marks
        self.report.text = result["report"]
        # Choosing a signal without alarms leaves the window's events as they
        # were: the browser is spared redrawing the markers and the table.
        if result["events_key"] != self.events_shown:
            lane = result["lane"]
            # Listed from the top by name, System at the bottom (a categorical axis counts from the bottom).
            named = sorted(set(lane["row"]) - {"System"}, reverse=True)
            factors = (["System"] if "System" in lane["row"] else []) + named
            self.lane.y_range.factors = factors
            self.lane.height = min(LANE_MAX, max(LANE_MIN, LANE_ROW * len(factors) + 70))
            self.event_source.data = lane
            self.event_source.tags = [result["start"], result["end"], wanted[2]]  # what was read, as the panes'
            self.event_rows.data = result["rows"]
            self.events_shown = result["events_key"]
        self.status.text = (f"{self.said(wanted, result)}, {result['episodes']:,} alarms raised, "
                            f"{result['system']:,} System records: {result['marked']:,} markers (one a pixel column "
                            f"and row); read in {result['seconds']:.2f} s")

    @staticmethod
    def said(wanted: Tuple[Any, ...], read: Dict[str, Any]) -> str:
        kinds = " and ".join(read["kinds"]) or "nothing"
        return (f"{read['window']}: {read['drawn']} of {read['codes']} chosen codes drawn ({kinds}; "
                f"{read['points']:,} points at {wanted[2]} px)")

    def show_beyond(self, newest_ms: Optional[float], last_ns: int) -> None:
        """Newer data than the view's right edge is said, with the way to it."""
        if newest_ms is not None and newest_ms * 1e6 > last_ns:
            newest = _time.instant_text(int(newest_ms * 1e6))[:19]
            way = "Back to live follows it" if self.live_button.visible else "pan or zoom out to see it"
            say(self.beyond, f"&#9654; Newer data, up to {newest}, lies beyond the view's right edge ({way}).")
        else:
            say(self.beyond, "")

    def show_failure(self, what: str, error: Optional[BaseException]) -> None:
        say(self.failure, f"{what}: {failure_text(error) if error is not None else 'no result'}")
        for pane in self.panes.values():
            pane.clear()
        self.gap_source.data = {"x0": [], "x1": []}
        self.event_source.data = {name: [] for name in self.event_source.data}
        self.event_rows.data = {name: [] for name in self.event_rows.data}
        self.events_shown = None
        self.status.text = "Nothing drawn: see the failure above."
        # The same view asked again reads again (the archive may have been mended).
        self.drawn = ()
