"""`zentrail view`: a trend viewer in the browser, served by Bokeh on 127.0.0.1.

Bokeh's server keeps the page and Python in step over a websocket: choosing
signals, zooming and panning reach Python, which reads the window's overview
at the plot's pixel width (or the values themselves, when fewer) and the
window's events, and sends only those points back. Bokeh ships its JavaScript
in its wheel, so the page needs no network.
"""

from __future__ import annotations

import socket
import sys
import time
import webbrowser
from typing import Any, Dict, List, Optional, Tuple

import zentrail

from . import _plot, _time
from ._extras import import_extra

# Elements drawn per chosen signal: a group may hold hundreds.
MAX_ELEMENTS = 8
# Event rows listed in the table (the markers show them all).
MAX_EVENT_ROWS = 2000
DEFAULT_PIXELS = 1000


def bokeh_modules(*names: str) -> List[Any]:
    """Bokeh's modules, typed loosely: its own annotations are not what this
    code is checked against, and it is an optional extra."""
    return [import_extra(name, "zentrail view", "view") for name in names]


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def failure_text(error: BaseException) -> str:
    notes = getattr(error, "__notes__", None) or []
    return "; ".join([f"{type(error).__name__}: {error}"] + [str(n) for n in notes])


class TrendApp:
    """One browser page: its signal list, trend, events and messages."""

    def __init__(self, doc: Any, root: str, start: Optional[str], end: Optional[str],
                 threads: Optional[int]) -> None:
        layouts, models, plotting, validation, warnings = bokeh_modules(
            "bokeh.layouts", "bokeh.models", "bokeh.plotting", "bokeh.core.validation", "bokeh.core.validation.warnings")
        # A page opens with no signal chosen: a trend without lines is expected.
        validation.silence(warnings.MISSING_RENDERERS, True)
        column, row, figure = layouts.column, layouts.row, plotting.figure
        ColumnDataSource, DataTable, Div, HoverTool = (models.ColumnDataSource, models.DataTable, models.Div,
                                                       models.HoverTool)
        Range1d, TableColumn, TextInput = models.Range1d, models.TableColumn, models.TextInput

        self.doc = doc
        self.root = root
        self.threads = threads
        self.pending = False
        self.drawn: Tuple[Any, ...] = ()
        self.failure = Div(text="", name="failure", styles={"color": "#b00020", "font-weight": "bold"})
        self.status = Div(text="", name="status")
        self.signals: Dict[str, List[Any]] = {"signal_id": [], "class_name": [], "elements": [], "first": [],
                                              "last": [], "records": []}
        first_ns = last_ns = None
        try:
            inventory = zentrail.inventory(root, threads=threads).to_numpy()
            self.signals = {
                "signal_id": inventory["signal_id"].tolist(),
                "class_name": [zentrail.CLASS_NAMES[c] for c in inventory["item_class"].tolist()],
                "elements": inventory["elements"].tolist(),
                "first": [str(t).replace("T", " ")[:23] for t in inventory["first"]],
                "last": [str(t).replace("T", " ")[:23] for t in inventory["last"]],
                "records": inventory["records"].tolist(),
            }
            if len(inventory["first"]):
                first_ns = int(_time.instants_ns(inventory["first"].min()))
                last_ns = int(_time.instants_ns(inventory["last"].max()))
        except (OSError, ValueError) as error:
            self.failure.text = f"Reading the archive failed: {failure_text(error)}"
        if start is not None:
            first_ns = _time.first_ns(_time.bound_tuple(start, "--from"))
        if end is not None:
            last_ns = _time.last_ns(_time.bound_tuple(end, "--to"))
        if first_ns is None or last_ns is None or last_ns <= first_ns:
            now = int(time.time()) * 10**9
            first_ns, last_ns = (first_ns or now - 86400 * 10**9), (first_ns or now - 86400 * 10**9) + 86400 * 10**9
        self.visible_rows = list(range(len(self.signals["signal_id"])))
        self.signal_source = ColumnDataSource(dict(self.signals), name="signal-data")
        self.signal_source.selected.on_change("indices", self.on_choose)
        self.search = TextInput(placeholder="filter: id or class name", name="search", width=380)
        self.search.on_change("value_input", self.on_search)
        self.table = DataTable(source=self.signal_source, name="signals", width=380, height=420, index_position=None,
                               columns=[TableColumn(field="signal_id", title="id", width=50),
                                        TableColumn(field="class_name", title="class", width=70),
                                        TableColumn(field="elements", title="elements", width=60),
                                        TableColumn(field="first", title="first", width=150),
                                        TableColumn(field="last", title="last", width=150),
                                        TableColumn(field="records", title="records", width=70)])
        self.trend = figure(x_axis_type="datetime", width=900, height=380, name="trend",
                            x_range=Range1d(first_ns / 1e6, last_ns / 1e6, name="window"),
                            tools="xpan,xwheel_zoom,box_zoom,reset,save", active_scroll="xwheel_zoom")
        self.trend.add_tools(HoverTool(tooltips=[("signal", "$name"), ("time", "$x{%F %T.%3N}"), ("value", "$y")],
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
        self.lines: Dict[int, Any] = {}
        self.trend.x_range.on_change("start", self.on_range)
        self.trend.x_range.on_change("end", self.on_range)
        self.trend.on_change("inner_width", self.on_range)
        title = Div(text=f"<b>zentrail</b> &mdash; {root}")
        doc.title = "zentrail view"
        doc.add_root(column(title, self.failure, row(column(self.search, self.table),
                                                      column(self.status, self.trend, marks, event_table))))
        self.redraw()

    # The codes of the chosen rows: the first elements of each signal.
    def chosen_codes(self) -> List[int]:
        codes: List[int] = []
        data = self.signal_source.data
        for k in self.signal_source.selected.indices:
            if 0 <= k < len(data["signal_id"]):
                sid, elements = int(data["signal_id"][k]), int(data["elements"][k])
                codes.extend(sid * 1024 + n for n in range(min(elements, MAX_ELEMENTS)))
        return sorted(set(codes))

    def pixels(self) -> int:
        """The plot's width in pixels, once the page has laid it out."""
        try:
            return int(self.trend.inner_width or 0) or DEFAULT_PIXELS
        except Exception:  # Bokeh's UnsetValueError: not laid out yet
            return DEFAULT_PIXELS

    def on_search(self, attr: str, old: Any, new: Any) -> None:
        text = (new or "").strip().lower()
        keep = [k for k in range(len(self.signals["signal_id"]))
                if not text or text in str(self.signals["signal_id"][k]) or text in self.signals["class_name"][k].lower()]
        self.signal_source.selected.indices = []
        self.signal_source.data = {name: [values[k] for k in keep] for name, values in self.signals.items()}

    def on_choose(self, attr: str, old: Any, new: Any) -> None:
        self.schedule()

    def on_range(self, attr: str, old: Any, new: Any) -> None:
        self.schedule()

    def schedule(self) -> None:
        # A pan sends many small range changes: they are drawn once, after
        # the ones already queued have arrived.
        if not self.pending:
            self.pending = True
            self.doc.add_next_tick_callback(self.redraw)

    def redraw(self) -> None:
        self.pending = False
        first_ns = int(self.trend.x_range.start * 1e6)
        last_ns = int(self.trend.x_range.end * 1e6)
        pixels = self.pixels()
        codes = self.chosen_codes()
        wanted = (first_ns, last_ns, pixels, tuple(codes))
        if wanted == self.drawn:
            return
        self.drawn = wanted
        start, end = _time.instant_text(first_ns), _time.instant_text(last_ns)
        began = time.perf_counter()
        try:
            drawn = _plot.lines(self.root, start, end, codes, pixels, threads=self.threads) if codes else {}
            events = _plot.window_events(self.root, start, end, {c // 1024 for c in codes}, threads=self.threads)
        except (OSError, ValueError) as error:
            self.failure.text = f"Reading the window {start} to {end} failed: {failure_text(error)}"
            for renderer in self.lines.values():
                renderer.visible = False
            self.status.text = "Nothing drawn: see the failure above."
            return
        self.failure.text = ""
        self._show_lines(drawn, codes, start, end, pixels)
        self.event_source.data = {"time": events["time"], "signal_id": events["signal_id"],
                                  "label": _plot._event_labels(events)}
        shown = slice(0, MAX_EVENT_ROWS)
        self.event_rows.data = {"time": [str(t).replace("T", " ") for t in events["time"][shown]],
                                "signal_id": events["signal_id"][shown].tolist(),
                                "class_name": list(events["class_name"][shown]),
                                "subtype_name": list(events["subtype_name"][shown]),
                                "detail": list(events["detail"][shown]),
                                "text": ["" if t is None else t for t in events["text"][shown]]}
        kinds = {line["kind"] for line in drawn.values()}
        points = sum(len(line["time"]) for line in drawn.values())
        self.status.text = (f"{start[:19]} to {end[:19]}: {len(drawn)} of {len(codes)} chosen codes drawn "
                            f"({' and '.join(sorted(kinds)) or 'nothing'}; {points} points at {pixels} px), "
                            f"{len(events['time'])} events, in {time.perf_counter() - began:.2f} s")

    def _show_lines(self, drawn: Dict[int, Any], codes: List[int], start: str, end: str, pixels: int) -> None:
        models, palettes = bokeh_modules("bokeh.models", "bokeh.palettes")
        ColumnDataSource, Category10_10 = models.ColumnDataSource, palettes.Category10_10

        for code, renderer in self.lines.items():
            renderer.visible = code in drawn
        for k, code in enumerate(codes):
            line = drawn.get(code, {"time": [], "value": [], "kind": "values"})
            data = {"time": line["time"], "value": line["value"]}
            renderer = self.lines.get(code)
            if renderer is None:
                source = ColumnDataSource(data, name=f"data-{_plot.code_label(code)}")
                renderer = self.trend.line("time", "value", source=source, name=_plot.code_label(code),
                                           color=Category10_10[len(self.lines) % 10], line_width=1.5)
                self.lines[code] = renderer
            else:
                renderer.data_source.data = data
            # What was read, for whoever checks the page against the engine.
            renderer.data_source.tags = [start, end, pixels, line["kind"]]
            renderer.visible = code in drawn


def serve(root: str, port: int = 0, open_browser: bool = True, start: Optional[str] = None,
          end: Optional[str] = None, threads: Optional[int] = None) -> None:
    """Serves the viewer on 127.0.0.1 until Ctrl-C."""
    (server_module,) = bokeh_modules("bokeh.server.server")
    Server = server_module.Server
    port = port or free_port()
    address = f"http://127.0.0.1:{port}/"
    def page(doc: Any) -> None:
        TrendApp(doc, root, start, end, threads)

    server = Server({"/": page},
                    address="127.0.0.1", port=port, num_procs=1,
                    allow_websocket_origin=[f"127.0.0.1:{port}", f"localhost:{port}"])
    server.start()
    print(f"zentrail view: {address} (Ctrl-C stops it)", flush=True)
    if open_browser:
        server.io_loop.add_callback(webbrowser.open, address)
    try:
        server.io_loop.start()
    finally:
        server.stop()
        sys.stdout.flush()
