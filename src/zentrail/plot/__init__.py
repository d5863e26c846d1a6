"""zentrail.plot: trends drawn from overviews, for `zentrail plot` and the viewer.

``lines`` reads the line of each code at a plot's pixel width (the overview's
envelope, or the values themselves when fewer; as steps when asked,
from the value in force at the window's start); ``window_events`` reads the
window's alarms and System records and ``marker_rows`` picks those worth a
marker; ``write_html`` and ``write_png`` write a standalone file. Read in a
zone, times are instants; ``on_wall_clock`` draws them on the zone's wall
clock and ``time_label`` names it.
"""

from ._events import SYSTEM_CLASS, event_labels, marker_rows, window_events
from ._files import bokeh_figure, write_html, write_png
from ._lines import Line, as_steps, axis_label, code_label, envelope_points, label_of, lines, on_wall_clock, time_label

__all__ = ["lines", "as_steps", "envelope_points", "code_label", "label_of", "axis_label", "Line", "window_events", "marker_rows", "SYSTEM_CLASS", "event_labels",
           "bokeh_figure", "write_html", "write_png", "on_wall_clock", "time_label"]
